// hxmsgfmt EXE ID LANGID [STRING...]
//
// Formats message ID (hex or decimal) of EXE's message table in LANGID with
// FormatMessageW, as the event viewer does, with the given insertion strings
// (%1, %2, ...; each STRING is "x" + hex of its UTF-8 bytes). Prints the text as
// UTF-8 exactly, with nothing added. Exit code 0, or 1 when the module cannot be
// loaded or the message is not there (the error is printed).
#include "hxcommon.h"

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        HxPrint(L"usage: hxmsgfmt EXE ID LANGID [STRING-HEX...]\n");
        return 2;
    }
    HMODULE module = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL) {
        HxPrint(L"LoadLibraryExW failed error=%lu\n", GetLastError());
        return 1;
    }
    DWORD id = wcstoul(argv[2], NULL, 0);
    DWORD langId = wcstoul(argv[3], NULL, 0);
    int count = argc - 4;
    DWORD_PTR *strings = static_cast<DWORD_PTR *>(calloc(count + 1, sizeof(DWORD_PTR)));
    for (int i = 0; i < count; ++i) {
        strings[i] = reinterpret_cast<DWORD_PTR>(HxDecodeHex(argv[4 + i]));
        if (strings[i] == 0) {
            HxPrint(L"bad insertion string\n");
            return 2;
        }
    }
    wchar_t *text = NULL;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       module, id, langId, reinterpret_cast<LPWSTR>(&text), 0, reinterpret_cast<va_list *>(strings));
    int result = 0;
    if (length == 0) {
        HxPrint(L"FormatMessageW failed error=%lu\n", GetLastError());
        result = 1;
    } else {
        HxWriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<int>(length));
        LocalFree(text);
    }
    for (int i = 0; i < count; ++i) {
        free(reinterpret_cast<void *>(strings[i]));
    }
    free(strings);
    FreeLibrary(module);
    return result;
}
