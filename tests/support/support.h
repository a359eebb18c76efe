// What every test of the service on the simulated Windows shares: the
// service's own details on the machine (its path, its name, its companion),
// the cards, one way to run the service process and wait for it, and the
// readings of the records, process starts, calls and card list.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cards/cards.h"
#include "eventlog/messages.h"
#include "forceclose/walk.h"
#include "service/service.h"
#include "sessions/sessions.h"
#include "winsim/sim.h"

int wmain(int argc, wchar_t **argv, wchar_t **envp);

namespace testing_support
{

const wchar_t kServiceName[] = L"HexlornS";
const wchar_t kServicePath[] = L"C:\\Program Files\\HexlornS\\HexlornS.exe";
const wchar_t kCompanionPath[] = L"C:\\Program Files\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe";
const wchar_t kCardA[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0";
const wchar_t kCardB[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_01\\4&2B3C4D5E&0&00E8";
const wchar_t kCardC[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&3C4D5E6F&0&00F0";
const wchar_t kOtherDevice[] = L"PCI\\VEN_8086&DEV_2668&SUBSYS_00000000&REV_01\\3&11583659&0&D8";
// The sessions of the default machine: the services' session, the console's
// (where a logged-on user's companion runs) and the Remote Desktop listener.
constexpr DWORD kServicesSession = 0;
constexpr DWORD kConsoleSession = 1;
constexpr DWORD kListenerSession = 65536;

// The process-wide records of the service as a fresh process has them.
void ResetProcessState();
// A fresh machine with the service installed (its executable, the service
// name the manager starts it as) and the companion at its path, and a fresh
// service process.
void FreshMachine();

// The hardware-ID list Windows reports for a device instance ID: the most
// specific ID (the instance ID without its instance part) first.
std::vector<std::wstring> HardwareIdsOf(const std::wstring &instanceId);
// A present device with an audio card's interfaces and its hardware IDs, for
// the caller to change before sim::AddDevice.
sim::DeviceSpec DeviceSpecOf(const std::wstring &instanceId);
void AddCard(const std::wstring &instanceId, bool openFails = false);

// The service process: wmain on a thread of its own, which the dispatcher
// keeps as the main thread. Every wait is bounded.
class ServiceProcess
{
  public:
    ~ServiceProcess();
    void Start(const std::wstring &commandLine = kServicePath);
    // Waits until start-up has ended: true when the service reported running
    // and waits for a stop, false when it stopped (or never got that far).
    bool StartedUp();
    bool StartRunning(); // Start, then StartedUp
    DWORD Control(DWORD control, DWORD eventType = 0, void *data = nullptr, bool gate = false);
    // Sends stop (unless it was sent or the service has stopped) and waits for
    // the process to end; false when it did not end within the bound.
    bool Stop(bool gate = false);
    bool Join();
    int exitCode = -1;

  private:
    std::thread thread_;
    // Set when the entry point has returned: at once when the dispatcher
    // could not be started, which no status report or dispatcher return tells.
    std::atomic<bool> ended_{false};
};

// The %2 texts of the records with `id`, in order.
std::vector<std::wstring> TextsOf(DWORD id);
// Records as "ID:text" lines, for comparing whole sequences.
std::vector<std::wstring> RecordLines();
std::wstring Line(DWORD id, const std::wstring &text);

// What a listed entry holds, read under the list lock, in list order.
struct EntryView {
    std::wstring id;
    HANDLE deviceHandle;
    HDEVNOTIFY notifyHandle;
    DWORD closed;
};
std::vector<EntryView> ListedCards();
// The handle the card's interface was last opened with (null when never).
HANDLE LastHandleOf(const std::wstring &id);

// Process starts, in order: of `application`; of the force-close helper (the
// service's own executable); of the companion for the card `id`.
std::vector<sim::ProcessStart> StartsOf(const std::wstring &application);
std::vector<sim::ProcessStart> HelperStarts();
std::vector<sim::ProcessStart> CompanionStarts(const std::wstring &id);

// Positions in the call log, at or after `from`, of the service process's own
// calls of `function` (of any function when empty) for which `match` holds.
std::vector<size_t> ServiceCalls(const std::string &function, size_t from = 0,
                                 const std::function<bool(const sim::Call &)> &match = nullptr);
// Position of the service's first call of `function` at or after `from` for
// which `match` holds; npos when none.
size_t ServiceCall(const std::string &function, size_t from = 0,
                   const std::function<bool(const sim::Call &)> &match = nullptr);
// Matchers: the call's argument `name` equals `value`.
std::function<bool(const sim::Call &)> With(const char *name, const sim::Value &value);
// The position of the record with `id` and text `text` being written.
size_t RecordCall(DWORD id, const std::wstring &text, size_t from = 0);
// Positions, at or after `from`, of the service's helper starts for card `id`.
std::vector<size_t> HelperStartsFor(const std::wstring &id, size_t from = 0);

// The lives of the helpers the service started (its own executable), in the
// order of their starts.
std::vector<sim::ProcessLife> HelperLives();
// Never two helpers at once: each is created only once the one before it is
// gone (an ended helper counts until its handle is signalled, one that could
// not be ended for ever). Empty when that holds, else what broke it.
std::string HelpersOverlap();

// The kinds of the handles still open, counted.
std::map<sim::Kind, size_t> OpenKinds();

} // namespace testing_support
