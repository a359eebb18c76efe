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

// The status record and the checkpoint counter are written from the service
// thread (start-up, stop) and the main thread (stop request, interrogate).
static SRWLOCK statusLock = SRWLOCK_INIT;

static void ReportStatusLocked(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    // Stopped is the last report of the service's life. A request that the
    // handler was already taking when the service thread reported stopped (an
    // interrogate, a stop) reports nothing after it.
    if (serviceStatus.dwCurrentState == SERVICE_STOPPED) {
        return;
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
    SetServiceStatus(serviceStatusHandle, &serviceStatus);
}

void ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    AcquireSRWLockExclusive(&statusLock);
    ReportStatusLocked(state, win32ExitCode, waitHint);
    ReleaseSRWLockExclusive(&statusLock);
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv)
{
    (void)argc;
    (void)argv;
    // The handler can be called (an interrogate) as soon as it is registered,
    // before the handle is stored: the handle and the record are set under the
    // status lock, which the handler takes before it reads them.
    AcquireSRWLockExclusive(&statusLock);
    serviceStatusHandle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, ServiceControlHandler, NULL);
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwServiceSpecificExitCode = 0;
    ReleaseSRWLockExclusive(&statusLock);
    if (serviceStatusHandle == NULL) {
        ReportServiceEvent(L"RegisterServiceCtrlHandler", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return;
    }
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 3000);
    RunService();
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    (void)context;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
        SetEvent(StopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        AcquireSRWLockExclusive(&statusLock);
        // Before the first report there is no state to report again.
        if (serviceStatus.dwCurrentState != 0) {
            ReportStatusLocked(serviceStatus.dwCurrentState, NO_ERROR, 0);
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
