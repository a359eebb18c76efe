// Service control and status: the status record, its reports and the control
// handler.
#include "cards/cards.h"
#include "eventlog/eventlog.h"
#include "service/service.h"
#include "sessions/sessions.h"

SERVICE_STATUS_HANDLE serviceStatusHandle = NULL;
SERVICE_STATUS serviceStatus = {};
DWORD checkPointCounter = 1;
HANDLE StopEvent = NULL;
ULONGLONG stopDeadline = 0;

// The status record and the checkpoint counter are written from the service
// thread (start-up, stop) and the main thread (stop request, interrogate), so
// they are set under statusLock. The lock is never held across a call into the
// platform: the dispatcher may hold a lock of its own while it runs the handler
// (Wine's does), and SetServiceStatus or RegisterServiceCtrlHandlerExW may wait
// for that lock; a handler waiting for statusLock meanwhile would never return.
//
// Reports still reach the control manager one at a time and in the order they
// were set. The thread that finds no report on its way sends the record, then
// sends it again as long as another thread set it anew during the call; a
// thread that finds a report on its way leaves its own to that sender and goes
// on at once. So the handler never waits for another thread's report, a report
// set after another is never sent before it (only the newest of those set
// during one call is sent), and nothing follows the stopped report.
static SRWLOCK statusLock = SRWLOCK_INIT;
static bool reportOnItsWay = false;
static bool reportSetAgain = false;

// Sets the record for a report of `state`; false when nothing may be reported.
static bool SetStatusLocked(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    // Stopped is the last report of the service's life. A request that the
    // handler was already taking when the service thread reported stopped (an
    // interrogate, a stop) reports nothing after it.
    if (serviceStatus.dwCurrentState == SERVICE_STOPPED) {
        return false;
    }
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = win32ExitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE);
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        serviceStatus.dwCheckPoint = 0;
    } else {
        serviceStatus.dwCheckPoint = checkPointCounter++;
    }
    return true;
}

// Sends the record just set, or leaves it to the thread whose report is on its
// way. Called with statusLock held; returns with it held.
static void SendStatusLocked()
{
    if (reportOnItsWay) {
        reportSetAgain = true;
        return;
    }
    reportOnItsWay = true;
    do {
        reportSetAgain = false;
        SERVICE_STATUS report = serviceStatus;
        SERVICE_STATUS_HANDLE handle = serviceStatusHandle;
        ReleaseSRWLockExclusive(&statusLock);
        SetServiceStatus(handle, &report);
        AcquireSRWLockExclusive(&statusLock);
    } while (reportSetAgain);
    reportOnItsWay = false;
}

bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    AcquireSRWLockExclusive(&statusLock);
    if (SetStatusLocked(state, win32ExitCode, waitHint)) {
        SendStatusLocked();
    }
    bool stopped = serviceStatus.dwCurrentState == SERVICE_STOPPED;
    ReleaseSRWLockExclusive(&statusLock);
    return !stopped;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv)
{
    (void)argc;
    (void)argv;
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, ServiceControlHandler, NULL);
    if (handle == NULL) {
        ReportServiceEvent(L"RegisterServiceCtrlHandler", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return;
    }
    // The handler can be called (an interrogate) as soon as it is registered;
    // until the first report it finds no state and reports nothing.
    AcquireSRWLockExclusive(&statusLock);
    serviceStatusHandle = handle;
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwServiceSpecificExitCode = 0;
    ReleaseSRWLockExclusive(&statusLock);
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 3000);
    RunService();
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    (void)context;
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        // The stop's time counts from its first request, as the control
        // manager's and an installer's wait for it do.
        if (stopDeadline == 0) {
            stopDeadline = GetTickCount64() + kStopBudgetMs;
        }
        // Once stopped has been reported the process may end at any moment,
        // so a stop taken after it, or whose stop-pending went out merged
        // with it (this thread then sent the stopped report), signals nothing.
        if (ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0)) {
            SetEvent(StopEvent);
        }
        return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
        AcquireSRWLockExclusive(&statusLock);
        // Before the first report there is no state to report again.
        if (serviceStatus.dwCurrentState != 0 && SetStatusLocked(serviceStatus.dwCurrentState, NO_ERROR, 0)) {
            SendStatusLocked();
        }
        ReleaseSRWLockExclusive(&statusLock);
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
        HandleDeviceEvent(eventType, eventData);
        return NO_ERROR;
    case SERVICE_CONTROL_SESSIONCHANGE:
        HandleSessionChange(eventType);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}
