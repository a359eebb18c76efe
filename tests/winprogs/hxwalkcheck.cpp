// hxwalkcheck ID ROUNDS
//
// Runs the service's force-close walk (the very code of forceclose/walk.cpp)
// ROUNDS times in this one process, as the helper does once, and checks after
// each round what the helper itself cannot show before it exits: that the
// process is back on the window station and the thread on the desktop it had
// before, that no handle was left open, and that the desktop still serves the
// thread (a window can be created there). Prints first every window station
// and desktop the walk will meet, then per round:
//   round=N walked=0|1 station=SAME|CHANGED desktop=SAME|CHANGED handles=SAME|CHANGED window=ok|failed
// Exit code 0 when every round was clean, 1 otherwise.
#include "hxcommon.h"

#include "forceclose/walk.h"

static BOOL CALLBACK ListDesktop(LPWSTR name, LPARAM lParam)
{
    HxPrint(L"desktop=%ls\\%ls\n", reinterpret_cast<LPCWSTR>(lParam), name);
    return TRUE;
}

static BOOL CALLBACK ListStation(LPWSTR name, LPARAM)
{
    HWINSTA station = OpenWindowStationW(name, FALSE, MAXIMUM_ALLOWED);
    if (station == NULL) {
        HxPrint(L"station=%ls unopened error=%lu\n", name, GetLastError());
        return TRUE;
    }
    HxPrint(L"station=%ls\n", name);
    EnumDesktopsW(station, ListDesktop, reinterpret_cast<LPARAM>(name));
    CloseWindowStation(station);
    return TRUE;
}

// A fingerprint of the process's handle table: the values that the next eight
// new handles get. Handle values are handed out lowest free slot first, so a
// handle left open in between takes one of these values and changes the sum.
static unsigned long long HandleProbe()
{
    HANDLE events[8];
    unsigned long long sum = 0;
    for (int i = 0; i < 8; ++i) {
        events[i] = CreateEventW(NULL, TRUE, FALSE, NULL);
        sum = sum * 31 + reinterpret_cast<ULONG_PTR>(events[i]);
    }
    for (int i = 0; i < 8; ++i) {
        CloseHandle(events[i]);
    }
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
        sum = sum * 31 + count;
    }
    return sum;
}

static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        HxPrint(L"usage: hxwalkcheck ID ROUNDS\n");
        return 2;
    }
    EnumWindowStationsW(ListStation, 0);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"HxWalkCheck";
    RegisterClassW(&windowClass);

    forceCloseMessage = RegisterWindowMessageW(L"ForceClose");
    int rounds = _wtoi(argv[2]);
    int result = 0;
    for (int round = 1; round <= rounds; ++round) {
        HWINSTA station = GetProcessWindowStation();
        HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
        unsigned long long before = HandleProbe();
        BOOL walked = EnumWindowStationsW(EnumWindowStationCallback, reinterpret_cast<LPARAM>(argv[1]));
        unsigned long long after = HandleProbe();
        bool sameStation = GetProcessWindowStation() == station;
        bool sameDesktop = GetThreadDesktop(GetCurrentThreadId()) == desktop;
        // The check window is made only after the last round: a thread with a
        // window cannot change its desktop, and the next round must.
        bool windowOk = true;
        if (round == rounds) {
            HWND window = CreateWindowExW(0, L"HxWalkCheck", L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, NULL, NULL,
                                          GetModuleHandleW(NULL), NULL);
            windowOk = window != NULL;
            if (window != NULL) {
                DestroyWindow(window);
            }
        }
        HxPrint(L"round=%d walked=%d station=%ls desktop=%ls handles=%ls window=%ls\n", round, walked ? 1 : 0,
                sameStation ? L"SAME" : L"CHANGED", sameDesktop ? L"SAME" : L"CHANGED",
                after == before ? L"SAME" : L"CHANGED", windowOk ? L"ok" : L"failed");
        if (!walked || !sameStation || !sameDesktop || after != before || !windowOk) {
            result = 1;
        }
    }
    return result;
}
