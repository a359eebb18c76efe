// Service client for the end-to-end tests.
//
//   hxsvc query NAME                 QueryServiceStatus, every field
//   hxsvc interrogate NAME           ControlService(SERVICE_CONTROL_INTERROGATE)
//   hxsvc control NAME CODE          ControlService with any code
//   hxsvc wait NAME STATE TIMEOUT_MS polls until the state is reached
//   hxsvc watch NAME TIMEOUT_MS      StartServiceW, then polls as fast as it can
//                                    and prints every distinct status it sees,
//                                    until RUNNING or STOPPED or the timeout
//
// A status is printed as one line:
//   type=0x10 state=4 accepted=0x81 exit=0 specific=0 checkpoint=0 waithint=0
// Exit code: 0 on success, 1 when a call failed or a wait timed out, 2 on usage.
#include "hxcommon.h"

static void PrintStatus(const wchar_t *prefix, const SERVICE_STATUS &s)
{
    HxPrint(L"%lstype=0x%lx state=%lu accepted=0x%lx exit=%lu specific=%lu checkpoint=%lu waithint=%lu\n", prefix,
            s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
            s.dwCheckPoint, s.dwWaitHint);
}

static bool SameStatus(const SERVICE_STATUS &a, const SERVICE_STATUS &b)
{
    return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint &&
           a.dwControlsAccepted == b.dwControlsAccepted && a.dwWin32ExitCode == b.dwWin32ExitCode;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        HxPrint(L"usage: hxsvc query|interrogate|control|wait|watch NAME ...\n");
        return 2;
    }
    const wchar_t *command = argv[1];
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        HxPrint(L"OpenSCManagerW failed error=%lu\n", GetLastError());
        return 1;
    }
    SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_ALL_ACCESS);
    if (service == NULL) {
        HxPrint(L"OpenServiceW failed error=%lu\n", GetLastError());
        CloseServiceHandle(manager);
        return 1;
    }
    int result = 0;
    SERVICE_STATUS status = {};
    if (wcscmp(command, L"query") == 0) {
        if (QueryServiceStatus(service, &status)) {
            PrintStatus(L"", status);
        } else {
            HxPrint(L"QueryServiceStatus failed error=%lu\n", GetLastError());
            result = 1;
        }
    } else if (wcscmp(command, L"interrogate") == 0 || (wcscmp(command, L"control") == 0 && argc > 3)) {
        DWORD code = wcscmp(command, L"interrogate") == 0 ? SERVICE_CONTROL_INTERROGATE : wcstoul(argv[3], NULL, 0);
        if (ControlService(service, code, &status)) {
            PrintStatus(L"ok ", status);
        } else {
            HxPrint(L"ControlService failed error=%lu\n", GetLastError());
            result = 1;
        }
    } else if (wcscmp(command, L"wait") == 0 && argc > 4) {
        DWORD state = wcstoul(argv[3], NULL, 0);
        DWORD timeoutMs = wcstoul(argv[4], NULL, 0);
        ULONGLONG deadline = GetTickCount64() + timeoutMs;
        result = 1;
        for (;;) {
            if (!QueryServiceStatus(service, &status)) {
                HxPrint(L"QueryServiceStatus failed error=%lu\n", GetLastError());
                break;
            }
            if (status.dwCurrentState == state) {
                result = 0;
                break;
            }
            if (GetTickCount64() >= deadline) {
                HxPrint(L"timeout\n");
                break;
            }
            Sleep(20);
        }
        PrintStatus(L"", status);
    } else if (wcscmp(command, L"watch") == 0 && argc > 3) {
        DWORD timeoutMs = wcstoul(argv[3], NULL, 0);
        double started = HxNowMs();
        if (!StartServiceW(service, 0, NULL)) {
            HxPrint(L"StartServiceW failed error=%lu\n", GetLastError());
            result = 1;
        } else {
            HxPrint(L"started ms=%.3f\n", HxNowMs() - started);
            SERVICE_STATUS last = {};
            bool first = true;
            result = 1;
            for (;;) {
                if (!QueryServiceStatus(service, &status)) {
                    HxPrint(L"QueryServiceStatus failed error=%lu\n", GetLastError());
                    break;
                }
                if (first || !SameStatus(status, last)) {
                    wchar_t prefix[64];
                    _snwprintf(prefix, 63, L"seen ms=%.3f ", HxNowMs() - started);
                    prefix[63] = L'\0';
                    PrintStatus(prefix, status);
                    last = status;
                    first = false;
                }
                if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED) {
                    result = status.dwCurrentState == SERVICE_RUNNING ? 0 : 1;
                    break;
                }
                if (HxNowMs() - started > timeoutMs) {
                    HxPrint(L"timeout\n");
                    break;
                }
            }
        }
    } else {
        HxPrint(L"unknown command\n");
        result = 2;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
