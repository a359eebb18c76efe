// wtsapi32 (and kernel32's WTSGetActiveConsoleSessionId): the sessions.
#include "tests/contract/arrange.h"

// Wine's dlls/wtsapi32/tests/wtsapi.c, test_WTSEnumerateSessions: ok(count >= 2),
// ok(console_found) with "Console" in WTSActive, and todo_wine
// ok(services_found) with "Services" in WTSDisconnected; WTS_CONNECTSTATE_CLASS
// page, WTSListen: "A listener session waits for requests for new client
// connections" (with Remote Desktop on, 65536 "RDP-Tcp"). Wine 8's
// WTSEnumerateSessionsW lists no session at all.
FACT(SessionListHasTheServicesSessionAndTheListener, kWineDiffers,
     "Wine wtsapi.c test_WTSEnumerateSessions (todo_wine)")
{
    PWTS_SESSION_INFOW sessions = NULL;
    DWORD count = 0;
    REQUIRE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    bool console = false, services = false, listener = false;
    for (DWORD i = 0; i < count; ++i) {
        std::wstring name = sessions[i].pWinStationName;
        DWORD id = sessions[i].SessionId;
        WTS_CONNECTSTATE_CLASS state = sessions[i].State;
        console = console || (id == WTSGetActiveConsoleSessionId() && name == L"Console" && state == WTSActive);
        services = services || (id == 0 && name == L"Services" && state == WTSDisconnected);
        listener = listener || (id == arrange::kListenerSession && name == L"RDP-Tcp" && state == WTSListen);
    }
    WTSFreeMemory(sessions);
    WINE_DIFFERS(console && services && listener == arrange::HasRemoteDesktopListener(), count == 0);
}

// WTS_CONNECTSTATE_CLASS page, WTSListen: "No user is logged on a listener
// session." There is no window station to start a process on.
FACT(NoProcessStartsInTheListenerSession, kSimOnly, "WTS_CONNECTSTATE_CLASS page, WTSListen")
{
    PROCESS_INFORMATION process{};
    CHECK(!contract::StartProcess(arrange::ProgramPath(arrange::Program::Exits),
                                  arrange::CommandLine(arrange::Program::Exits), &process, arrange::ListenerSession()));
}

// WTSGetActiveConsoleSessionId page: "The session identifier of the session
// that is attached to the physical console. If there is no session attached
// to the physical console, (for example, if the physical console session is in
// the process of being attached or detached), this function returns
// 0xFFFFFFFF." Session 0 holds the services alone (Session 0 isolation).
FACT(ConsoleSessionIsAUserSessionWhileOneIsAttached, kAlsoWine, "WTSGetActiveConsoleSessionId page")
{
    DWORD console = WTSGetActiveConsoleSessionId();
    CHECK(console != 0xFFFFFFFF && console != 0);
}

FACT(ConsoleSessionIsNoneWhileOneIsBeingAttached, kSimOnly, "WTSGetActiveConsoleSessionId page")
{
    arrange::DetachConsole();
    CHECK_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
}
