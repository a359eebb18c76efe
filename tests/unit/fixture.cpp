#include "fixture.h"

namespace testing_support
{

std::vector<std::wstring> HardwareIdsOf(const std::wstring &instanceId)
{
    std::wstring specific = instanceId.substr(0, instanceId.rfind(L'\\'));
    std::wstring generic = specific.substr(0, specific.rfind(L'&'));
    return {specific, generic, L"PCI\\VEN_1412&DEV_1724", L"PCI\\VEN_1412&CC_040100"};
}

void AddCard(const std::wstring &instanceId, bool openFails)
{
    sim::DeviceSpec spec;
    spec.instanceId = instanceId;
    spec.hardwareIds = HardwareIdsOf(instanceId);
    spec.openFails = openFails;
    sim::AddDevice(spec);
}

void ResetProcessState()
{
    serviceStatusHandle = NULL;
    memset(&serviceStatus, 0, sizeof serviceStatus);
    checkPointCounter = 1;
    StopEvent = NULL;
    forceCloseMessage = 0;
    // A process that ended on a start-up failure path still held its list.
    if (CardList != NULL) {
        CardEntry *entry = CardList;
        while (entry != NULL) {
            CardEntry *next = entry->next;
            ::operator delete(entry);
            entry = next;
        }
        CardList = NULL;
    }
}

void SimTest::SetUp()
{
    sim::Reset();
    sim::SetEntryPoint(wmain);
    ResetProcessState();
}

void SimTest::TearDown()
{
    EXPECT_TRUE(sim::HangFaults().empty()) << sim::HangFaults().front();
    EXPECT_TRUE(sim::HandleFaults().empty()) << sim::HandleFaults().front();
    sim::Reset();
    ResetProcessState();
}

ServiceProcess::~ServiceProcess()
{
    if (thread_.joinable()) {
        if (!sim::DispatcherReturned()) {
            sim::SendControl(SERVICE_CONTROL_STOP);
        }
        thread_.join();
    }
}

void ServiceProcess::Start(const std::wstring &commandLine)
{
    thread_ = std::thread([this, commandLine] { exitCode = sim::RunMain(commandLine); });
}

bool ServiceProcess::StartRunning()
{
    Start();
    return sim::WaitForState(SERVICE_RUNNING);
}

DWORD ServiceProcess::Control(DWORD control, DWORD eventType, void *data)
{
    return sim::SendControl(control, eventType, data);
}

void ServiceProcess::Stop()
{
    sim::SendControl(SERVICE_CONTROL_STOP);
    Join();
}

void ServiceProcess::Join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<std::wstring> TextsOf(DWORD id)
{
    std::vector<std::wstring> out;
    for (const auto &record : sim::Events()) {
        if (record.id == id) {
            out.push_back(record.strings.size() > 1 ? record.strings[1] : L"");
        }
    }
    return out;
}

std::wstring Line(DWORD id, const std::wstring &text)
{
    wchar_t buffer[16];
    swprintf(buffer, 16, L"%08X:", id);
    return buffer + text;
}

std::vector<std::wstring> RecordLines()
{
    std::vector<std::wstring> out;
    for (const auto &record : sim::Events()) {
        out.push_back(Line(record.id, record.strings.size() > 1 ? record.strings[1] : L""));
    }
    return out;
}

} // namespace testing_support
