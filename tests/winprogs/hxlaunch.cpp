// hxlaunch APP CMDLINE TIMEOUT_MS [REPEAT]
//
// Starts APP ("-" for none) with CreateProcessW and exactly the command line
// CMDLINE ("-" for a null command line, otherwise "x" + hex of its UTF-8
// bytes, so leading blanks, quotes and the empty line survive), waits at most
// TIMEOUT_MS for it ("-": do not wait, print "pid=P" and leave it running) and
// prints, per run:
//   run=N pid=P exit=C ms=T      or      run=N pid=P timeout ms=T
// A process that outlives the timeout is terminated. REPEAT runs it again
// (one after the other), for timing. Exit code 0 when every run ended in time,
// 1 on a timeout, 2 on a usage or start failure.
#include "hxcommon.h"

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        HxPrint(L"usage: hxlaunch APP|- CMDLINE-HEX|- TIMEOUT_MS [REPEAT]\n");
        return 2;
    }
    const wchar_t *application = wcscmp(argv[1], L"-") == 0 ? NULL : argv[1];
    wchar_t *commandLine = NULL;
    if (wcscmp(argv[2], L"-") != 0) {
        commandLine = HxDecodeHex(argv[2]);
        if (commandLine == NULL) {
            HxPrint(L"bad command line argument\n");
            return 2;
        }
    }
    bool detach = wcscmp(argv[3], L"-") == 0;
    DWORD timeoutMs = detach ? 0 : wcstoul(argv[3], NULL, 10);
    int repeat = argc > 4 ? _wtoi(argv[4]) : 1;
    int status = 0;
    for (int run = 0; run < repeat; ++run) {
        // CreateProcessW may write into the command line; give it a copy.
        wchar_t *copy = NULL;
        if (commandLine != NULL) {
            copy = _wcsdup(commandLine);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        double started = HxNowMs();
        if (!CreateProcessW(application, copy, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
            HxPrint(L"run=%d CreateProcessW failed error=%lu\n", run, GetLastError());
            free(copy);
            return 2;
        }
        if (detach) {
            HxPrint(L"pid=%lu\n", process.dwProcessId);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            free(copy);
            break;
        }
        DWORD waited = WaitForSingleObject(process.hProcess, timeoutMs);
        double elapsed = HxNowMs() - started;
        if (waited == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            GetExitCodeProcess(process.hProcess, &exitCode);
            HxPrint(L"run=%d pid=%lu exit=%lu ms=%.3f\n", run, process.dwProcessId, exitCode, elapsed);
        } else {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
            HxPrint(L"run=%d pid=%lu timeout ms=%.3f\n", run, process.dwProcessId, elapsed);
            status = 1;
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        free(copy);
    }
    free(commandLine);
    return status;
}
