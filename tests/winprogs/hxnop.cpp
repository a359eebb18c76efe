// A bare program: starts and exits with 0. Built twice: hxnop.exe imports only
// kernel32 and the C runtime; hxnop_imports.exe (HX_WITH_IMPORTS) references one
// function of each system library the service imports (never called), so its
// start-up loads the same DLLs as the service's.
#include "hxcommon.h"
#include <setupapi.h>
#include <shlobj.h>
#include <wtsapi32.h>

int wmain(int argc, wchar_t **argv)
{
    (void)argv;
    (void)argc;
#ifdef HX_WITH_IMPORTS
    // Never true when started by the benchmark; keeps the imports referenced.
    if (argc > 100) {
        RegisterWindowMessageW(L"x");
        WTSFreeMemory(NULL);
        SetupDiDestroyDeviceInfoList(NULL);
        SHGetSpecialFolderPathW(NULL, NULL, 0, FALSE);
        OpenSCManagerW(NULL, NULL, 0);
    }
#endif
    return 0;
}
