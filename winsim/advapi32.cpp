// advapi32: the service control manager's side of a service process, the
// event log, tokens, and starting a process under a token.
//
// Models: the dispatcher, which runs the service's main function on a thread
// of its own and hands every control to the handler on the thread that called
// it, one at a time, and returns once the service has reported stopped (a
// stopped report from another thread waits for the handler call in progress),
// after which the process may end at once: a call the service process makes
// after its stopped report is a fault (CallsAfterStopped); the status reports
// as the manager receives them; event sources, which open for
// any name (a source that is not registered logs to the Application log, with
// no message file to render its texts); tokens bound to a session, whose
// session only a holder of SeTcbPrivilege may change; CreateProcessAsUserW
// with a primary token into a session that can run processes, which costs its
// caller time and starts the program installed at the application path.
// Leaves out: service types other than own-process, pause and parameter
// controls, the manager's own timeouts, event-log files and their readers,
// token contents other than the session, environment blocks, handle
// inheritance and start-up information other than the desktop.
#include <chrono>
#include <cstring>

#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

namespace sim
{
namespace core
{

DWORD DeliverControl(DWORD control, DWORD eventType, void *data, std::unique_lock<std::mutex> &lock)
{
    if (!machine->dispatcherRunning) {
        return kNotDelivered;
    }
    ControlRequest request{control, eventType, data};
    machine->controls.push_back(&request);
    cv.notify_all();
    if (!WaitBounded(lock, [&] { return request.done; })) {
        machine->hangFaults.push_back("control " + std::to_string(control) + " was never answered");
        for (auto it = machine->controls.begin(); it != machine->controls.end(); ++it) {
            if (*it == &request) {
                machine->controls.erase(it);
                break;
            }
        }
        return kNotDelivered;
    }
    return request.result;
}

} // namespace core

void SetServiceName(const std::wstring &name)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->serviceName = name;
}

std::vector<SERVICE_STATUS> StatusReports()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->reports;
}

bool WaitForState(DWORD wanted, unsigned timeoutMs)
{
    return WaitUntil(
        [&] {
            for (const auto &report : StatusReports()) {
                if (report.dwCurrentState == wanted) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool WaitForHandler(unsigned timeoutMs)
{
    return WaitUntil(
        [] {
            std::lock_guard<std::mutex> lock(mu);
            return machine->dispatcherRunning && machine->handler != nullptr;
        },
        timeoutMs);
}

DWORD SendControl(DWORD control, DWORD eventType, void *eventData, bool gate)
{
    std::unique_lock<std::mutex> lock(mu);
    if (gate) {
        DWORD accepted = machine->reports.empty() ? 0 : machine->reports.back().dwControlsAccepted;
        if ((control == SERVICE_CONTROL_STOP && !(accepted & SERVICE_ACCEPT_STOP)) ||
            (control == SERVICE_CONTROL_SESSIONCHANGE && !(accepted & SERVICE_ACCEPT_SESSIONCHANGE)) ||
            (!machine->reports.empty() && machine->reports.back().dwCurrentState == SERVICE_STOPPED)) {
            return kNotDelivered;
        }
    }
    return DeliverControl(control, eventType, eventData, lock);
}

bool HandlerRunning()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->handlerThread != 0;
}

bool DispatcherReturned()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->dispatcherReturned;
}

std::vector<EventRecord> Events()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->events;
}

std::vector<std::wstring> EventTexts()
{
    std::vector<std::wstring> out;
    for (const auto &record : Events()) {
        out.push_back(record.strings.size() > 1 ? record.strings[1] : L"");
    }
    return out;
}

void SetCanSetTokenSession(bool allowed)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->canSetTokenSession = allowed;
}

} // namespace sim

// ---------------------------------------------------------------------------
// Service control manager

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table)
{
    Entry e("StartServiceCtrlDispatcherW",
            {{"lpServiceStartTable[0].lpServiceName", Text(table ? table[0].lpServiceName : nullptr)}});
    std::unique_lock<std::mutex> &lock = e.lock;
    if (e.Failed()) {
        return FALSE;
    }
    if (machine->serviceName.empty()) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (machine->dispatcherRunning) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    LPSERVICE_MAIN_FUNCTIONW serviceMain = nullptr;
    for (const SERVICE_TABLE_ENTRYW *entry = table; entry->lpServiceName != nullptr; ++entry) {
        if (Upper(entry->lpServiceName) == Upper(machine->serviceName)) {
            serviceMain = entry->lpServiceProc;
        }
    }
    if (serviceMain == nullptr) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return FALSE;
    }
    machine->dispatcherRunning = true;
    DWORD process = CurrentProcessId();
    machine->serviceProcess = process;
    machine->dispatcherThread = core::CurrentThreadId();
    std::wstring name = machine->serviceName;
    std::thread serviceThread([process, serviceMain, name] {
        {
            std::lock_guard<std::mutex> guard(mu);
            BindThread(process);
            machine->serviceThread = core::CurrentThreadId();
            ProgramEntered(process);
        }
        std::vector<wchar_t> storage(name.begin(), name.end());
        storage.push_back(L'\0');
        LPWSTR argv[] = {storage.data(), nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> guard(mu);
        ProgramLeft();
        machine->serviceMainReturned = true;
        cv.notify_all();
    });
    cv.notify_all();
    for (;;) {
        {
            auto woken = [] {
                return !machine->controls.empty() || machine->serviceMainReturned || machine->stoppedReported;
            };
            Blocked idle(woken);
            cv.wait(lock, woken);
        }
        // Once the service has reported stopped, nothing more reaches the handler.
        if (machine->stoppedReported || machine->serviceMainReturned) {
            break;
        }
        ControlRequest *request = machine->controls.front();
        machine->controls.pop_front();
        LPHANDLER_FUNCTION_EX handler = machine->handler;
        void *context = machine->handlerContext;
        machine->handlerThread = core::CurrentThreadId();
        lock.unlock();
        DWORD result = handler == nullptr ? ERROR_CALL_NOT_IMPLEMENTED
                                          : handler(request->control, request->eventType, request->data, context);
        lock.lock();
        machine->handlerThread = 0;
        request->result = result;
        request->done = true;
        cv.notify_all();
    }
    for (ControlRequest *request : machine->controls) {
        request->result = kNotDelivered;
        request->done = true;
    }
    machine->controls.clear();
    machine->dispatcherRunning = false;
    cv.notify_all();
    {
        Blocked joining([] { return machine->serviceMainReturned; });
        lock.unlock();
        serviceThread.join();
        lock.lock();
    }
    if (!machine->stoppedReported && !machine->reports.empty()) {
        machine->hangFaults.push_back("ServiceMain returned without reporting SERVICE_STOPPED");
    }
    machine->handler = nullptr;
    machine->dispatcherReturned = true;
    cv.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler, LPVOID context)
{
    Entry e("RegisterServiceCtrlHandlerExW", {{"lpServiceName", Text(serviceName)},
                                              {"lpHandlerProc", Bool(handler != nullptr)},
                                              {"lpContext", Handle(context)}});
    if (e.Failed()) {
        return NULL;
    }
    if (!machine->dispatcherRunning || serviceName == nullptr || Upper(serviceName) != Upper(machine->serviceName)) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return NULL;
    }
    machine->handler = handler;
    machine->handlerContext = context;
    machine->statusHandle =
        Insert(CurrentProcessId(), Kind::ServiceStatus, nullptr, "RegisterServiceCtrlHandlerExW", true);
    cv.notify_all();
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(machine->statusHandle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    Entry e("SetServiceStatus", {{"hServiceStatus", Handle(handle)},
                                 {"dwCurrentState", ServiceState(status->dwCurrentState)},
                                 {"dwControlsAccepted", Hex(status->dwControlsAccepted)},
                                 {"dwCheckPoint", Number(status->dwCheckPoint)},
                                 {"dwWaitHint", Number(status->dwWaitHint)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (handle == nullptr || reinterpret_cast<uintptr_t>(handle) != machine->statusHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A status Windows refuses as "The specified service status structure is
    // invalid" (SetServiceStatus: ERROR_INVALID_DATA). Windows names no field;
    // the simulation refuses whatever SERVICE_STATUS does not define for a
    // Win32 service: a state other than SERVICE_STOPPED (1) to SERVICE_PAUSED
    // (7), a type other than SERVICE_WIN32_OWN_PROCESS (0x10) or
    // SERVICE_WIN32_SHARE_PROCESS (0x20), either perhaps with
    // SERVICE_INTERACTIVE_PROCESS (0x100) (the combinations the SERVICE_STATUS
    // of [MS-SCMR] allows), and accepted controls outside SERVICE_ACCEPT_STOP
    // (0x1) to SERVICE_ACCEPT_USERMODEREBOOT (0x800).
    DWORD type = status->dwServiceType & ~0x100u;
    if (status->dwCurrentState < 1 || status->dwCurrentState > 7 || (type != 0x10 && type != 0x20) ||
        (status->dwControlsAccepted & ~0xFFFu) != 0) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    // The stopped report ends the dispatcher, which runs every handler call
    // under a lock of its own: from another thread, the report waits until the
    // handler call in progress has returned (Wine's sechost takes the lock in
    // SetServiceStatus for SERVICE_STOPPED; Windows documents nothing here, and
    // HandlerEx's remarks warn against taking locks in a handler).
    if (status->dwCurrentState == SERVICE_STOPPED && machine->handlerThread != 0 &&
        machine->handlerThread != core::CurrentThreadId()) {
        auto returned = [] { return machine->handlerThread == 0; };
        Blocked waiting(returned);
        if (!cv.wait_for(e.lock, std::chrono::seconds(3), returned)) {
            machine->hangFaults.push_back("SetServiceStatus(SERVICE_STOPPED) waited for a handler that did not return");
        }
    }
    machine->reports.push_back(*status);
    machine->stoppedReported = machine->stoppedReported || status->dwCurrentState == SERVICE_STOPPED;
    cv.notify_all();
    return TRUE;
}

// ---------------------------------------------------------------------------
// Event log

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName)
{
    Entry e("RegisterEventSourceW", {{"lpUNCServerName", Text(serverName)}, {"lpSourceName", Text(sourceName)}});
    if (e.Failed()) {
        return NULL;
    }
    auto *source = Make<EventSource>();
    source->name = sourceName ? sourceName : L"";
    return reinterpret_cast<HANDLE>(Insert(Kind::EventSource, source, "RegisterEventSourceW"));
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR *strings, LPVOID rawData)
{
    static const char *const names[] = {"lpStrings[0]", "lpStrings[1]", "lpStrings[2]", "lpStrings[3]"};
    std::vector<Arg> args = {{"hEventLog", Handle(eventLog)},  {"wType", EventType(type)},
                             {"wCategory", Number(category)},  {"dwEventID", Hex(eventId)},
                             {"lpUserSid", Handle(userSid)},   {"wNumStrings", Number(numStrings)},
                             {"dwDataSize", Number(dataSize)}, {"lpRawData", Handle(rawData)}};
    for (WORD i = 0; i < numStrings && i < 4 && strings != nullptr; ++i) {
        args.push_back({names[i], Text(strings[i])});
    }
    Entry e("ReportEventW", args);
    if (e.Failed()) {
        return FALSE;
    }
    auto *source = Found<EventSource>(eventLog, Kind::EventSource);
    if (source == nullptr) {
        return FALSE;
    }
    EventRecord record{source->name, type,     category,           eventId,           userSid != nullptr,
                       {},           dataSize, rawData != nullptr, CurrentProcessId()};
    for (WORD i = 0; i < numStrings; ++i) {
        record.strings.push_back(strings[i]);
    }
    machine->events.push_back(record);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog)
{
    Entry e("DeregisterEventSource", {{"hEventLog", Handle(eventLog)}});
    return !e.Failed() && Remove(eventLog, Kind::EventSource, "DeregisterEventSource");
}

// ---------------------------------------------------------------------------
// Tokens and processes

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token)
{
    Entry e("OpenProcessToken", {{"ProcessHandle", Handle(process)}, {"DesiredAccess", Access(desiredAccess)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (process != GetCurrentProcess() || token == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto *object = Make<TokenObject>();
    object->session = CurrentProcess()->session;
    object->primary = true;
    *token = reinterpret_cast<HANDLE>(Insert(Kind::Token, object, "OpenProcessToken"));
    return TRUE;
}

BOOL DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE newToken)
{
    Entry e("DuplicateTokenEx", {{"hExistingToken", Handle(existingToken)},
                                 {"dwDesiredAccess", Access(desiredAccess)},
                                 {"lpTokenAttributes", Handle(attributes)},
                                 {"ImpersonationLevel", Level(level)},
                                 {"TokenType", TokenType(type)}});
    if (e.Failed()) {
        return FALSE;
    }
    auto *source = Find<TokenObject>(existingToken, Kind::Token);
    if (source == nullptr || newToken == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto *duplicate = Make<TokenObject>();
    duplicate->session = source->session;
    duplicate->primary = type == TokenPrimary;
    *newToken = reinterpret_cast<HANDLE>(Insert(Kind::Token, duplicate, "DuplicateTokenEx"));
    return TRUE;
}

BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length)
{
    DWORD session = 0;
    if (info != nullptr && length == sizeof(DWORD)) {
        memcpy(&session, info, sizeof session);
    }
    Entry e("SetTokenInformation", {{"TokenHandle", Handle(token)},
                                    {"TokenInformationClass", TokenClass(infoClass)},
                                    {"TokenInformation", SessionId(session)},
                                    {"TokenInformationLength", Number(length)}});
    if (e.Failed()) {
        return FALSE;
    }
    auto *target = Found<TokenObject>(token, Kind::Token);
    if (target == nullptr) {
        return FALSE;
    }
    if (infoClass != TokenSessionId || info == nullptr || length != sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!machine->canSetTokenSession) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    target->session = session;
    return TRUE;
}

BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                          BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                          LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation)
{
    LPCWSTR desktop = startupInfo != nullptr ? startupInfo->lpDesktop : nullptr;
    Entry e("CreateProcessAsUserW", {{"hToken", Handle(token)},
                                     {"lpApplicationName", Text(applicationName)},
                                     {"lpCommandLine", Text(commandLine)},
                                     {"dwCreationFlags", CreationFlags(creationFlags)},
                                     {"lpStartupInfo->lpDesktop", Text(desktop)}});
    Charge(machine->costs.createProcess);
    auto *tokenObject = Find<TokenObject>(token, Kind::Token);
    ProcessStart start{};
    start.call = e.Index();
    start.token = Handle(token);
    start.tokenPrimary = tokenObject != nullptr && tokenObject->primary;
    start.session = tokenObject != nullptr ? tokenObject->session : kNoConsole;
    start.application = applicationName ? applicationName : L"";
    start.commandLine = commandLine ? commandLine : L"";
    start.commandLineWritable = commandLine != nullptr;
    start.creationFlags = creationFlags;
    start.otherArgumentsNull = processAttributes == nullptr && threadAttributes == nullptr && !inheritHandles &&
                               environment == nullptr && currentDirectory == nullptr;
    if (startupInfo != nullptr) {
        start.startupCb = startupInfo->cb;
        start.desktop = desktop ? desktop : L"";
        STARTUPINFOW rest = *startupInfo;
        rest.cb = 0;
        rest.lpDesktop = nullptr;
        STARTUPINFOW zero;
        memset(&zero, 0, sizeof zero);
        start.startupOtherwiseZero = memcmp(&rest, &zero, sizeof zero) == 0;
    }
    auto fail = [&](DWORD error) {
        machine->starts.push_back(start);
        if (error != NO_ERROR) {
            SetLastError(error);
        }
        return FALSE;
    };
    if (e.Failed()) {
        return fail(NO_ERROR);
    }
    if (!start.tokenPrimary || processInformation == nullptr || startupInfo == nullptr ||
        startupInfo->cb != sizeof(STARTUPINFOW)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // A listener session has no window station for a process to start on.
    Session *session = FindSession(start.session);
    if (session == nullptr || !session->listed || session->state == WTSListen) {
        return fail(ERROR_PIPE_NOT_CONNECTED);
    }
    auto program = machine->programs.find(Upper(start.application));
    if (program == machine->programs.end()) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    Process *process = MakeProcess(start.session, start.desktop.empty() ? L"WinSta0\\Default" : start.desktop);
    process->program = program->second;
    process->application = start.application;
    start.started = true;
    start.process = process->id;
    start.processHandle = reinterpret_cast<HANDLE>(Insert(Kind::Process, process, "CreateProcessAsUserW"));
    start.threadHandle = reinterpret_cast<HANDLE>(Insert(Kind::Thread, process, "CreateProcessAsUserW"));
    machine->starts.push_back(start);
    processInformation->hProcess = start.processHandle;
    processInformation->hThread = start.threadHandle;
    processInformation->dwProcessId = process->id;
    processInformation->dwThreadId = 0;
    StartProgram(process, start.commandLine);
    cv.notify_all();
    return TRUE;
}
