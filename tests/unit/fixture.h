// Test support: a fresh simulated Windows and a fresh service process for every
// test, a handle on a running service, and the readings of the call log, the
// process starts, the open handles and the card list that the tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

const wchar_t kServicePath[] = L"C:\\Program Files\\HexlornS\\HexlornS.exe";
const wchar_t kCardA[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0";
const wchar_t kCardB[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_01\\4&2B3C4D5E&0&00E8";
const wchar_t kCardC[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&3C4D5E6F&0&00F0";
const wchar_t kOtherDevice[] = L"PCI\\VEN_8086&DEV_2668&SUBSYS_00000000&REV_01\\3&11583659&0&D8";

// The hardware-ID list Windows reports for a device instance ID: the most
// specific ID (the instance ID without its instance part) first.
std::vector<std::wstring> HardwareIdsOf(const std::wstring &instanceId);
// A present device with one audio interface and its hardware IDs, for the
// caller to change before sim::AddDevice.
sim::DeviceSpec DeviceSpecOf(const std::wstring &instanceId);
void AddCard(const std::wstring &instanceId, bool openFails = false);

// The process-wide records of the service as a fresh process has them.
void ResetProcessState();
// A fresh simulated Windows running wmain, and a fresh service process.
void ResetSimAndProcess();

class SimTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
};

// The service process: wmain on a thread of its own, which the dispatcher keeps
// as the main thread.
class ServiceProcess
{
  public:
    ~ServiceProcess();
    void Start(const std::wstring &commandLine = kServicePath);
    bool StartRunning(); // starts and waits for SERVICE_RUNNING
    DWORD Control(DWORD control, DWORD eventType = 0, void *data = nullptr);
    void Stop(); // sends stop and waits for the process to end
    void Join();
    int exitCode = -1;

  private:
    std::thread thread_;
};

// A SimTest with a service process of its own, stopped before the simulation
// is reset.
class ServiceProcessTest : public SimTest
{
  protected:
    void TearDown() override;
    ServiceProcess service_;
};

// The service started, after session 1 on the console and card A present, or
// after sessions 1 and 2 with the console on 1 and cards A and B present; false
// when it never reported running.
bool StartOneSessionWithCardA(ServiceProcess &service);
bool StartTwoSessionsWithCardsAB(ServiceProcess &service);

// The %2 texts of the records with `id`, in order.
std::vector<std::wstring> TextsOf(DWORD id);
// Records as "ID:text" lines, for comparing whole sequences.
std::vector<std::wstring> RecordLines();
std::wstring Line(DWORD id, const std::wstring &text);

// Values and text as the call log writes them: "0x" and lower-case hex digits;
// printable ASCII as it is and anything else as \uXXXX.
std::string HexOf(uintptr_t value);
std::string HexOf(const void *value);
using sim::Ascii;

// What a listed entry holds, read under the list lock, in list order.
struct EntryView {
    std::wstring id;
    HANDLE deviceHandle;
    HDEVNOTIFY notifyHandle;
    DWORD closed;
};
std::vector<EntryView> ListedCards();

// Process starts, in order: of `application`; of the force-close helper (the
// service's own executable); of the companion for the card `id`.
std::vector<sim::ProcessStart> StartsOf(const std::wstring &application);
std::vector<sim::ProcessStart> HelperStarts();
std::vector<sim::ProcessStart> CompanionStarts(const std::wstring &id);

// Positions in the call log, at or after `from`, of the service process's own
// calls of `function` (of any function when empty) whose arguments contain
// `argsPart`.
std::vector<size_t> ServiceCalls(const std::string &function, size_t from = 0, const std::string &argsPart = "");
// The service process's own calls, in order, at or after `from`.
std::vector<sim::Call> ServiceCallsFrom(size_t from);
// Positions, at or after `from`, of the service's helper starts for card `id`.
std::vector<size_t> HelperStartsFor(const std::wstring &id, size_t from);

// The kinds of the handles still open, counted.
std::map<sim::Kind, size_t> OpenKinds();

} // namespace testing_support
