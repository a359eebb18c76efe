// wtsapi32 (and kernel32's WTSGetActiveConsoleSessionId): the sessions.
#include "tests/contract/arrange.h"

// Wine's dlls/wtsapi32/tests/wtsapi.c, test_WTSEnumerateSessions: ok(count >= 2),
// ok(console_found) with "Console" in WTSActive, and todo_wine
// ok(services_found) with "Services" in WTSDisconnected; Session Zero
// Guidelines for UMDF Drivers: "the operating system isolates services and
// system processes in Session 0". Wine 8's WTSEnumerateSessionsW lists no
// session at all.
FACT(SessionListHasTheServicesSessionAndTheConsole, kWineDiffers,
     "Wine wtsapi.c test_WTSEnumerateSessions (todo_wine); Session Zero Guidelines for UMDF Drivers")
{
    PWTS_SESSION_INFOW sessions = NULL;
    DWORD count = 0;
    REQUIRE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    bool console = false, services = false;
    for (DWORD i = 0; i < count; ++i) {
        std::wstring name = sessions[i].pWinStationName;
        DWORD id = sessions[i].SessionId;
        WTS_CONNECTSTATE_CLASS state = sessions[i].State;
        console = console || (id == WTSGetActiveConsoleSessionId() && name == L"Console" && state == WTSActive);
        services = services || (id == 0 && name == L"Services" && state == WTSDisconnected);
    }
    WTSFreeMemory(sessions);
    WINE_DIFFERS(console && services, count == 0);
}

// WTS_CONNECTSTATE_CLASS page, WTSListen: "A listener session waits for
// requests for new client connections." Its ID and name no source gives.
ASSUMED(RemoteDesktopListenerIsListed,
        "with Remote Desktop on, its listener is listed as session 65536 \"RDP-Tcp\" in WTSListen: only the state is "
        "documented, and a listed session that nobody can log on to is the harder case for a walk over the list")
{
    PWTS_SESSION_INFOW sessions = NULL;
    DWORD count = 0;
    REQUIRE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    bool listener = false;
    for (DWORD i = 0; i < count; ++i) {
        listener =
            listener || (sessions[i].SessionId == arrange::ListenerSession() &&
                         std::wstring(sessions[i].pWinStationName) == L"RDP-Tcp" && sessions[i].State == WTSListen);
    }
    WTSFreeMemory(sessions);
    CHECK(listener);
}

// WTS_CONNECTSTATE_CLASS page, WTSListen: "No user is logged on a listener
// session." What a process start there does, no source says.
ASSUMED(NoProcessStartsInTheListenerSession,
        "a process start in the listener session fails (the simulation: ERROR_PIPE_NOT_CONNECTED): no user is "
        "logged on there and no source gives the outcome, so the service records the failure and goes on")
{
    PROCESS_INFORMATION process{};
    CHECK(!contract::StartProcess(arrange::ProgramPath(arrange::Program::Exits),
                                  arrange::CommandLine(arrange::Program::Exits), &process, arrange::ListenerSession()));
}

// WTSGetActiveConsoleSessionId page: "The session identifier of the session
// that is attached to the physical console. If there is no session attached
// to the physical console, (for example, if the physical console session is in
// the process of being attached or detached), this function returns
// 0xFFFFFFFF." Session Zero Guidelines for UMDF Drivers: services are isolated
// in session 0, "while applications run in subsequent, higher numbered
// sessions".
FACT(ConsoleSessionIsAUserSessionWhileOneIsAttached, kAlsoWine,
     "WTSGetActiveConsoleSessionId page; Session Zero Guidelines for UMDF Drivers")
{
    DWORD console = WTSGetActiveConsoleSessionId();
    CHECK(console != 0xFFFFFFFF && console != 0);
}

FACT(ConsoleSessionIsNoneWhileOneIsBeingAttached, kSimOnly, "WTSGetActiveConsoleSessionId page")
{
    arrange::DetachConsole();
    CHECK_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
}
