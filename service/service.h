// Service host: process entry, status reporting, the control handler and the
// run sequence.
#pragma once

#include "platform/platform.h"

extern SERVICE_STATUS_HANDLE serviceStatusHandle;
extern SERVICE_STATUS serviceStatus;
extern DWORD checkPointCounter;
extern HANDLE StopEvent;
// When the stop's time is spent (GetTickCount64), set by the first stop
// request on the main thread and read by the service thread once StopEvent is
// signalled; 0 until a stop has been requested.
extern ULONGLONG stopDeadline;

// True when the first command-line word selects the force-close helper: it
// begins with "PCI" in any ASCII case.
bool IsForceCloseWord(LPCWSTR firstWord);

// The one way a status is reported to the service control manager. False once
// stopped has been reported (by this call or an earlier one): the process may
// end at any moment, and nothing more may be done.
bool ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint);

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The life of the service thread from start-pending to stopped.
void RunService();
