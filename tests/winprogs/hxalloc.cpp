// The service's allocation operators (platform/allocation_windows.cpp) in a
// program of their own. `hxalloc small` allocates and frees through every
// operator the service uses and prints "freed"; `hxalloc huge` asks for more
// than any heap can give and prints "survived" only if the request came back.
#include "hxcommon.h"
#include <new>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        return 2;
    }
    size_t size = wcscmp(argv[1], L"huge") == 0 ? static_cast<size_t>(1) << 62 : 64;
    printf("allocating %zu\n", size);
    fflush(stdout);
    void *block = ::operator new(size);
    wchar_t *text = new wchar_t[size / sizeof(wchar_t)];
    printf(block != NULL && text != NULL ? "allocated\n" : "survived\n");
    delete[] text;
    ::operator delete(block);
    printf("freed\n");
    return 0;
}
