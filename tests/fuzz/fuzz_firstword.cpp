// Fuzz target: a process command line, the first word the C runtime builds from
// it, and the mode that word selects, checked both by the mode test alone and
// by running the entry point on the simulated Windows.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "eventlog/messages.h"
#include "service/service.h"
#include "winsim/sim.h"

int wmain(int argc, wchar_t **argv, wchar_t **envp);

namespace
{

void Fail(const char *what)
{
    fprintf(stderr, "%s\n", what);
    abort();
}

bool HelperWord(const std::wstring &word)
{
    const wchar_t pci[] = L"pci";
    if (word.size() < 3) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        wchar_t c = word[i];
        c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 0x20) : c;
        if (c != pci[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // UTF-16 code units, as Windows passes them; a command line holds no NUL.
    std::wstring line;
    for (size_t i = 0; i + 1 < size; i += 2) {
        wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (c == L'\0') {
            break;
        }
        line += c;
    }
    const std::wstring modulePath = L"C:\\Program Files\\HexlornS\\HexlornS.exe";
    std::wstring word = sim::FirstWord(line, modulePath);
    if (word.find(L'"') != std::wstring::npos) {
        Fail("a quote is left in the first word");
    }
    if (!line.empty() && (line[0] == L' ' || line[0] == L'\t') && !word.empty()) {
        Fail("a line that begins with a blank gave a first word");
    }
    bool helper = IsForceCloseWord(word.c_str());
    if (helper != HelperWord(word)) {
        Fail("IsForceCloseWord differs from the three-letter rule");
    }

    // The whole entry point, in a process the service control manager did not
    // start: service mode fails to reach the dispatcher and says so once;
    // helper mode walks (here: no window station) and reports nothing.
    sim::Reset();
    sim::SetEntryPoint(wmain);
    sim::SetModulePath(modulePath);
    int code = sim::RunMain(line);
    if (code != 0) {
        Fail("the entry point returned non-zero");
    }
    auto texts = sim::EventTexts();
    if (helper) {
        if (!texts.empty() || sim::CallCount("EnumWindowStationsW") != 1 ||
            sim::CallCount("StartServiceCtrlDispatcherW") != 0) {
            Fail("helper mode did not walk, or did something else");
        }
    } else if (texts.size() != 1 || texts[0] != L"StartServiceCtrlDispatcher" ||
               sim::CallCount("EnumWindowStationsW") != 0) {
        Fail("service mode did not end with the one dispatcher record");
    }
    return 0;
}
