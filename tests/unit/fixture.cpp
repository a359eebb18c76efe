#include "fixture.h"

namespace testing_support
{

std::vector<std::wstring> HardwareIdsOf(const std::wstring &instanceId)
{
    std::wstring specific = instanceId.substr(0, instanceId.rfind(L'\\'));
    std::wstring generic = specific.substr(0, specific.rfind(L'&'));
    return {specific, generic, L"PCI\\VEN_1412&DEV_1724", L"PCI\\VEN_1412&CC_040100"};
}

sim::DeviceSpec DeviceSpecOf(const std::wstring &instanceId)
{
    sim::DeviceSpec spec;
    spec.instanceId = instanceId;
    spec.hardwareIds = HardwareIdsOf(instanceId);
    return spec;
}

void AddCard(const std::wstring &instanceId, bool openFails)
{
    sim::DeviceSpec spec = DeviceSpecOf(instanceId);
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

void ResetSimAndProcess()
{
    sim::Reset();
    sim::SetEntryPoint(wmain);
    ResetProcessState();
}

void SimTest::SetUp()
{
    ResetSimAndProcess();
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

void ServiceProcessTest::TearDown()
{
    service_.Stop(); // before the simulation is reset
    SimTest::TearDown();
}

bool StartOneSessionWithCardA(ServiceProcess &service)
{
    sim::AddSession(1);
    sim::SetConsoleSession(1);
    AddCard(kCardA);
    return service.StartRunning();
}

bool StartTwoSessionsWithCardsAB(ServiceProcess &service)
{
    sim::AddSession(1);
    sim::AddSession(2);
    sim::SetConsoleSession(1);
    AddCard(kCardA);
    AddCard(kCardB);
    return service.StartRunning();
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

std::string HexOf(uintptr_t value)
{
    char buffer[24];
    snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::string HexOf(const void *value)
{
    return HexOf(reinterpret_cast<uintptr_t>(value));
}

std::vector<EntryView> ListedCards()
{
    std::vector<EntryView> out;
    AcquireSRWLockExclusive(&cardListLock);
    for (CardEntry *entry = CardList ? CardList->next : nullptr; entry != nullptr; entry = entry->next) {
        out.push_back({entry->instanceId, entry->deviceHandle, entry->notifyHandle, entry->closed});
    }
    ReleaseSRWLockExclusive(&cardListLock);
    return out;
}

std::vector<sim::ProcessStart> StartsOf(const std::wstring &application)
{
    std::vector<sim::ProcessStart> out;
    for (const auto &start : sim::ProcessStarts()) {
        if (start.application == application) {
            out.push_back(start);
        }
    }
    return out;
}

std::vector<sim::ProcessStart> HelperStarts()
{
    return StartsOf(sim::ModulePath());
}

std::vector<sim::ProcessStart> CompanionStarts(const std::wstring &id)
{
    std::vector<sim::ProcessStart> out;
    for (const auto &start : StartsOf(sim::CompanionPath())) {
        if (start.commandLine == id) {
            out.push_back(start);
        }
    }
    return out;
}

namespace
{

// ServiceCalls over one snapshot of the call log.
std::vector<size_t> ServiceCallsIn(const std::vector<sim::Call> &calls, const std::string &function, size_t from,
                                   const std::string &argsPart)
{
    std::vector<size_t> out;
    for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i].process == sim::kServiceProcess && (function.empty() || calls[i].function == function) &&
            calls[i].args.find(argsPart) != std::string::npos) {
            out.push_back(i);
        }
    }
    return out;
}

} // namespace

std::vector<size_t> ServiceCalls(const std::string &function, size_t from, const std::string &argsPart)
{
    return ServiceCallsIn(sim::Calls(), function, from, argsPart);
}

std::vector<sim::Call> ServiceCallsFrom(size_t from)
{
    std::vector<sim::Call> out;
    auto calls = sim::Calls();
    for (size_t i : ServiceCallsIn(calls, "", from, "")) {
        out.push_back(calls[i]);
    }
    return out;
}

std::vector<size_t> HelperStartsFor(const std::wstring &id, size_t from)
{
    return ServiceCalls("CreateProcessAsUserW", from, "\"" + Ascii(sim::ModulePath()) + "\", \"" + Ascii(id) + "\"");
}

std::map<sim::Kind, size_t> OpenKinds()
{
    std::map<sim::Kind, size_t> out;
    for (const auto &handle : sim::OpenHandles()) {
        ++out[handle.kind];
    }
    return out;
}

} // namespace testing_support
