#include "support.h"

namespace testing_support
{

namespace
{
// The process-wide records as the program itself initialises them, read
// before any test has run it: a fresh process starts from these, so a wrong
// initial value in the program shows in every test.
const SERVICE_STATUS_HANDLE initialStatusHandle = serviceStatusHandle;
const SERVICE_STATUS initialStatus = serviceStatus;
const DWORD initialCheckPoint = checkPointCounter;
const HANDLE initialStopEvent = StopEvent;
const ULONGLONG initialStopDeadline = stopDeadline;
const UINT initialForceCloseMessage = forceCloseMessage;
const HANDLE initialUnendedHelper = unendedHelper;
} // namespace

void ResetProcessState()
{
    serviceStatusHandle = initialStatusHandle;
    serviceStatus = initialStatus;
    checkPointCounter = initialCheckPoint;
    StopEvent = initialStopEvent;
    stopDeadline = initialStopDeadline;
    forceCloseMessage = initialForceCloseMessage;
    unendedHelper = initialUnendedHelper;
    // A process that ended on a start-up failure path still held its list.
    while (CardList != NULL) {
        CardEntry *next = CardList->next;
        ::operator delete(CardList);
        CardList = next;
    }
}

void FreshMachine()
{
    sim::Reset();
    sim::SetEntryPoint(wmain);
    sim::SetServiceName(kServiceName);
    sim::SetModulePath(kServicePath);
    sim::InstallProgram(kServicePath, sim::Program::EntryPoint);
    sim::InstallProgram(kCompanionPath, sim::Program::Companion);
    ResetProcessState();
}

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

// ---------------------------------------------------------------------------

ServiceProcess::~ServiceProcess()
{
    Stop();
}

void ServiceProcess::Start(const std::wstring &commandLine)
{
    ended_ = false;
    thread_ = std::thread([this, commandLine] {
        exitCode = sim::RunMain(commandLine);
        ended_ = true;
    });
}

bool ServiceProcess::StartedUp()
{
    sim::WaitUntil([this] {
        auto reports = sim::StatusReports();
        return ended_ || sim::DispatcherReturned() ||
               (!reports.empty() &&
                (reports.back().dwCurrentState == SERVICE_RUNNING || reports.back().dwCurrentState == SERVICE_STOPPED));
    });
    if (!sim::WaitForState(SERVICE_RUNNING, 0)) {
        return false;
    }
    // The running report may still be on its way out of the service thread
    // (another thread's report set meanwhile goes out with it): started up
    // means the service thread has come to its wait for the stop.
    return sim::WaitUntil([] {
        return ServiceCall("WaitForSingleObject", 0, With("dwMilliseconds", sim::Timeout(INFINITE))) !=
               std::string::npos;
    });
}

bool ServiceProcess::StartRunning()
{
    Start();
    return StartedUp();
}

DWORD ServiceProcess::Control(DWORD control, DWORD eventType, void *data, bool gate)
{
    return sim::SendControl(control, eventType, data, gate);
}

bool ServiceProcess::Stop(bool gate)
{
    if (!thread_.joinable()) {
        return true;
    }
    if (!sim::DispatcherReturned()) {
        sim::SendControl(SERVICE_CONTROL_STOP, 0, nullptr, gate);
    }
    return Join();
}

bool ServiceProcess::Join()
{
    if (!thread_.joinable()) {
        return true;
    }
    // The process ends when the dispatcher has returned, or at once when it
    // never ran.
    bool ended = sim::WaitUntil([this] { return ended_ || sim::DispatcherReturned(); }, 90000);
    thread_.join();
    return ended;
}

// ---------------------------------------------------------------------------

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

HANDLE LastHandleOf(const std::wstring &id)
{
    auto handles = sim::DeviceHandles(id);
    return handles.empty() ? nullptr : handles.back();
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
    return StartsOf(kServicePath);
}

std::vector<sim::ProcessStart> CompanionStarts(const std::wstring &id)
{
    std::vector<sim::ProcessStart> out;
    for (const auto &start : StartsOf(kCompanionPath)) {
        if (start.commandLine == id) {
            out.push_back(start);
        }
    }
    return out;
}

std::vector<size_t> ServiceCalls(const std::string &function, size_t from,
                                 const std::function<bool(const sim::Call &)> &match)
{
    std::vector<size_t> out;
    auto calls = sim::Calls();
    for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i].process == sim::kServiceProcess && (function.empty() || calls[i].function == function) &&
            (!match || match(calls[i]))) {
            out.push_back(i);
        }
    }
    return out;
}

size_t ServiceCall(const std::string &function, size_t from, const std::function<bool(const sim::Call &)> &match)
{
    return sim::FindCall(function, from, match, sim::kServiceProcess);
}

std::function<bool(const sim::Call &)> With(const char *name, const sim::Value &value)
{
    return [name, value](const sim::Call &call) { return call[name] == value; };
}

size_t RecordCall(DWORD id, const std::wstring &text, size_t from)
{
    return sim::FindCall("ReportEventW", from, [&](const sim::Call &call) {
        return call["dwEventID"] == sim::Hex(id) && call["lpStrings[1]"] == sim::Text(text.c_str());
    });
}

std::vector<size_t> HelperStartsFor(const std::wstring &id, size_t from)
{
    return ServiceCalls("CreateProcessAsUserW", from, [&](const sim::Call &call) {
        return call["lpApplicationName"] == sim::Text(kServicePath) && call["lpCommandLine"] == sim::Text(id.c_str());
    });
}

std::vector<sim::ProcessLife> HelperLives()
{
    std::vector<sim::ProcessLife> out;
    for (const auto &life : sim::Processes()) {
        if (life.application == kServicePath) {
            out.push_back(life);
        }
    }
    return out;
}

std::string HelpersOverlap()
{
    auto helpers = HelperLives();
    for (size_t i = 1; i < helpers.size(); ++i) {
        if (helpers[i].created < helpers[i - 1].ended) {
            ULONGLONG ran = helpers[i - 1].ended;
            return "two helpers at once: one created at " + std::to_string(helpers[i].created) +
                   " ms while the one before it ran until " +
                   (ran == sim::kForever ? std::string("forever") : std::to_string(ran)) + " ms";
        }
    }
    return "";
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
