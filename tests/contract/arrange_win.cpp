// Arranging the machine under Windows (and Wine), through Windows calls the
// simulation does not model, and through what the machine has: the card (in
// the prefix run_wine.py prepares it is the fake one of tests/e2e/fakes.py),
// or on a machine without it any device with audio interfaces.
#include <memory>

#include "tests/contract/arrange.h"

namespace arrange
{
namespace
{
// A window on a thread of its own, which takes messages until the clean-up
// (or, for a window that does not answer, waits for the clean-up first).
struct WindowThread {
    std::wstring property;
    HANDLE value;
    bool answers;
    HANDLE ready, release, thread;
    DWORD id;
    HWND window;
};
std::vector<std::unique_ptr<WindowThread>> windows;
std::vector<PROCESS_INFORMATION> windowPrograms;
std::vector<HDESK> desktops;
std::vector<HWINSTA> stations;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return message >= 0xC000 && message <= 0xFFFF ? kAnswer : DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateContractWindow()
{
    return CreateWindowExW(0, L"ContractWindow", L"contract", WS_POPUP, 0, 0, 10, 10, NULL, NULL,
                           GetModuleHandleW(NULL), NULL);
}

DWORD WINAPI WindowMain(LPVOID parameter)
{
    auto *w = static_cast<WindowThread *>(parameter);
    w->window = CreateContractWindow();
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

// The window of another program on `desktop`: the contract program started
// there with "window" and the value of an event it inherits and sets once its
// window is made.
HWND ForeignWindow(const std::wstring &desktop)
{
    WCHAR station[64] = L"";
    GetUserObjectInformationW(GetProcessWindowStation(), UOI_NAME, station, sizeof station, NULL);
    std::wstring place = std::wstring(station) + L"\\" + desktop;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, NULL, TRUE};
    HANDLE ready = CreateEventW(&inherited, TRUE, FALSE, NULL);
    std::wstring line =
        L"\"" + ProgramPath(Program::Exits) + L"\" window " + std::to_wstring(reinterpret_cast<uintptr_t>(ready));
    std::vector<WCHAR> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = &place[0];
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(ProgramPath(Program::Exits).c_str(), commandLine.data(), NULL, NULL, TRUE, 0, NULL,
                                  NULL, &startup, &process);
    DWORD waited = started ? WaitForSingleObject(ready, 10000) : WAIT_FAILED;
    CloseHandle(ready);
    if (!started) {
        contract::Fail(__FILE__, __LINE__, "CreateProcessW failed: " + contract::Show(GetLastError()));
        return NULL;
    }
    windowPrograms.push_back(process);
    if (waited != WAIT_OBJECT_0) {
        return NULL;
    }
    HDESK opened = OpenDesktopW(desktop.c_str(), 0, FALSE, MAXIMUM_ALLOWED);
    std::pair<DWORD, HWND> found{process.dwProcessId, NULL};
    EnumDesktopWindows(
        opened,
        [](HWND window, LPARAM parameter) -> BOOL {
            auto *wanted = reinterpret_cast<std::pair<DWORD, HWND> *>(parameter);
            WCHAR name[32] = L"";
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            GetClassNameW(window, name, 32);
            if (owner == wanted->first && wcscmp(name, L"ContractWindow") == 0) {
                wanted->second = window;
            }
            return wanted->second == NULL;
        },
        reinterpret_cast<LPARAM>(&found));
    if (opened != NULL) {
        CloseDesktop(opened);
    }
    return found.second;
}

void Unsupported(const char *what)
{
    contract::NotApplicableHere(std::string(what) + " is arranged on the simulation only");
}

// The most specific hardware IDs of the card.
const wchar_t *const kCardIds[] = {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200",
                                   L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201"};

struct Device {
    std::wstring id;
    bool card;
};

// The present device whose most specific hardware ID is a card's, else the
// first present device with audio interfaces.
Device FindDevice()
{
    Device found{L"", false};
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    SP_DEVINFO_DATA info{};
    for (DWORD i = 0; set != INVALID_HANDLE_VALUE && !found.card; ++i) {
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set, i, &info)) {
            break;
        }
        WCHAR id[512], hardwareIds[2048] = L"";
        if (!SetupDiGetDeviceInstanceIdW(set, &info, id, 512, NULL)) {
            continue;
        }
        SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(hardwareIds),
                                          sizeof hardwareIds - sizeof(WCHAR), NULL);
        for (const wchar_t *prefix : kCardIds) {
            if (contract::SameText(std::wstring(hardwareIds).substr(0, wcslen(prefix)), prefix)) {
                found = {id, true};
            }
        }
        if (found.id.empty()) {
            found.id = id;
        }
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    return found;
}
} // namespace

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
    for (PROCESS_INFORMATION &program : windowPrograms) {
        TerminateProcess(program.hProcess, 0);
        WaitForSingleObject(program.hProcess, 10000);
        CloseHandle(program.hThread);
        CloseHandle(program.hProcess);
    }
    windowPrograms.clear();
    for (HDESK desktop : desktops) {
        CloseDesktop(desktop);
    }
    desktops.clear();
    for (HWINSTA station : stations) {
        CloseWindowStation(station);
    }
    stations.clear();
}

int WindowProgram(const wchar_t *ready)
{
    Fresh();
    HWND window = CreateContractWindow();
    SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(ready, NULL, 10))));
    MSG message;
    while (window != NULL && GetMessageW(&message, NULL, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

void StationWithDesktop(const std::wstring &station, const std::wstring &desktop)
{
    HWINSTA own = GetProcessWindowStation();
    HWINSTA created = CreateWindowStationW(station.c_str(), 0, WINSTA_ALL_ACCESS, NULL);
    if (created != NULL) {
        stations.push_back(created);
    }
    if (created == NULL || !SetProcessWindowStation(created)) {
        contract::NotApplicableHere("could not create a window station (error " + contract::Show(GetLastError()) +
                                    "): run from an elevated prompt");
    }
    desktops.push_back(CreateDesktopW(desktop.c_str(), NULL, NULL, 0, GENERIC_ALL, NULL));
    SetProcessWindowStation(own);
}

void Desktop(const std::wstring &desktop)
{
    HDESK created = CreateDesktopW(desktop.c_str(), NULL, NULL, 0, GENERIC_ALL, NULL);
    if (created == NULL) {
        contract::NotApplicableHere("could not create a desktop (error " + contract::Show(GetLastError()) + ")");
    }
    desktops.push_back(created);
}

HWND Window(const std::wstring &desktop, const std::wstring &property, HANDLE value, bool answers)
{
    if (!desktop.empty()) {
        return property.empty() && answers ? ForeignWindow(desktop) : NULL;
    }
    windows.push_back(
        std::unique_ptr<WindowThread>(new WindowThread{property, value, answers, CreateEventW(NULL, TRUE, FALSE, NULL),
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

std::wstring Card()
{
    static const Device device = FindDevice();
    if (device.id.empty()) {
        contract::NotApplicableHere("no present device with audio interfaces (KSCATEGORY_AUDIO)");
    }
    if (!device.card && contract::Prepared()) {
        contract::NotApplicableHere("the card is not present");
    }
    contract::Note("on the device " + contract::ShowText(device.id) +
                   (device.card ? " (the card)" : " (no card is present: a device with audio interfaces)"));
    return device.id;
}

DWORD ListenerSession()
{
    Unsupported("a session other than the caller's");
    return 0;
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
