// Text rules shared by the whole service: only the ASCII letters A to Z are
// folded, no locale is ever consulted.
#pragma once

#include "platform/platform.h"

inline WCHAR FoldAscii(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c + 0x20) : c;
}

// Compares at most `count` characters of `text` and `pattern`, folding ASCII
// case on both sides; stops at the first pair that differs or after a pair in
// which `text` ends. True when the last pair compared is equal.
inline bool AsciiPrefixEquals(LPCWSTR text, LPCWSTR pattern, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(pattern[i])) {
            return false;
        }
        if (text[i] == L'\0') {
            return true;
        }
    }
    return true;
}
