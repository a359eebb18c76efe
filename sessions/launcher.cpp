// The session launcher: the companion application on the console session and
// the force-close helper in every session.
#include <cstring>

#include "eventlog/eventlog.h"
#include "sessions/sessions.h"

static const WCHAR companionTail[] = L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe";
static WCHAR interactiveDesktop[] = L"WinSta0\\Default";

static void ReportFailure(LPCWSTR function)
{
    ReportServiceEvent(function, EVENTLOG_ERROR_TYPE, MSG_ERROR);
}

static bool IsRealHandle(HANDLE handle)
{
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
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

// Closes the thread handle, then the process handle, of a started process.
static void CloseProcessHandles(PROCESS_INFORMATION *process)
{
    if (IsRealHandle(process->hThread)) {
        CloseHandle(process->hThread);
    }
    if (IsRealHandle(process->hProcess)) {
        CloseHandle(process->hProcess);
    }
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
    CloseProcessHandles(&process);
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

// Runs the helper for `entry` in one session and waits for it, at most
// `waitMs`. A helper that outlives its wait is ended: it must not go on
// switching desktops and sending messages after the service has moved on.
static void RunHelperInSession(DWORD sessionId, CardEntry *entry, DWORD waitMs)
{
    SessionToken token;
    if (PrepareSessionToken(sessionId, &token) != TokenReady) {
        return;
    }
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length != 0 && length < MAX_PATH) {
        STARTUPINFOW startup;
        PrepareStartupInfo(&startup);
        PROCESS_INFORMATION process = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, 0, 0};
        if (CreateProcessAsUserW(token.sessionToken, path, entry->instanceId, NULL, NULL, FALSE,
                                 CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &process)) {
            if (IsRealHandle(process.hThread)) {
                CloseHandle(process.hThread);
            }
            if (IsRealHandle(process.hProcess)) {
                if (WaitForSingleObject(process.hProcess, waitMs) != WAIT_OBJECT_0) {
                    ReportFailure(L"WaitForSingleObject");
                    TerminateProcess(process.hProcess, 0);
                }
                CloseHandle(process.hProcess);
            }
        }
    }
    CloseSessionToken(&token);
}

void RunForceCloseSweep(CardEntry *entry)
{
    PWTS_SESSION_INFOW sessions = NULL;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        count = 0;
    }
    ULONGLONG deadline = GetTickCount64() + kSweepBudgetMs;
    for (DWORD i = 0; i < count; ++i) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            // The sweep's time is spent: the handler must answer in time.
            break;
        }
        ULONGLONG left = deadline - now;
        RunHelperInSession(sessions[i].SessionId, entry,
                           left < kHelperWaitMs ? static_cast<DWORD>(left) : kHelperWaitMs);
    }
    WTSFreeMemory(sessions);
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
