// A probe service: does SetServiceStatus wait for a control handler that is
// still running? Started as a service with one start argument, the state its
// probe report carries ("stopped" or "running"), and with its log file as its
// own command-line argument:
//
//   binPath: C:\hx\hxsvcprobe.exe C:\hx\probe.log     start: sc start NAME stopped
//
// ServiceMain reports running, takes a lock, and waits for user control 128.
// The handler, on 128, tries for 5 s to take the same lock. Meanwhile
// ServiceMain makes the probe report while it holds the lock, then lets go.
// If SetServiceStatus waits for the handler, the two wait for each other until
// the handler gives up. The log tells:
//   probe state=S report_ms=MS handler_got_lock=yes|no handler_wait_ms=MS
// then the probe ends: stopped if it was not the probe report.
#include "hxcommon.h"

namespace
{

const wchar_t *logPath = L"C:\\hx\\probe.log";
SERVICE_STATUS_HANDLE statusHandle;
SRWLOCK lock = SRWLOCK_INIT;
HANDLE handlerEntered;
HANDLE handlerDone;
HANDLE stopRequested;
volatile LONG handlerGotLock;
double handlerWaitMs;

void Log(const wchar_t *format, ...)
{
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        va_list args;
        va_start(args, format);
        HxWriteFormatted(file, format, args);
        va_end(args);
        CloseHandle(file);
    }
}

void Report(DWORD state)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void *, void *)
{
    if (control == 128) {
        SetEvent(handlerEntered);
        double started = HxNowMs();
        while (HxNowMs() - started < 5000) {
            if (TryAcquireSRWLockExclusive(&lock)) {
                handlerGotLock = 1;
                ReleaseSRWLockExclusive(&lock);
                break;
            }
            Sleep(10);
        }
        handlerWaitMs = HxNowMs() - started;
        SetEvent(handlerDone);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_STOP) {
        SetEvent(stopRequested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ProbeMain(DWORD argc, LPWSTR *argv)
{
    bool stopped = argc > 1 && wcscmp(argv[1], L"stopped") == 0;
    handlerEntered = CreateEventW(NULL, TRUE, FALSE, NULL);
    handlerDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    stopRequested = CreateEventW(NULL, TRUE, FALSE, NULL);
    statusHandle = RegisterServiceCtrlHandlerExW(L"HxProbe", Handler, NULL);
    if (statusHandle == NULL) {
        Log(L"RegisterServiceCtrlHandlerExW failed error=%lu\n", GetLastError());
        return;
    }
    AcquireSRWLockExclusive(&lock);
    Report(SERVICE_RUNNING);
    Log(L"running\n");
    if (WaitForSingleObject(handlerEntered, 30000) != WAIT_OBJECT_0) {
        ReleaseSRWLockExclusive(&lock);
        Log(L"no control 128 came\n");
        Report(SERVICE_STOPPED);
        return;
    }
    Sleep(200); // the handler is trying for the lock by now
    double started = HxNowMs();
    Report(stopped ? SERVICE_STOPPED : SERVICE_RUNNING);
    double reportMs = HxNowMs() - started;
    ReleaseSRWLockExclusive(&lock);
    WaitForSingleObject(handlerDone, 30000);
    Log(L"probe state=%ls report_ms=%.1f handler_got_lock=%ls handler_wait_ms=%.1f\n",
        stopped ? L"stopped" : L"running", reportMs, handlerGotLock ? L"yes" : L"no", handlerWaitMs);
    if (!stopped) {
        WaitForSingleObject(stopRequested, 30000);
        Report(SERVICE_STOPPED);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1) {
        logPath = argv[1];
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"HxProbe"), ProbeMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherW(table)) {
        Log(L"StartServiceCtrlDispatcherW failed error=%lu\n", GetLastError());
        return 1;
    }
    return 0;
}
