// hxargs: prints what the C runtime's start-up made of this process's command
// line. Built with the service's start-up (wide entry, static runtime), so the
// argument vector it prints is the one HexlornS.exe's entry receives.
//
// Output, every string as "x" + hex of its UTF-8 bytes (blanks, quotes and
// empty strings stay visible):
//   cmdline=xHEX      GetCommandLineW()
//   module=xHEX       GetModuleFileNameW(NULL)
//   argc=N
//   argv0=xHEX        one line per element of the argument vector
// Exit code 0.
#include "hxcommon.h"

static void PrintHex(const wchar_t *label, const wchar_t *text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *utf8 = static_cast<char *>(malloc(bytes > 0 ? bytes : 1));
    if (utf8 == NULL) {
        return;
    }
    utf8[0] = '\0';
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, NULL, NULL);
    }
    wchar_t *hex = static_cast<wchar_t *>(malloc((2 * strlen(utf8) + 1) * sizeof(wchar_t)));
    if (hex != NULL) {
        size_t i = 0;
        for (; utf8[i] != '\0'; ++i) {
            _snwprintf(hex + 2 * i, 3, L"%02x", static_cast<unsigned char>(utf8[i]));
        }
        hex[2 * i] = L'\0';
        HxPrint(L"%ls=x%ls\n", label, hex);
        free(hex);
    }
    free(utf8);
}

int wmain(int argc, wchar_t **argv)
{
    PrintHex(L"cmdline", GetCommandLineW());
    wchar_t module[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, module, MAX_PATH);
    module[length < MAX_PATH ? length : MAX_PATH - 1] = L'\0';
    PrintHex(L"module", module);
    HxPrint(L"argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        wchar_t label[32];
        _snwprintf(label, 31, L"argv%d", i);
        label[31] = L'\0';
        PrintHex(label, argv[i] != NULL ? argv[i] : L"(null)");
    }
    return 0;
}
