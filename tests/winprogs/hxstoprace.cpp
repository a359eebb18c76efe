// Starts and stops a service many times in one process, with interrogates
// racing the stop, and tells how each round ended.
//
//   hxstoprace NAME ROUNDS INTERROGATORS [shared|own]
//
// Each round: StartServiceW, and at once one interrogate while the service is
// start-pending; polls until RUNNING; then INTERROGATORS threads send
// interrogates without pause while the main thread sends the stop; polls until
// STOPPED and waits for the service's process to end. The interrogators use
// the main thread's service handle ("shared", the default) or handles of their
// own, as separate clients would ("own").
//
// How a round ends:
//   ok      the stop was taken, STOPPED was reported and the process ended
//   held    the process was still there 20 s after the stop (the round then
//           waits up to 90 s more for the manager to end it)
//   killed  the process ended without STOPPED being reported, or the stop
//           failed: the manager ended the process itself
//   refused the stop was refused and the service kept running (the round
//           then stops it again)
//
// One line per round, then a summary:
//   round=N outcome=O stop=ERR stop_ms=MS start_interrogate=ERR interrogates=K
//       timeouts=T other_errors=E(last ERR) max_interrogate_ms=MS
//       stopped_ms=MS exit_ms=MS
//   rounds=N ok=A held=H killed=K refused=R interrogate_timeouts=T max_stop_ms=MS
// Exit code: 0 when every round was ok, 1 otherwise, 2 on usage or when the
// service could not be started or ended.
#include "hxcommon.h"

namespace
{

const wchar_t *serviceName;
SC_HANDLE service;
bool ownHandles;
HANDLE go;
volatile LONG finished;
volatile LONG sent;
volatile LONG timeouts;
volatile LONG maxInterrogateMs;
volatile LONG otherErrors;
volatile LONG lastOtherError;

void NoteMax(volatile LONG *slot, LONG value)
{
    LONG seen = *slot;
    while (value > seen) {
        LONG previous = InterlockedCompareExchange(slot, value, seen);
        if (previous == seen) {
            break;
        }
        seen = previous;
    }
}

DWORD WINAPI Interrogator(void *)
{
    SC_HANDLE manager = NULL;
    SC_HANDLE handle = service;
    if (ownHandles) {
        manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
        handle = manager == NULL ? NULL : OpenServiceW(manager, serviceName, SERVICE_INTERROGATE);
    }
    WaitForSingleObject(go, INFINITE);
    while (!finished && handle != NULL) {
        SERVICE_STATUS status;
        double started = HxNowMs();
        BOOL ok = ControlService(handle, SERVICE_CONTROL_INTERROGATE, &status);
        DWORD error = ok ? 0 : GetLastError();
        NoteMax(&maxInterrogateMs, static_cast<LONG>(HxNowMs() - started));
        InterlockedIncrement(&sent);
        if (error == ERROR_SERVICE_REQUEST_TIMEOUT) {
            InterlockedIncrement(&timeouts);
        } else if (error != 0 && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) {
            InterlockedIncrement(&otherErrors);
            InterlockedExchange(&lastOtherError, static_cast<LONG>(error));
        }
        // Once the manager refuses (stop-pending, stopped), nothing more can race.
        if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_SERVICE_NOT_ACTIVE) {
            break;
        }
    }
    if (ownHandles && handle != NULL) {
        CloseServiceHandle(handle);
    }
    if (manager != NULL) {
        CloseServiceHandle(manager);
    }
    return 0;
}

bool Query(SERVICE_STATUS_PROCESS *status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(status), sizeof *status,
                                &needed) != FALSE;
}

// Polls until the state is reached; the elapsed ms, or -1 after timeoutMs.
double WaitState(DWORD state, double timeoutMs, SERVICE_STATUS_PROCESS *status)
{
    double started = HxNowMs();
    for (;;) {
        if (Query(status) && status->dwCurrentState == state) {
            return HxNowMs() - started;
        }
        if (HxNowMs() - started > timeoutMs) {
            return -1;
        }
        Sleep(1);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        HxPrint(L"usage: hxstoprace NAME ROUNDS INTERROGATORS [shared|own]\n");
        return 2;
    }
    serviceName = argv[1];
    DWORD rounds = wcstoul(argv[2], NULL, 0);
    DWORD interrogators = wcstoul(argv[3], NULL, 0);
    if (interrogators > 16) {
        interrogators = 16;
    }
    ownHandles = argc > 4 && wcscmp(argv[4], L"own") == 0;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    service = manager == NULL ? NULL : OpenServiceW(manager, serviceName, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        HxPrint(L"OpenServiceW failed error=%lu\n", GetLastError());
        return 2;
    }
    go = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD ok = 0, held = 0, killed = 0, refused = 0, allTimeouts = 0;
    double maxStopMs = 0;
    for (DWORD round = 1; round <= rounds; ++round) {
        if (!StartServiceW(service, 0, NULL)) {
            HxPrint(L"round=%lu StartServiceW failed error=%lu\n", round, GetLastError());
            return 2;
        }
        SERVICE_STATUS status;
        DWORD startInterrogate = ControlService(service, SERVICE_CONTROL_INTERROGATE, &status) ? 0 : GetLastError();
        SERVICE_STATUS_PROCESS process = {};
        if (WaitState(SERVICE_RUNNING, 20000, &process) < 0) {
            HxPrint(L"round=%lu never RUNNING state=%lu\n", round, process.dwCurrentState);
            return 2;
        }
        HANDLE processHandle = OpenProcess(SYNCHRONIZE, FALSE, process.dwProcessId);

        finished = 0;
        sent = 0;
        timeouts = 0;
        maxInterrogateMs = 0;
        otherErrors = 0;
        lastOtherError = 0;
        ResetEvent(go);
        HANDLE threads[16];
        for (DWORD i = 0; i < interrogators; ++i) {
            threads[i] = CreateThread(NULL, 0, Interrogator, NULL, 0, NULL);
        }
        SetEvent(go);
        if (interrogators > 0) {
            Sleep(round % 3); // a different moment of the race each round
        }
        double stopStarted = HxNowMs();
        DWORD stopError = ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
        double stopMs = HxNowMs() - stopStarted;
        // Until the process has ended and STOPPED is reported, or the process
        // has ended and the state stays put for 1 s, or 20 s have passed.
        double stoppedMs = -1, exitMs = -1, waitStarted = HxNowMs();
        for (;;) {
            double now = HxNowMs() - waitStarted;
            if (stoppedMs < 0 && Query(&process) && process.dwCurrentState == SERVICE_STOPPED) {
                stoppedMs = now;
            }
            if (exitMs < 0 && (processHandle == NULL || WaitForSingleObject(processHandle, 0) == WAIT_OBJECT_0)) {
                exitMs = now;
            }
            if ((exitMs >= 0 && (stoppedMs >= 0 || now - exitMs > 1000)) || now > 20000) {
                break;
            }
            Sleep(1);
        }
        finished = 1;
        for (DWORD i = 0; i < interrogators; ++i) {
            WaitForSingleObject(threads[i], 120000);
            CloseHandle(threads[i]);
        }

        const wchar_t *outcome = L"ok";
        if (exitMs < 0 && processHandle != NULL) {
            outcome = L"held";
            ++held;
        } else if (stopError != 0 && stoppedMs < 0 && Query(&process) && process.dwCurrentState == SERVICE_RUNNING) {
            outcome = L"refused";
            ++refused;
        } else if (stopError != 0 || stoppedMs < 0) {
            outcome = L"killed";
            ++killed;
        } else {
            ++ok;
        }
        HxPrint(L"round=%lu outcome=%ls stop=%lu stop_ms=%.1f start_interrogate=%lu interrogates=%ld timeouts=%ld "
                L"other_errors=%ld(last %ld) max_interrogate_ms=%ld stopped_ms=%.1f exit_ms=%.1f\n",
                round, outcome, stopError, stopMs, startInterrogate, sent, timeouts, otherErrors, lastOtherError,
                maxInterrogateMs, stoppedMs, exitMs);
        allTimeouts += static_cast<DWORD>(timeouts);
        maxStopMs = stopMs > maxStopMs ? stopMs : maxStopMs;

        // The next start needs the process gone: a held one is ended by the
        // manager, a refused stop is sent again.
        if (wcscmp(outcome, L"refused") == 0) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
        }
        if (processHandle != NULL) {
            if (WaitForSingleObject(processHandle, 90000) != WAIT_OBJECT_0) {
                HxPrint(L"round=%lu the process never ended\n", round);
                return 2;
            }
            CloseHandle(processHandle);
        }
    }
    HxPrint(L"rounds=%lu ok=%lu held=%lu killed=%lu refused=%lu interrogate_timeouts=%lu max_stop_ms=%.1f\n", rounds,
            ok, held, killed, refused, allTimeouts, maxStopMs);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok == rounds ? 0 : 1;
}
