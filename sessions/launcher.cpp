// The session launcher: the companion application on the console session and
// the force-close helper in every session.
#include <cstring>

#include "eventlog/eventlog.h"
#include "service/service.h"
#include "sessions/sessions.h"

static const WCHAR companionTail[] = L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe";
static WCHAR interactiveDesktop[] = L"WinSta0\\Default";

static void ReportFailure(LPCWSTR function)
{
    ReportServiceEvent(function, EVENTLOG_ERROR_TYPE, MSG_ERROR);
}

TokenResult PrepareSessionToken(DWORD target, SessionToken *token)
{
    token->processToken = NULL;
    token->sessionToken = NULL;
    HANDLE processToken = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &processToken)) {
        ReportFailure(L"OpenProcessToken");
        return TokenFailed;
    }
    HANDLE sessionToken = NULL;
    if (!DuplicateTokenEx(processToken, MAXIMUM_ALLOWED, NULL, SecurityIdentification, TokenPrimary, &sessionToken)) {
        ReportFailure(L"DuplicateTokenEx");
        CloseHandle(processToken);
        return TokenFailed;
    }
    token->processToken = processToken;
    token->sessionToken = sessionToken;

    DWORD sessionId = target;
    if (target == kConsoleTarget) {
        sessionId = WTSGetActiveConsoleSessionId();
        if (sessionId == 0xFFFFFFFF) {
            CloseSessionToken(token);
            return TokenNoConsole;
        }
    }
    if (!SetTokenInformation(sessionToken, TokenSessionId, &sessionId, sizeof sessionId)) {
        ReportFailure(L"SetTokenInformation");
        CloseSessionToken(token);
        return TokenFailed;
    }
    return TokenReady;
}

void CloseSessionToken(SessionToken *token)
{
    if (token->sessionToken != NULL) {
        CloseHandle(token->sessionToken);
    }
    if (token->processToken != NULL) {
        CloseHandle(token->processToken);
    }
    token->sessionToken = NULL;
    token->processToken = NULL;
}

static void PrepareStartupInfo(STARTUPINFOW *startup)
{
    memset(startup, 0, sizeof *startup);
    startup->cb = sizeof *startup;
    startup->lpDesktop = interactiveDesktop;
}

// Closes one handle of a started process, if it is open, and forgets it. The
// thread handle is always closed first, the process handle after it.
static void CloseStartedHandle(HANDLE *handle)
{
    if (IsOpenHandle(*handle)) {
        CloseHandle(*handle);
    }
    *handle = INVALID_HANDLE_VALUE;
}

// The companion's full path: the Program Files folder and the fixed tail. A
// path that cannot be built whole is never used.
static bool BuildCompanionPath(WCHAR path[MAX_PATH])
{
    path[0] = L'\0';
    if (!SHGetSpecialFolderPathW(NULL, path, CSIDL_PROGRAM_FILES, FALSE)) {
        return false;
    }
    path[MAX_PATH - 1] = L'\0';
    if (wcslen(path) + wcslen(companionTail) + 1 > MAX_PATH) {
        return false;
    }
    return wcscat_s(path, MAX_PATH, companionTail) == 0;
}

void LaunchCompanion(HANDLE sessionToken, LPWSTR instanceId)
{
    STARTUPINFOW startup;
    PrepareStartupInfo(&startup);
    WCHAR path[MAX_PATH];
    if (!BuildCompanionPath(path)) {
        ReportFailure(L"CreateProcessAsUser");
        return;
    }
    PROCESS_INFORMATION process = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, 0, 0};
    if (!CreateProcessAsUserW(sessionToken, path, instanceId, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL,
                              &startup, &process)) {
        ReportFailure(L"CreateProcessAsUser");
        return;
    }
    CloseStartedHandle(&process.hThread);
    CloseStartedHandle(&process.hProcess);
}

TokenResult StartCompanionsOnConsole(CardEntry *first, bool following)
{
    SessionToken token;
    TokenResult result = PrepareSessionToken(kConsoleTarget, &token);
    if (result != TokenReady) {
        return result;
    }
    for (CardEntry *entry = first; entry != NULL; entry = following ? entry->next : NULL) {
        LaunchCompanion(token.sessionToken, entry->instanceId);
    }
    CloseSessionToken(&token);
    return TokenReady;
}

// Sweeps run on the main thread (device events) and on the service thread (the
// stop's, which holds no card-list lock so that the handler keeps answering):
// one at a time, so that two helpers never run at once. A sweep's time counts
// from when it was asked for (for a device event, when the request reached the
// handler), its waits for the card list and for another sweep included, so
// that a handler that has to wait still answers in time.
static SRWLOCK sweepLock = SRWLOCK_INIT;

ULONGLONG SweepDeadline()
{
    ULONGLONG deadline = GetTickCount64() + kSweepBudgetMs;
    return stopDeadline != 0 && stopDeadline < deadline ? stopDeadline : deadline;
}

// True while a helper started now would have time to start and walk before
// `deadline`. When it would not, the sweep's time is spent with sessions
// left, and its record says so: the service stopped before every session was
// visited.
static bool TimeLeftForHelper(ULONGLONG deadline)
{
    if (GetTickCount64() + kHelperStartMs <= deadline) {
        return true;
    }
    ReportFailure(L"WaitForSingleObject");
    return false;
}

HANDLE unendedHelper = NULL;

// Ends a helper and waits until it is gone (termination only begins the end;
// the helper is gone when its handle is signalled), then closes its handle.
// False, reported, when it is not gone: the handle is kept as unendedHelper.
static bool EndHelper(HANDLE helper)
{
    TerminateProcess(helper, 0);
    if (WaitForSingleObject(helper, kTerminateWaitMs) != WAIT_OBJECT_0) {
        ReportFailure(L"TerminateProcess");
        unendedHelper = helper;
        return false;
    }
    CloseHandle(helper);
    return true;
}

// True when no helper is left that could not be ended; an unended one is
// ended once more.
static bool UnendedHelperGone()
{
    HANDLE helper = unendedHelper;
    unendedHelper = NULL;
    if (helper == NULL) {
        return true;
    }
    if (WaitForSingleObject(helper, 0) == WAIT_OBJECT_0) {
        CloseHandle(helper);
        return true;
    }
    return EndHelper(helper);
}

// Runs the helper for `entry` in one session and waits for it until
// `deadline` at the latest, and never longer than kHelperWaitMs. A helper that
// outlives its wait is ended: it must not go on switching desktops and sending
// messages after the service has moved on. False when the sweep must not go
// on: a helper that was ended is not gone, and no second one may run beside
// it; or the sweep's time ran out before the helper could be started.
static bool RunHelperInSession(DWORD sessionId, CardEntry *entry, ULONGLONG deadline)
{
    SessionToken token;
    if (PrepareSessionToken(sessionId, &token) != TokenReady) {
        return true;
    }
    bool goOn = true;
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    STARTUPINFOW startup;
    PrepareStartupInfo(&startup);
    PROCESS_INFORMATION process = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, 0, 0};
    bool started = false;
    if (length != 0 && length < MAX_PATH) {
        goOn = TimeLeftForHelper(deadline);
        started =
            goOn && CreateProcessAsUserW(token.sessionToken, path, entry->instanceId, NULL, NULL, FALSE,
                                         CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &process);
    }
    if (started) {
        CloseStartedHandle(&process.hThread);
        if (IsOpenHandle(process.hProcess)) {
            ULONGLONG now = GetTickCount64();
            ULONGLONG left = deadline > now ? deadline - now : 0;
            DWORD waitMs = left < kHelperWaitMs ? static_cast<DWORD>(left) : kHelperWaitMs;
            if (WaitForSingleObject(process.hProcess, waitMs) != WAIT_OBJECT_0) {
                ReportFailure(L"WaitForSingleObject");
                goOn = EndHelper(process.hProcess);
                process.hProcess = INVALID_HANDLE_VALUE;
            }
        }
        CloseStartedHandle(&process.hProcess);
    }
    CloseSessionToken(&token);
    return goOn;
}

void RunForceCloseSweep(CardEntry *entry, ULONGLONG deadline)
{
    AcquireSRWLockExclusive(&sweepLock);
    PWTS_SESSION_INFOW sessions = NULL;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        count = 0;
    }
    for (DWORD i = 0; i < count; ++i) {
        // The handler must answer in time, and the stop must end in time:
        // with too little time left for a helper, no further session is
        // visited.
        if (!TimeLeftForHelper(deadline) || !UnendedHelperGone() ||
            !RunHelperInSession(sessions[i].SessionId, entry, deadline)) {
            break;
        }
    }
    WTSFreeMemory(sessions);
    ReleaseSRWLockExclusive(&sweepLock);
}

void HandleSessionChange(DWORD eventType)
{
    if (eventType != WTS_CONSOLE_CONNECT && eventType != WTS_SESSION_LOGON) {
        return;
    }
    AcquireSRWLockExclusive(&cardListLock);
    if (CardList != NULL) {
        StartCompanionsOnConsole(CardList->next, true);
    }
    ReleaseSRWLockExclusive(&cardListLock);
}
