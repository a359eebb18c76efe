// Test support: a fresh simulated Windows and a fresh service process for every
// test, and a handle on a running service.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

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
const wchar_t kOtherDevice[] = L"PCI\\VEN_8086&DEV_2668&SUBSYS_00000000&REV_01\\3&11583659&0&D8";

// The hardware-ID list Windows reports for a device instance ID: the most
// specific ID (the instance ID without its instance part) first.
std::vector<std::wstring> HardwareIdsOf(const std::wstring &instanceId);
void AddCard(const std::wstring &instanceId, bool openFails = false);

// The process-wide records of the service as a fresh process has them.
void ResetProcessState();

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

// The %2 texts of the records with `id`, in order.
std::vector<std::wstring> TextsOf(DWORD id);
// Records as "ID:text" lines, for comparing whole sequences.
std::vector<std::wstring> RecordLines();
std::wstring Line(DWORD id, const std::wstring &text);

} // namespace testing_support
