// The contract tests' runner and the helpers the facts share. Built for the
// simulation (contract_sim [--counts FILE]) and for Windows (contract.exe:
// no argument runs the facts; "exit" ends at once and "sleep" sleeps a minute,
// the programs that arrange_win.cpp starts).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/contract/arrange.h"

namespace contract
{
namespace
{
struct Outcome {
    std::vector<std::string> failures;
    std::vector<std::string> notes;
    bool differenceShown = false;
};
Outcome *current = nullptr;
bool simulatedWine = false;

const char *Base(const char *file)
{
    const char *slash = strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

void Print(const char *tag, const Fact &fact, const std::vector<std::string> &lines)
{
    printf("%-5s %s  [%s]\n", tag, fact.name, fact.source);
    for (const auto &line : lines) {
        printf("        %s\n", line.c_str());
    }
}
} // namespace

std::vector<Fact> &Facts()
{
    static std::vector<Fact> facts;
    return facts;
}

bool UnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
#else
    return simulatedWine;
#endif
}

void Fail(const char *file, int line, const std::string &what)
{
    current->failures.push_back(std::string(Base(file)) + ":" + std::to_string(line) + ": " + what);
}

std::string ShowNumber(unsigned long long value)
{
    char text[48];
    snprintf(text, sizeof text, "%llu (0x%llx)", value, value);
    return text;
}

std::string ShowText(const std::wstring &text)
{
    std::string out = "\"";
    for (wchar_t c : text) {
        char escaped[12];
        snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\u%04x", static_cast<unsigned>(c));
        out += escaped;
    }
    return out + "\"";
}

bool SameText(const std::wstring &a, const std::wstring &b)
{
    auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 0x20) : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

void WineDiffers(bool windows, bool wine, const char *windowsText, const char *wineText, const char *file, int line)
{
    std::string both = std::string("Windows: ") + windowsText + "; Wine's known difference: " + wineText;
    if (!UnderWine()) {
        if (!windows) {
            Fail(file, line, std::string("does not hold: ") + windowsText);
        }
    } else if (windows) {
        Fail(file, line, "Wine now does what Windows does (" + both + "): make this an ordinary fact");
    } else if (!wine) {
        Fail(file, line, "Wine does neither (" + both + ")");
    } else {
        current->differenceShown = true;
        current->notes.push_back("KNOWN WINE DIFFERENCE, as expected: " + both);
    }
}

BOOL StartProcess(const std::wstring &path, const std::wstring &commandLine, PROCESS_INFORMATION *process,
                  DWORD session)
{
    HANDLE own = NULL, token = NULL;
    BOOL ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) &&
              DuplicateTokenEx(own, MAXIMUM_ALLOWED, NULL, SecurityIdentification, TokenPrimary, &token);
    if (ok && session != kOwnSession) {
        ok = SetTokenInformation(token, TokenSessionId, &session, sizeof session);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    WCHAR desktop[] = L"WinSta0\\Default";
    startup.lpDesktop = desktop;
    std::vector<WCHAR> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    ok = ok && CreateProcessAsUserW(token, path.c_str(), line.data(), NULL, NULL, FALSE,
                                    CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, process);
    for (HANDLE handle : {token, own}) {
        if (handle != NULL) {
            CloseHandle(handle);
        }
    }
    return ok;
}

std::vector<Listed> ListInterfaces(const std::wstring &instanceId, const GUID &interfaceClass, DWORD flags)
{
    std::vector<Listed> listed;
    HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, NULL, NULL, DIGCF_DEVICEINTERFACE | flags);
    if (set == INVALID_HANDLE_VALUE) {
        return listed;
    }
    // "\\?\" and the instance ID with "#" for "\", then "#".
    std::wstring device = instanceId;
    std::replace(device.begin(), device.end(), L'\\', L'#');
    device = L"\\\\?\\" + device + L"#";
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &interfaceClass, i, &iface); ++i) {
        std::vector<BYTE> buffer(4096);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, 4096, NULL, NULL)) {
            std::wstring path = detail->DevicePath;
            if (SameText(path.substr(0, device.size()), device)) {
                listed.push_back({path, iface.Flags});
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return listed;
}

namespace
{
int RunFacts(const char *countsFile)
{
#ifdef _WIN32
    const bool simulation = false;
#else
    const bool simulation = true;
#endif
    int ran = 0, differences = 0, failed = 0, simOnly = 0;
    // One order on both grounds: by file (one a DLL), then as written.
    std::stable_sort(Facts().begin(), Facts().end(),
                     [](const Fact &a, const Fact &b) { return strcmp(Base(a.file), Base(b.file)) < 0; });
    printf("contract facts on %s\n", simulation ? "the simulated Windows" : UnderWine() ? "Wine" : "Windows");
    for (const Fact &fact : Facts()) {
        if (!simulation && fact.reach == kSimOnly) {
            Print("SIM", fact, {"arranged through the simulation only: not run here"});
            ++simOnly;
            continue;
        }
        bool failedHere = false;
        // On the simulation, a kWineRules fact runs a second time under Wine's rules.
        for (int pass = 0; pass < (simulation && fact.reach == kWineRules ? 2 : 1); ++pass) {
            Outcome outcome;
            current = &outcome;
            simulatedWine = pass == 1;
            const bool wine = UnderWine();
            arrange::Fresh();
            if (simulatedWine) {
                arrange::WineRules();
                outcome.notes.push_back("the simulation under Wine's rules (sim::SetWineRules):");
            }
            fact.run();
            arrange::Cleanup();
            current = nullptr;
            simulatedWine = false;
            if (wine && fact.reach >= kWineDiffers && !outcome.differenceShown && outcome.failures.empty()) {
                outcome.failures.push_back("a known Wine difference that Wine did not show");
            }
            if (!outcome.failures.empty()) {
                failedHere = true;
                outcome.failures.insert(outcome.failures.end(), outcome.notes.begin(), outcome.notes.end());
                Print("FAIL", fact, outcome.failures);
            } else {
                differences += outcome.differenceShown && pass == 0 ? 1 : 0;
                Print(outcome.differenceShown ? "WINE" : "PASS", fact, outcome.notes);
            }
        }
        ++ran;
        failed += failedHere ? 1 : 0;
        fflush(stdout);
    }
    printf("contract summary: ran=%d wine_differences=%d failed=%d sim_only=%d\n", ran, differences, failed, simOnly);
    if (countsFile != nullptr) {
        if (FILE *counts = fopen(countsFile, "w")) {
            fprintf(counts, "%d\n", ran);
            fclose(counts);
        }
    }
    return failed == 0 ? 0 : 1;
}
} // namespace
} // namespace contract

#ifdef _WIN32
int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && wcscmp(argv[1], L"exit") == 0) {
        return 0;
    }
    if (argc > 1 && wcscmp(argv[1], L"sleep") == 0) {
        Sleep(60000);
        return 0;
    }
    return contract::RunFacts(nullptr);
}
#else
int main(int argc, char **argv)
{
    return contract::RunFacts(argc > 2 && strcmp(argv[1], "--counts") == 0 ? argv[2] : nullptr);
}
#endif
