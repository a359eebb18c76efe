// The C runtime and strsafe.
#include "tests/contract/arrange.h"

// strcat_s, wcscat_s page, Error conditions: numberOfElements "0, or too
// small": ERANGE, "strDestination[0] set to 0".
FACT(WcscatSTooSmallEmptiesTheDestinationAndReturnsErange, kAlsoWine, "strcat_s, wcscat_s, _mbscat_s page")
{
    WCHAR destination[8] = L"abc";
    CHECK_EQ(wcscat_s(destination, 8, L"defg"), 0);
    CHECK_EQ(std::wstring(destination), std::wstring(L"abcdefg"));
    CHECK_EQ(wcscat_s(destination, 8, L"h"), ERANGE);
    CHECK_EQ(destination[0], L'\0');
}

// StringCchPrintfW page: STRSAFE_E_INSUFFICIENT_BUFFER "The copy operation
// failed due to insufficient buffer space. The destination buffer contains a
// truncated, null-terminated version of the intended result."
FACT(StringCchPrintfCutsAndReportsInsufficientBuffer, kAlsoWine, "StringCchPrintfW page, Return value")
{
    WCHAR destination[6];
    CHECK_EQ(StringCchPrintfW(destination, 6, L"%s", L"abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    CHECK_EQ(std::wstring(destination), std::wstring(L"abcde"));
    CHECK_EQ(StringCchPrintfW(destination, 6, L"%s", L"abc"), S_OK);
    CHECK_EQ(std::wstring(destination), std::wstring(L"abc"));
}
