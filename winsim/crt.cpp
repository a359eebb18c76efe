// The C runtime and the SDK's safe-string header: the start-up that builds
// argv[0] and calls the wide entry point, wcscat_s and StringCchPrintfW.
//
// Models: argv[0] taken from the process command line (an empty one replaced
// by the module path) up to the first blank or tab outside double quotes,
// quotes removed and backslashes kept; wcscat_s failing with EINVAL or ERANGE
// and an emptied destination; StringCchPrintfW with "%s" of a wide string,
// cut to the buffer and STRSAFE_E_INSUFFICIENT_BUFFER.
// Leaves out: argv beyond argv[0], the environment, formats other than %s.
#include <cstdarg>

#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

namespace sim
{

std::wstring FirstWord(const std::wstring &commandLine, const std::wstring &modulePath)
{
    const std::wstring &line = commandLine.empty() ? modulePath : commandLine;
    std::wstring word;
    bool quoted = false;
    for (wchar_t c : line) {
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        } else {
            word += c;
        }
    }
    return word;
}

int RunMain(const std::wstring &commandLine, DWORD process)
{
    std::wstring word;
    {
        std::lock_guard<std::mutex> lock(mu);
        BindThread(process);
        ProgramEntered(process);
        word = FirstWord(commandLine, machine->modulePath);
    }
    std::vector<wchar_t> storage(word.begin(), word.end());
    storage.push_back(L'\0');
    wchar_t *argv[] = {storage.data(), nullptr};
    wchar_t *envp[] = {nullptr};
    int code = entryPoint(1, argv, envp);
    std::lock_guard<std::mutex> lock(mu);
    ProgramLeft();
    return code;
}

} // namespace sim

errno_t wcscat_s(wchar_t *destination, rsize_t size, const wchar_t *source)
{
    Entry e("wcscat_s", {{"numberOfElements", Number(size)}, {"strSource", Text(source)}});
    if (destination == nullptr || size == 0) {
        return EINVAL;
    }
    size_t length = 0;
    while (length < size && destination[length] != L'\0') {
        ++length;
    }
    if (source == nullptr || length == size) {
        destination[0] = L'\0';
        return EINVAL;
    }
    size_t add = wcslen(source);
    if (length + add + 1 > size) {
        destination[0] = L'\0';
        return ERANGE;
    }
    wmemcpy(destination + length, source, add + 1);
    return 0;
}

HRESULT StringCchPrintfW(LPWSTR destination, size_t cchDest, LPCWSTR format, ...)
{
    {
        Entry e("StringCchPrintfW", {{"cchDest", Number(cchDest)}, {"pszFormat", Text(format)}});
    }
    if (cchDest == 0 || cchDest > 2147483647u) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    // In a wide format, %s takes a wide string.
    std::wstring out;
    va_list args;
    va_start(args, format);
    for (const wchar_t *p = format; *p != L'\0'; ++p) {
        if (*p == L'%' && (p[1] == L's' || p[1] == L'%')) {
            const wchar_t *text = p[1] == L's' ? va_arg(args, const wchar_t *) : L"%";
            out += text == nullptr ? L"(null)" : text;
            ++p;
        } else {
            out += *p;
        }
    }
    va_end(args);
    size_t copied = std::min(out.size(), cchDest - 1);
    wmemcpy(destination, out.data(), copied);
    destination[copied] = L'\0';
    return copied < out.size() ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}
