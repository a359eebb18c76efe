// Arranging the machine under Windows (and Wine), through Windows calls the
// simulation does not model. The card is in the prefix already: run_wine.py
// adds it through the end-to-end harness (tests/e2e/fakes.py).
#include <memory>

#include "tests/contract/arrange.h"

namespace arrange
{
namespace
{
// A window on a thread of its own, which takes messages until the clean-up
// (or, for a window that does not answer, waits for the clean-up first).
struct WindowThread {
    std::wstring desktop, property;
    HANDLE value;
    bool answers;
    HANDLE ready, release, thread;
    DWORD id;
    HWND window;
};
std::vector<std::unique_ptr<WindowThread>> windows;
std::vector<HDESK> desktops;
std::vector<HWINSTA> stations;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return message >= 0xC000 && message <= 0xFFFF ? kAnswer : DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI WindowMain(LPVOID parameter)
{
    auto *w = static_cast<WindowThread *>(parameter);
    HDESK desktop = w->desktop.empty() ? NULL : OpenDesktopW(w->desktop.c_str(), 0, FALSE, GENERIC_ALL);
    if (w->desktop.empty() || (desktop != NULL && SetThreadDesktop(desktop))) {
        w->window = CreateWindowExW(0, L"ContractWindow", L"contract", WS_POPUP, 0, 0, 10, 10, NULL, NULL,
                                    GetModuleHandleW(NULL), NULL);
    }
    if (w->window != NULL && !w->property.empty()) {
        SetPropW(w->window, w->property.c_str(), w->value);
    }
    SetEvent(w->ready);
    if (!w->answers) {
        WaitForSingleObject(w->release, 60000);
    }
    MSG message;
    while (w->window != NULL && GetMessageW(&message, NULL, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    if (w->window != NULL) {
        RemovePropW(w->window, w->property.c_str());
        DestroyWindow(w->window);
    }
    return 0;
}

void Unsupported(const char *what)
{
    contract::Fail(__FILE__, __LINE__, std::string(what) + " is arranged on the simulation only");
}
} // namespace

const wchar_t kCard[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0";

void Fresh()
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(NULL);
        windowClass.lpszClassName = L"ContractWindow";
        registered = RegisterClassW(&windowClass) != 0;
    }
}

void WineRules() {}

void Cleanup()
{
    for (auto &w : windows) {
        SetEvent(w->release);
        PostThreadMessageW(w->id, WM_QUIT, 0, 0);
        WaitForSingleObject(w->thread, 10000);
        for (HANDLE handle : {w->ready, w->release, w->thread}) {
            CloseHandle(handle);
        }
    }
    windows.clear();
    for (HDESK desktop : desktops) {
        CloseDesktop(desktop);
    }
    desktops.clear();
    for (HWINSTA station : stations) {
        CloseWindowStation(station);
    }
    stations.clear();
}

void StationWithDesktop(const std::wstring &station, const std::wstring &desktop)
{
    HWINSTA own = GetProcessWindowStation();
    HWINSTA created = CreateWindowStationW(station.c_str(), 0, WINSTA_ALL_ACCESS, NULL);
    if (created == NULL || !SetProcessWindowStation(created)) {
        contract::Fail(__FILE__, __LINE__, "CreateWindowStationW failed: " + contract::Show(GetLastError()));
        return;
    }
    stations.push_back(created);
    desktops.push_back(CreateDesktopW(desktop.c_str(), NULL, NULL, 0, GENERIC_ALL, NULL));
    SetProcessWindowStation(own);
}

void Desktop(const std::wstring &desktop)
{
    desktops.push_back(CreateDesktopW(desktop.c_str(), NULL, NULL, 0, GENERIC_ALL, NULL));
}

HWND Window(const std::wstring &desktop, const std::wstring &property, HANDLE value, bool answers)
{
    windows.push_back(std::unique_ptr<WindowThread>(
        new WindowThread{desktop, property, value, answers, CreateEventW(NULL, TRUE, FALSE, NULL),
                         CreateEventW(NULL, TRUE, FALSE, NULL), NULL, 0, NULL}));
    WindowThread *w = windows.back().get();
    w->thread = CreateThread(NULL, 0, WindowMain, w, 0, &w->id);
    WaitForSingleObject(w->ready, 10000);
    return w->window;
}

void JudgeHung(HWND)
{
    Unsupported("a window judged hung");
}

std::wstring ProgramPath(Program)
{
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::wstring CommandLine(Program program)
{
    return L"\"" + ProgramPath(program) + (program == Program::Exits ? L"\" exit" : L"\" sleep");
}

void Card() {}

bool HasRemoteDesktopListener()
{
    DWORD deny = 1, size = sizeof deny;
    return !contract::UnderWine() &&
           RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server",
                        L"fDenyTSConnections", RRF_RT_REG_DWORD, NULL, &deny, &size) == ERROR_SUCCESS &&
           deny == 0;
}

void DetachConsole()
{
    Unsupported("a console being attached");
}

SERVICE_STATUS_HANDLE ServiceStatus()
{
    Unsupported("a service receiving device events");
    return NULL;
}

void DeviceArrives(const std::wstring &)
{
    Unsupported("a device arrival");
}

void SendHandleBroadcast(DWORD, const std::wstring &)
{
    Unsupported("a handle broadcast");
}

std::vector<Broadcast> Broadcasts()
{
    return {};
}

} // namespace arrange
