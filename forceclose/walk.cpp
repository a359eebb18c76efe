// The force-close helper's window walk.
#include "forceclose/walk.h"
#include "eventlog/eventlog.h"

UINT forceCloseMessage = 0;

// A desktop of another window station cannot be made the thread's desktop
// again while the process is still attached to that station, and a desktop the
// thread is on cannot be closed. Such a visit leaves the thread on the visited
// desktop; the window-station visit puts the thread back once the process is
// back on its own station, and closes the desktop then.
static HDESK strandedDesktop = NULL;
static HDESK strandedReturnDesktop = NULL;

BOOL CALLBACK EnumWindowStationCallback(LPWSTR name, LPARAM lParam)
{
    HWINSTA savedStation = GetProcessWindowStation();
    if (savedStation == NULL) {
        // Without a station to come back to, no other station is visited.
        return TRUE;
    }
    HWINSTA station = OpenWindowStationW(name, FALSE, MAXIMUM_ALLOWED);
    if (station == NULL) {
        ReportServiceEvent(L"OpenWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    if (!SetProcessWindowStation(station)) {
        // Desktop names are looked up in the process's window station: without
        // the switch they would name desktops of the station it is still on.
        CloseWindowStation(station);
        return TRUE;
    }
    EnumDesktopsW(station, EnumDesktopCallback, lParam);
    SetProcessWindowStation(savedStation);
    if (strandedDesktop != NULL) {
        SetThreadDesktop(strandedReturnDesktop);
        CloseDesktop(strandedDesktop);
        strandedDesktop = NULL;
        strandedReturnDesktop = NULL;
    }
    CloseWindowStation(station);
    return TRUE;
}

BOOL CALLBACK EnumDesktopCallback(LPWSTR name, LPARAM lParam)
{
    HDESK savedDesktop = GetThreadDesktop(GetCurrentThreadId());
    if (savedDesktop == NULL) {
        return TRUE;
    }
    HDESK desktop = OpenDesktopW(name, 0, FALSE, MAXIMUM_ALLOWED);
    if (desktop == NULL) {
        ReportServiceEvent(L"OpenDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    SetThreadDesktop(desktop);
    EnumDesktopWindows(desktop, EnumWindowCallback, lParam);
    SetThreadDesktop(savedDesktop);
    if (!CloseDesktop(desktop) && strandedDesktop == NULL) {
        strandedDesktop = desktop;
        strandedReturnDesktop = savedDesktop;
    }
    return TRUE;
}

BOOL CALLBACK EnumWindowCallback(HWND window, LPARAM lParam)
{
    LPCWSTR instanceId = reinterpret_cast<LPCWSTR>(lParam);
    if (GetPropW(window, instanceId) == NULL) {
        return TRUE;
    }
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, forceCloseMessage, 0, 0, SMTO_ABORTIFHUNG, kForceCloseSendTimeoutMs, &result);
    return FALSE;
}
