// Contract tests: each fact is one behaviour of Windows that the service relies
// on, named after it, with its source (a Win32 documentation page, or a Wine
// conformance test whose ok() states what Windows does). The same facts run on
// the simulated Windows (contract_sim) and, built for Windows (contract.exe),
// under Wine, so the simulation is pinned to Windows and Wine is checked to
// still be what the end-to-end tests take it for.
//
// A fact is written against the Windows API as the service uses it; what a
// fact needs on the machine comes from the arrange layer (arrange.h), which
// builds it through the simulation's interface or through Windows calls.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#ifndef UNICODE
#define UNICODE
#endif
#define STRSAFE_NO_DEPRECATE
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <shlobj.h>
#include <wtsapi32.h>
#include <ks.h>
#include <ksmedia.h>
#include <strsafe.h>
#else
#include "winsim/winapi.h"
const GUID KSCATEGORY_RENDER = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID KSCATEGORY_TOPOLOGY = {0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}};
#endif

namespace contract
{

// Where a fact runs. Every fact runs on the simulation; the others run under
// Wine too. A kWineDiffers fact states both Windows' behaviour and the one Wine
// is known to show instead (WINE_DIFFERS); a kWineRules fact is one whose Wine
// behaviour the simulation models as well (sim::SetWineRules), and it also
// runs on the simulation under those rules, expecting Wine's.
//
// kAssumed is not a fact: it is one of the simulation's modelled assumptions
// (ASSUMED), a behaviour no source settles, where the simulation takes the
// harsher side so that the service is made to work either way. Its check
// pins the simulation to it and runs there only; `source` says what is
// assumed and why that side.
enum Reach { kSimOnly, kAlsoWine, kWineDiffers, kWineRules, kAssumed };

struct Fact {
    const char *name;
    Reach reach;
    const char *source;
    void (*run)();
    const char *file;
};
std::vector<Fact> &Facts();
struct Registration {
    explicit Registration(const Fact &fact) { Facts().push_back(fact); }
};

// True while the facts run under Wine (or the simulation under its rules).
bool UnderWine();
// True when the machine was prepared for the facts (the simulation, and the
// prefix run_wine.py prepares): there everything but the simulation-only
// facts must be arranged.
bool Prepared();

// Ends a fact whose machine cannot be arranged here (on a machine nobody
// prepared): it is reported as not applicable, with `reason`, never as
// passed. Where the machine was prepared, it fails the fact.
struct NotApplicable {
    std::string reason;
};
[[noreturn]] void NotApplicableHere(const std::string &reason);
// A line printed under the fact's result (e.g. which device it used).
void Note(const std::string &text);

void Fail(const char *file, int line, const std::string &what);
std::string ShowNumber(unsigned long long value);
std::string ShowText(const std::wstring &text);
// A value as a failure message gives it: numbers in decimal and hex, texts
// quoted.
template <typename T> std::string Show(const T &value)
{
    if constexpr (std::is_same<T, std::wstring>::value) {
        return ShowText(value);
    } else if constexpr (std::is_convertible<T, const wchar_t *>::value) {
        const wchar_t *text = value;
        return text == nullptr ? "NULL" : ShowText(text);
    } else if constexpr (std::is_pointer<T>::value) {
        return ShowNumber(reinterpret_cast<uintptr_t>(value));
    } else {
        return ShowNumber(static_cast<unsigned long long>(value));
    }
}

template <typename A, typename E>
bool CheckEqual(const A &actual, const E &expected, const char *text, const char *file, int line)
{
    if (actual == expected) {
        return true;
    }
    Fail(file, line, std::string(text) + ": got " + Show(actual) + ", Windows gives " + Show(expected));
    return false;
}

// Where Wine is known to differ: `windows` holds on Windows (and the
// simulation), `wine` is what Wine shows instead. Under Wine the difference is
// reported; Wine behaving like Windows, or like neither, fails the fact.
void WineDiffers(bool windows, bool wine, const char *windowsText, const char *wineText, const char *file, int line);

// Equal but for the case of ASCII letters.
bool SameText(const std::wstring &a, const std::wstring &b);
// With ASCII letters in lower case.
std::wstring LowerText(std::wstring text);

// Starts `path` with `commandLine` as CreateProcessAsUserW does for the
// service: a primary token duplicated from the process's own, moved to
// `session` unless it is kOwnSession.
constexpr DWORD kOwnSession = 0xFFFFFFFE;
BOOL StartProcess(const std::wstring &path, const std::wstring &commandLine, PROCESS_INFORMATION *process,
                  DWORD session = kOwnSession);

// The device interfaces of `instanceId` in `interfaceClass` that
// SetupDiGetClassDevsW lists with `flags`, in listing order.
struct Listed {
    std::wstring path;
    DWORD flags;
};
std::vector<Listed> ListInterfaces(const std::wstring &instanceId, const GUID &interfaceClass, DWORD flags);

} // namespace contract

#define FACT(name, reach, source)                                                                                      \
    static void name();                                                                                                \
    static const contract::Registration name##Registration({#name, contract::reach, source, name, __FILE__});          \
    static void name()

#define ASSUMED(name, why) FACT(name, kAssumed, why)

#define CHECK(condition) ((condition) ? true : (contract::Fail(__FILE__, __LINE__, #condition), false))
#define CHECK_EQ(actual, expected) contract::CheckEqual((actual), (expected), #actual, __FILE__, __LINE__)
// Ends the fact when a precondition does not hold.
#define REQUIRE(condition)                                                                                             \
    if (!CHECK(condition))                                                                                             \
    return
#define WINE_DIFFERS(windows, wine) contract::WineDiffers((windows), (wine), #windows, #wine, __FILE__, __LINE__)
