// Shared helpers of the small test programs: UTF-8 output and argument
// decoding. Header-only; every program is one translation unit.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Writes UTF-16 text as UTF-8 to a handle.
static inline void HxWriteUtf8(HANDLE out, const wchar_t *text, int length)
{
    if (length <= 0) {
        return;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, NULL, 0, NULL, NULL);
    if (bytes <= 0) {
        return;
    }
    char *buffer = static_cast<char *>(malloc(bytes));
    if (buffer == NULL) {
        return;
    }
    WideCharToMultiByte(CP_UTF8, 0, text, length, buffer, bytes, NULL, NULL);
    DWORD written = 0;
    WriteFile(out, buffer, static_cast<DWORD>(bytes), &written, NULL);
    free(buffer);
}

// printf-style text to `file`, UTF-8 encoded.
static inline void HxWriteFormatted(HANDLE file, const wchar_t *format, va_list args)
{
    wchar_t line[4096];
    int length = _vsnwprintf(line, sizeof line / sizeof line[0] - 1, format, args);
    if (length < 0) {
        length = static_cast<int>(sizeof line / sizeof line[0] - 1);
    }
    line[length] = L'\0';
    HxWriteUtf8(file, line, length);
}

// printf-style output to stdout, UTF-8 encoded.
static inline void HxPrint(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    HxWriteFormatted(GetStdHandle(STD_OUTPUT_HANDLE), format, args);
    va_end(args);
}

// Decodes "x" followed by hex digits of UTF-8 bytes into a new UTF-16 string
// (free() it). Hex keeps blanks, quotes and empty strings intact through the
// Unix command line. Returns NULL for anything malformed.
static inline wchar_t *HxDecodeHex(const wchar_t *arg)
{
    if (arg[0] != L'x') {
        return NULL;
    }
    size_t digits = wcslen(arg + 1);
    if (digits % 2 != 0) {
        return NULL;
    }
    size_t count = digits / 2;
    char *bytes = static_cast<char *>(malloc(count + 1));
    if (bytes == NULL) {
        return NULL;
    }
    for (size_t i = 0; i < count; ++i) {
        wchar_t pair[3] = {arg[1 + 2 * i], arg[2 + 2 * i], L'\0'};
        wchar_t *end = NULL;
        unsigned long value = wcstoul(pair, &end, 16);
        if (end != pair + 2) {
            free(bytes);
            return NULL;
        }
        bytes[i] = static_cast<char>(value);
    }
    int chars = count == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), NULL, 0);
    wchar_t *text = static_cast<wchar_t *>(malloc((chars + 1) * sizeof(wchar_t)));
    if (text != NULL) {
        if (chars > 0) {
            MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), text, chars);
        }
        text[chars] = L'\0';
    }
    free(bytes);
    return text;
}

// Current value of the performance counter in milliseconds.
static inline double HxNowMs()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}
