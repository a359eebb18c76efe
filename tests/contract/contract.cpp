// The contract tests' runner and the helpers the facts share. Built for the
// simulation (contract_sim [--counts FILE]: the facts' count and the
// assumptions' count, then one line per assumption) and for Windows
// (contract.exe: no argument runs the facts on a machine as it is,
// "prepared" in the prefix run_wine.py prepares; "exit" ends at once, "sleep"
// sleeps a minute and "window" keeps a window, the programs that
// arrange_win.cpp starts). Each fact ends passed, failed or not applicable
// (with the reason), and the last line sums them up.
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
bool prepared = false;
#ifdef _WIN32
const bool simulation = false;
#else
const bool simulation = true;
#endif

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

bool Prepared()
{
    return prepared;
}

void NotApplicableHere(const std::string &reason)
{
    throw NotApplicable{reason};
}

void Note(const std::string &text)
{
    current->notes.push_back(text);
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

std::wstring LowerText(std::wstring text)
{
    for (auto &c : text) {
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 0x20) : c;
    }
    return text;
}

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return LowerText(a) == LowerText(b);
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
// Runs one pass of a fact: its result, or the reason it is not applicable here.
Outcome RunOnce(const Fact &fact, bool wineRules, std::string *notApplicable)
{
    Outcome outcome;
    current = &outcome;
    simulatedWine = wineRules;
    try {
        arrange::Fresh();
        if (wineRules) {
            arrange::WineRules();
            outcome.notes.push_back("the simulation under Wine's rules (sim::SetWineRules):");
        }
        fact.run();
    } catch (const NotApplicable &skipped) {
        *notApplicable = skipped.reason;
    }
    arrange::Cleanup();
    if (UnderWine() && fact.reach >= kWineDiffers && fact.reach != kAssumed && !outcome.differenceShown &&
        outcome.failures.empty() && notApplicable->empty()) {
        outcome.failures.push_back("a known Wine difference that Wine did not show");
    }
    // Where the machine was prepared, all but the simulation-only facts are
    // arranged; on the simulation, all of them.
    if (!notApplicable->empty() && prepared && (simulation || fact.reach != kSimOnly)) {
        outcome.failures.push_back("not arranged on a prepared machine: " + *notApplicable);
        notApplicable->clear();
    }
    current = nullptr;
    simulatedWine = false;
    return outcome;
}

int RunFacts(const char *countsFile)
{
    int ran = 0, passed = 0, failed = 0, notApplicable = 0, differences = 0, assumed = 0;
    std::string assumptions;
    // One order on both grounds: by file (one a DLL), then as written.
    std::stable_sort(Facts().begin(), Facts().end(),
                     [](const Fact &a, const Fact &b) { return strcmp(Base(a.file), Base(b.file)) < 0; });
    const char *ground = simulation ? "the simulated Windows" : UnderWine() ? "Wine" : "Windows";
    printf("contract facts on %s%s\n", ground, simulation ? "" : prepared ? ", prepared for them" : ", as it is");
    for (const Fact &fact : Facts()) {
        if (fact.reach == kAssumed) {
            ++assumed;
            assumptions += std::string(fact.name) + ": " + fact.source + "\n";
            if (!simulation) {
                Print("MODEL", fact, {"the simulation's modelled assumption, not a fact of Windows: not run here"});
                continue;
            }
        }
        bool failedHere = false;
        std::string reason;
        // On the simulation, a kWineRules fact runs a second time under Wine's rules.
        for (int pass = 0; pass < (simulation && fact.reach == kWineRules ? 2 : 1) && reason.empty(); ++pass) {
            Outcome outcome = RunOnce(fact, pass == 1, &reason);
            if (!outcome.failures.empty()) {
                failedHere = true;
                outcome.failures.insert(outcome.failures.end(), outcome.notes.begin(), outcome.notes.end());
                Print("FAIL", fact, outcome.failures);
            } else if (!reason.empty()) {
                outcome.notes.push_back("NOT APPLICABLE here: " + reason);
                Print("N/A", fact, outcome.notes);
            } else {
                differences += outcome.differenceShown && pass == 0 ? 1 : 0;
                Print(outcome.differenceShown  ? "WINE"
                      : fact.reach == kAssumed ? "MODEL"
                                               : "PASS",
                      fact, outcome.notes);
            }
        }
        fflush(stdout);
        failed += failedHere ? 1 : 0;
        if (fact.reach != kAssumed) {
            notApplicable += !reason.empty() && !failedHere ? 1 : 0;
            ran += reason.empty() || failedHere ? 1 : 0;
            passed += reason.empty() && !failedHere ? 1 : 0;
        }
    }
    printf("contract summary: ran=%d passed=%d failed=%d not_applicable=%d wine_differences=%d assumed=%d\n", ran,
           passed, failed, notApplicable, differences, assumed);
    if (countsFile != nullptr) {
        if (FILE *counts = fopen(countsFile, "w")) {
            fprintf(counts, "%d %d\n%s", ran, assumed, assumptions.c_str());
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
    if (argc > 2 && wcscmp(argv[1], L"window") == 0) {
        return arrange::WindowProgram(argv[2]);
    }
    // "prepared": run_wine.py prepared the prefix for the facts.
    contract::prepared = argc > 1 && wcscmp(argv[1], L"prepared") == 0;
    return contract::RunFacts(nullptr);
}
#else
int main(int argc, char **argv)
{
    contract::prepared = true;
    return contract::RunFacts(argc > 2 && strcmp(argv[1], "--counts") == 0 ? argv[2] : nullptr);
}
#endif
