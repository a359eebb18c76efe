// Process entry: the first command-line word chooses between the service and
// the force-close helper.
#include "eventlog/eventlog.h"
#include "forceclose/walk.h"
#include "platform/ascii.h"
#include "service/service.h"

bool IsForceCloseWord(LPCWSTR firstWord)
{
    // A word shorter than three characters ends before the third pair.
    return AsciiPrefixEquals(firstWord, L"PCI", 3);
}

int wmain(int argc, wchar_t **argv, wchar_t **envp)
{
    (void)envp;
    LPWSTR firstWord = (argc > 0 && argv[0] != NULL) ? argv[0] : const_cast<LPWSTR>(L"");

    if (!IsForceCloseWord(firstWord)) {
        SERVICE_TABLE_ENTRYW dispatchTable[] = {
            {const_cast<LPWSTR>(SERVICE_NAME), ServiceMain},
            {NULL, NULL},
        };
        if (!StartServiceCtrlDispatcherW(dispatchTable)) {
            ReportServiceEvent(L"StartServiceCtrlDispatcher", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        }
        return 0;
    }

    forceCloseMessage = RegisterWindowMessageW(L"ForceClose");
    if (!EnumWindowStationsW(EnumWindowStationCallback, reinterpret_cast<LPARAM>(firstWord))) {
        ReportServiceEvent(L"EnumWindowStations", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    }
    return 0;
}
