// The C runtime and strsafe.
#include "tests/contract/arrange.h"

// strcat_s, wcscat_s page: it "appends strSource to strDestination and
// terminates the resulting string", and returns zero if successful.
FACT(WcscatSAppendsWhatFits, kAlsoWine, "strcat_s, wcscat_s, _mbscat_s page")
{
    WCHAR destination[8] = L"abc";
    CHECK_EQ(wcscat_s(destination, 8, L"defg"), 0);
    CHECK_EQ(std::wstring(destination), std::wstring(L"abcdefg"));
}

// The same page on a destination too small: the invalid-parameter handler is
// invoked first (its default ends the process); once a handler of the
// program's own returns, the Error conditions table gives ERANGE and
// strDestination[0] set to 0, while the Remarks give EINVAL.
ASSUMED(WcscatSOnAShortBufferEmptiesItAndReturnsErange,
        "wcscat_s on a destination too small empties it and returns ERANGE, without the invalid-parameter handler "
        "Windows runs first (its default ends the process): the service checks the length first, and its tests "
        "hold that a tail that does not fit never reaches wcscat_s")
{
    WCHAR destination[8] = L"abcdefg";
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
