// The simulated Windows: shared state, the call log, failure injection, handle
// accounting, kernel objects, the event log and the service control manager.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <sstream>

#include "winsim/sim_internal.h"

namespace sim
{
namespace detail
{

std::mutex mu;
std::condition_variable cv;
State *state = new State();
EntryPoint entryPoint = nullptr;

namespace
{
thread_local DWORD tlsLastError = 0;
thread_local DWORD tlsProcess = kServiceProcess;
thread_local DWORD tlsThread = 0;
std::atomic<DWORD> nextThreadId{100};

// A real-time bound on every wait the simulation makes on behalf of the
// program: a wait that reaches it is a hang, recorded and ended.
constexpr auto kHangBound = std::chrono::seconds(60);
} // namespace

DWORD CurrentProcess()
{
    return tlsProcess;
}

DWORD CurrentThread()
{
    if (tlsThread == 0) {
        tlsThread = nextThreadId.fetch_add(4);
    }
    return tlsThread;
}

ProcessObject *CurrentProcessObject()
{
    auto it = state->processes.find(tlsProcess);
    return it == state->processes.end() ? nullptr : it->second.get();
}

std::wstring Upper(const std::wstring &text)
{
    std::wstring out(text);
    for (auto &c : out) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - 0x20);
        }
    }
    return out;
}

std::string Narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buffer[12];
            snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

std::string Hex(uintptr_t value)
{
    char buffer[24];
    snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::string Quote(const wchar_t *text)
{
    return text == nullptr ? std::string("NULL") : "\"" + Narrow(text) + "\"";
}

void Log(const char *function, const std::string &args)
{
    state->calls.push_back(Call{function, args, false, tlsProcess});
}

bool Enter(const char *function, const std::string &args, bool injectable)
{
    state->calls.push_back(Call{function, args, false, tlsProcess});
    if (!injectable) {
        return false;
    }
    state->injectable.push_back(function);
    unsigned count = ++state->callCounts[function];
    bool fail = false;
    auto it = state->failNth.find(function);
    if (it != state->failNth.end() && (it->second == 0 || it->second == count)) {
        fail = true;
    }
    if (state->failPosition != 0 && state->failPosition == state->injectable.size()) {
        fail = true;
    }
    if (fail) {
        state->calls.back().injectedFailure = true;
    }
    return fail;
}

uintptr_t NewHandle(Kind kind, const char *openedBy, bool system)
{
    uintptr_t value = state->nextHandle;
    state->nextHandle += 4;
    HandleInfo info;
    info.kind = kind;
    info.system = system;
    info.process = tlsProcess;
    info.openedBy = openedBy;
    state->handles.emplace(value, std::move(info));
    return value;
}

HandleInfo *Lookup(uintptr_t value, Kind kind)
{
    auto it = state->handles.find(value);
    if (it == state->handles.end() || !it->second.open || it->second.kind != kind) {
        return nullptr;
    }
    return &it->second;
}

bool Close(uintptr_t value, Kind kind, const char *function)
{
    auto it = state->handles.find(value);
    if (it == state->handles.end()) {
        state->handleFaults.push_back(std::string(function) + ": " + Hex(value) + " was never opened");
        return false;
    }
    HandleInfo &info = it->second;
    if (info.kind != kind) {
        state->handleFaults.push_back(std::string(function) + ": " + Hex(value) + " is a " + KindName(info.kind) +
                                      " handle");
        return false;
    }
    if (info.system) {
        state->handleFaults.push_back(std::string(function) + ": " + Hex(value) + " belongs to the system");
        return false;
    }
    if (!info.open) {
        state->handleFaults.push_back(std::string(function) + ": " + Hex(value) + " closed twice");
        return false;
    }
    info.open = false;
    return true;
}

Session *FindSession(DWORD id)
{
    auto it = state->sessions.find(id);
    return it == state->sessions.end() ? nullptr : it->second.get();
}

Session &EnsureSession(DWORD id)
{
    auto &slot = state->sessions[id];
    if (!slot) {
        slot = std::make_unique<Session>();
        slot->id = id;
        auto station = std::make_unique<Station>();
        station->name = L"WinSta0";
        station->session = id;
        auto desktop = std::make_unique<Desktop>();
        desktop->name = L"Default";
        desktop->station = station.get();
        station->desktops.push_back(std::move(desktop));
        slot->stations.push_back(std::move(station));
    }
    return *slot;
}

Station *FindStation(Session &session, const std::wstring &name)
{
    for (auto &station : session.stations) {
        if (Upper(station->name) == Upper(name)) {
            return station.get();
        }
    }
    return nullptr;
}

Desktop *FindDesktop(Station &station, const std::wstring &name)
{
    for (auto &desktop : station.desktops) {
        if (Upper(desktop->name) == Upper(name)) {
            return desktop.get();
        }
    }
    return nullptr;
}

DWORD MakeProcess(DWORD session)
{
    auto process = std::make_unique<ProcessObject>();
    process->id = state->nextProcess++;
    process->session = session;
    process->virtualStart = state->clock;
    Session &s = EnsureSession(session);
    Station *station = FindStation(s, L"WinSta0");
    process->station = station;
    uintptr_t stationHandle = NewHandle(Kind::WindowStation, "process start", true);
    state->handles[stationHandle].station = station;
    state->handles[stationHandle].process = process->id;
    process->stationHandle = stationHandle;
    DWORD id = process->id;
    state->processes[id] = std::move(process);
    return id;
}

void AttachThread(DWORD process, DWORD thread)
{
    state->threadProcess[thread] = process;
    ProcessObject *p = state->processes[process].get();
    if (p->firstThread == 0) {
        p->firstThread = thread;
    }
    if (p->station != nullptr && !p->station->desktops.empty()) {
        uintptr_t desktop = NewHandle(Kind::Desktop, "thread start", true);
        state->handles[desktop].desktop = FindDesktop(*p->station, L"Default");
        state->handles[desktop].process = process;
        state->threadDesktops[thread] = desktop;
    }
}

void JoinProcessThreads()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto &entry : state->processes) {
            if (entry.second->thread.joinable()) {
                threads.push_back(std::move(entry.second->thread));
            }
        }
    }
    for (auto &thread : threads) {
        thread.join();
    }
}

DWORD DeliverControl(DWORD control, DWORD eventType, void *data, std::unique_lock<std::mutex> &lock)
{
    if (!state->dispatcherRunning) {
        return kNotDelivered;
    }
    ControlRequest request{control, eventType, data};
    state->controls.push_back(&request);
    cv.notify_all();
    if (!cv.wait_for(lock, kHangBound, [&] { return request.done; })) {
        state->hangFaults.push_back("control " + std::to_string(control) + " was never answered");
        for (auto it = state->controls.begin(); it != state->controls.end(); ++it) {
            if (*it == &request) {
                state->controls.erase(it);
                break;
            }
        }
        return kNotDelivered;
    }
    return request.result;
}

} // namespace detail

using namespace detail;

// ---------------------------------------------------------------------------
// Test-facing API

void Reset()
{
    JoinProcessThreads();
    std::lock_guard<std::mutex> lock(mu);
    delete state;
    state = new State();
    auto service = std::make_unique<ProcessObject>();
    service->id = kServiceProcess;
    service->session = 0;
    state->processes[kServiceProcess] = std::move(service);
    state->programs[Upper(state->modulePath)] = Program::Helper;
    state->programs[Upper(state->programFiles + L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe")] =
        Program::Companion;
}

void SetEntryPoint(EntryPoint entry)
{
    entryPoint = entry;
}

std::wstring FirstWord(const std::wstring &commandLine, const std::wstring &modulePath)
{
    const std::wstring &line = commandLine.empty() ? modulePath : commandLine;
    std::wstring word;
    bool quoted = false;
    for (wchar_t c : line) {
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        } else {
            word += c;
        }
    }
    return word;
}

int RunMain(const std::wstring &commandLine, DWORD process)
{
    std::wstring word;
    {
        std::lock_guard<std::mutex> lock(mu);
        tlsProcess = process;
        DWORD thread = CurrentThread();
        if (state->threadProcess.find(thread) == state->threadProcess.end() && state->processes.count(process) != 0) {
            AttachThread(process, thread);
        }
        word = FirstWord(commandLine, state->modulePath);
    }
    std::vector<wchar_t> storage(word.begin(), word.end());
    storage.push_back(L'\0');
    wchar_t *argv[] = {storage.data(), nullptr};
    wchar_t *envp[] = {nullptr};
    return entryPoint(1, argv, envp);
}

DWORD NewProcess(DWORD session)
{
    std::lock_guard<std::mutex> lock(mu);
    return MakeProcess(session);
}

int RunProcess(const std::wstring &commandLine, DWORD session)
{
    DWORD process = NewProcess(session);
    int code = 0;
    std::thread thread([&] {
        code = RunMain(commandLine, process);
        std::lock_guard<std::mutex> lock(mu);
        state->processes[process]->ended = true;
        cv.notify_all();
    });
    thread.join();
    return code;
}

std::vector<Call> Calls()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->calls;
}

std::vector<Call> Calls(const std::string &function)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<Call> out;
    for (const auto &call : state->calls) {
        if (call.function == function) {
            out.push_back(call);
        }
    }
    return out;
}

size_t CallCount(const std::string &function)
{
    return Calls(function).size();
}

size_t FindCall(const std::string &function, const std::string &argsPart, size_t from)
{
    std::lock_guard<std::mutex> lock(mu);
    for (size_t i = from; i < state->calls.size(); ++i) {
        if (state->calls[i].function == function && state->calls[i].args.find(argsPart) != std::string::npos) {
            return i;
        }
    }
    return std::string::npos;
}

void FailCall(const std::string &function, unsigned nth)
{
    std::lock_guard<std::mutex> lock(mu);
    state->failNth[function] = nth;
}

void FailAtPosition(size_t k)
{
    std::lock_guard<std::mutex> lock(mu);
    state->failPosition = k;
}

std::vector<std::string> InjectableCalls()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->injectable;
}

std::string Ascii(const std::wstring &text)
{
    return Narrow(text);
}

const char *KindName(Kind kind)
{
    switch (kind) {
    case Kind::Event:
        return "event";
    case Kind::File:
        return "file";
    case Kind::Token:
        return "token";
    case Kind::Process:
        return "process";
    case Kind::Thread:
        return "thread";
    case Kind::DeviceNotification:
        return "device notification";
    case Kind::EventSource:
        return "event source";
    case Kind::WindowStation:
        return "window station";
    case Kind::Desktop:
        return "desktop";
    case Kind::DeviceInfoSet:
        return "device information set";
    case Kind::SessionArray:
        return "session array";
    case Kind::ServiceStatus:
        return "service status";
    }
    return "?";
}

std::vector<OpenHandle> OpenHandles()
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<OpenHandle> out;
    for (const auto &entry : state->handles) {
        if (entry.second.open && !entry.second.system) {
            out.push_back(OpenHandle{entry.first, entry.second.kind, entry.second.process, entry.second.openedBy});
        }
    }
    return out;
}

size_t OpenHandleCount(Kind kind)
{
    size_t count = 0;
    for (const auto &handle : OpenHandles()) {
        count += handle.kind == kind ? 1 : 0;
    }
    return count;
}

bool IsOpen(HANDLE value)
{
    std::lock_guard<std::mutex> lock(mu);
    auto it = state->handles.find(reinterpret_cast<uintptr_t>(value));
    return it != state->handles.end() && it->second.open;
}

std::vector<std::string> HandleFaults()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->handleFaults;
}

std::vector<std::string> HangFaults()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->hangFaults;
}

ULONGLONG Now()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->clock;
}

std::vector<EventRecord> Events()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->events;
}

std::vector<std::wstring> EventTexts()
{
    std::vector<std::wstring> out;
    for (const auto &record : Events()) {
        out.push_back(record.strings.size() > 1 ? record.strings[1] : L"");
    }
    return out;
}

void SetStartedByScm(bool started)
{
    std::lock_guard<std::mutex> lock(mu);
    state->startedByScm = started;
}

std::vector<SERVICE_STATUS> StatusReports()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->reports;
}

bool WaitForState(DWORD wanted, unsigned timeoutMs)
{
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto &report : state->reports) {
            if (report.dwCurrentState == wanted) {
                return true;
            }
        }
        return false;
    });
}

bool WaitForHandler(unsigned timeoutMs)
{
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return state->dispatcherRunning && state->handler != nullptr; });
}

DWORD SendControl(DWORD control, DWORD eventType, void *eventData, bool gate)
{
    std::unique_lock<std::mutex> lock(mu);
    if (gate) {
        DWORD accepted = state->reports.empty() ? 0 : state->reports.back().dwControlsAccepted;
        if ((control == SERVICE_CONTROL_STOP && !(accepted & SERVICE_ACCEPT_STOP)) ||
            (control == SERVICE_CONTROL_SESSIONCHANGE && !(accepted & SERVICE_ACCEPT_SESSIONCHANGE)) ||
            (!state->reports.empty() && state->reports.back().dwCurrentState == SERVICE_STOPPED)) {
            return kNotDelivered;
        }
    }
    return DeliverControl(control, eventType, eventData, lock);
}

bool DispatcherReturned()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->dispatcherReturned;
}

} // namespace sim

using namespace sim;
using namespace sim::detail;

// ---------------------------------------------------------------------------
// Kernel objects and the C runtime

DWORD GetLastError()
{
    return tlsLastError;
}
void SetLastError(DWORD error)
{
    tlsLastError = error;
}

BOOL CloseHandle(HANDLE object)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(object);
    if (Enter("CloseHandle", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto it = state->handles.find(value);
    Kind kind = it == state->handles.end() ? Kind::Event : it->second.kind;
    if (kind != Kind::Event && kind != Kind::File && kind != Kind::Token && kind != Kind::Process &&
        kind != Kind::Thread) {
        state->handleFaults.push_back("CloseHandle: " + Hex(value) + " is a " + KindName(kind) + " handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Close(value, kind, "CloseHandle")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("CreateEventW", std::string(attributes ? "attributes" : "NULL") + ", " + std::to_string(manualReset) +
                                  ", " + std::to_string(initialState) + ", " + Quote(name))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    uintptr_t value = NewHandle(Kind::Event, "CreateEventW");
    state->handles[value].manualReset = manualReset != FALSE;
    state->handles[value].signalled = initialState != FALSE;
    return reinterpret_cast<HANDLE>(value);
}

BOOL SetEvent(HANDLE event)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(event);
    if (Enter("SetEvent", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HandleInfo *info = Lookup(value, Kind::Event);
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    info->signalled = true;
    cv.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(object);
    if (Enter("WaitForSingleObject", Hex(value) + ", " + std::to_string(milliseconds))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto it = state->handles.find(value);
    if (it == state->handles.end() || !it->second.open ||
        (it->second.kind != Kind::Event && it->second.kind != Kind::Process)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (it->second.kind == Kind::Event) {
        HandleInfo *info = &it->second;
        if (info->signalled) {
            return WAIT_OBJECT_0;
        }
        if (milliseconds != INFINITE) {
            state->clock += milliseconds;
            return WAIT_TIMEOUT;
        }
        if (!cv.wait_for(lock, kHangBound, [&] { return state->handles[value].signalled; })) {
            state->hangFaults.push_back("WaitForSingleObject(" + Hex(value) + ", INFINITE) on an event never set");
            return WAIT_FAILED;
        }
        return WAIT_OBJECT_0;
    }
    ProcessObject *process = it->second.processObject;
    if (process->program == Program::NeverEnds && !process->ended) {
        if (milliseconds == INFINITE) {
            state->hangFaults.push_back("WaitForSingleObject(INFINITE) on a process that never ends");
            return WAIT_FAILED;
        }
        state->clock += milliseconds;
        return WAIT_TIMEOUT;
    }
    ULONGLONG start = state->clock;
    if (!cv.wait_for(lock, kHangBound, [&] { return process->ended; })) {
        state->hangFaults.push_back("WaitForSingleObject on a process that did not end");
        return WAIT_FAILED;
    }
    // The process ran for its own virtual time; a wait shorter than that ends first.
    ULONGLONG ran = process->virtualEnd > process->virtualStart ? process->virtualEnd - process->virtualStart : 0;
    if (milliseconds != INFINITE && ran > milliseconds) {
        state->clock = start + milliseconds > state->clock ? start + milliseconds : state->clock;
        return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

ULONGLONG GetTickCount64()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->clock;
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

DWORD GetCurrentThreadId()
{
    return CurrentThread();
}

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(process);
    if (Enter("TerminateProcess", Hex(value) + ", " + std::to_string(exitCode))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleInfo *info = Lookup(value, Kind::Process);
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    info->processObject->terminated = true;
    if (!info->processObject->ended) {
        info->processObject->ended = true;
        info->processObject->virtualEnd = state->clock;
    }
    cv.notify_all();
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("GetModuleFileNameW", Hex(reinterpret_cast<uintptr_t>(module)) + ", " + std::to_string(size))) {
        // A failure returns 0; ERROR_INSUFFICIENT_BUFFER goes with a cut path
        // and a return of `size`, below.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const std::wstring &path = state->modulePath;
    if (module != NULL || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() >= size) {
        wmemcpy(filename, path.data(), size - 1);
        filename[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(filename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

void AcquireSRWLockExclusive(PSRWLOCK lock)
{
    std::mutex *m;
    {
        std::lock_guard<std::mutex> guard(mu);
        auto &slot = state->locks[lock];
        if (!slot) {
            slot = std::make_unique<std::mutex>();
        }
        m = slot.get();
    }
    m->lock();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    std::mutex *m;
    {
        std::lock_guard<std::mutex> guard(mu);
        m = state->locks[lock].get();
    }
    m->unlock();
}

errno_t wcscat_s(wchar_t *destination, rsize_t size, const wchar_t *source)
{
    std::lock_guard<std::mutex> lock(mu);
    Log("wcscat_s", std::to_string(size) + ", " + Quote(source));
    if (destination == nullptr || size == 0) {
        return EINVAL;
    }
    if (source == nullptr) {
        destination[0] = L'\0';
        return EINVAL;
    }
    size_t length = 0;
    while (length < size && destination[length] != L'\0') {
        ++length;
    }
    if (length == size) {
        destination[0] = L'\0';
        return EINVAL;
    }
    size_t add = wcslen(source);
    if (length + add + 1 > size) {
        destination[0] = L'\0';
        return ERANGE;
    }
    wmemcpy(destination + length, source, add + 1);
    return 0;
}

HRESULT StringCchPrintfW(LPWSTR destination, size_t cchDest, LPCWSTR format, ...)
{
    {
        std::lock_guard<std::mutex> lock(mu);
        Log("StringCchPrintfW", std::to_string(cchDest) + ", " + Quote(format));
    }
    if (cchDest == 0 || cchDest > 2147483647u) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    // Windows semantics: in a wide format, %s takes a wide string.
    std::wstring out;
    va_list args;
    va_start(args, format);
    for (const wchar_t *p = format; *p != L'\0'; ++p) {
        if (*p == L'%' && p[1] == L's') {
            const wchar_t *text = va_arg(args, const wchar_t *);
            out += text == nullptr ? L"(null)" : text;
            ++p;
        } else if (*p == L'%' && p[1] == L'%') {
            out += L'%';
            ++p;
        } else {
            out += *p;
        }
    }
    va_end(args);
    if (out.size() + 1 > cchDest) {
        wmemcpy(destination, out.data(), cchDest - 1);
        destination[cchDest - 1] = L'\0';
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    wmemcpy(destination, out.c_str(), out.size() + 1);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Event log

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("RegisterEventSourceW", Quote(serverName) + ", " + Quote(sourceName))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    uintptr_t value = NewHandle(Kind::EventSource, "RegisterEventSourceW");
    state->handles[value].openedBy = "RegisterEventSourceW " + Narrow(sourceName ? sourceName : L"");
    return reinterpret_cast<HANDLE>(value);
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR *strings, LPVOID rawData)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(eventLog);
    std::string args = Hex(value) + ", " + std::to_string(type) + ", " + std::to_string(category) + ", " +
                       Hex(eventId) + ", " + std::to_string(numStrings);
    for (WORD i = 0; i < numStrings && strings != nullptr; ++i) {
        args += ", " + Quote(strings[i]);
    }
    if (Enter("ReportEventW", args)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    HandleInfo *info = Lookup(value, Kind::EventSource);
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    EventRecord record;
    std::string opened = info->openedBy;
    std::string prefix = "RegisterEventSourceW ";
    std::string source = opened.substr(prefix.size());
    record.source.assign(source.begin(), source.end());
    record.type = type;
    record.category = category;
    record.id = eventId;
    record.userSid = userSid != nullptr;
    for (WORD i = 0; i < numStrings; ++i) {
        record.strings.push_back(strings[i]);
    }
    record.dataSize = dataSize;
    record.rawData = rawData != nullptr;
    record.process = CurrentProcess();
    state->events.push_back(record);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(eventLog);
    if (Enter("DeregisterEventSource", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Close(value, Kind::EventSource, "DeregisterEventSource")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Service control manager

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table)
{
    std::unique_lock<std::mutex> lock(mu);
    if (Enter("StartServiceCtrlDispatcherW", table && table[0].lpServiceName ? Quote(table[0].lpServiceName) : "")) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (!state->startedByScm) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (state->dispatcherRunning) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    state->dispatcherRunning = true;
    state->dispatcherReturned = false;
    state->stoppedReported = false;
    state->serviceMainReturned = false;
    DWORD process = CurrentProcess();
    LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;
    std::wstring name = table[0].lpServiceName;
    std::thread serviceThread([process, serviceMain, name] {
        {
            std::lock_guard<std::mutex> guard(mu);
            tlsProcess = process;
            AttachThread(process, CurrentThread());
        }
        std::vector<wchar_t> storage(name.begin(), name.end());
        storage.push_back(L'\0');
        LPWSTR argv[] = {storage.data(), nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> guard(mu);
        state->serviceMainReturned = true;
        cv.notify_all();
    });
    cv.notify_all();
    for (;;) {
        cv.wait(lock, [] { return !state->controls.empty() || state->serviceMainReturned || state->stoppedReported; });
        // Once the service has reported stopped, the dispatcher returns and
        // nothing more reaches the handler.
        if (!state->stoppedReported && !state->serviceMainReturned) {
            ControlRequest *request = state->controls.front();
            state->controls.pop_front();
            LPHANDLER_FUNCTION_EX handler = state->handler;
            void *context = state->handlerContext;
            lock.unlock();
            DWORD result = handler == nullptr ? ERROR_CALL_NOT_IMPLEMENTED
                                              : handler(request->control, request->eventType, request->data, context);
            lock.lock();
            request->result = result;
            request->done = true;
            cv.notify_all();
            continue;
        }
        break;
    }
    // Requests still queued are never delivered.
    for (ControlRequest *request : state->controls) {
        request->result = kNotDelivered;
        request->done = true;
    }
    state->controls.clear();
    state->dispatcherRunning = false;
    cv.notify_all();
    lock.unlock();
    serviceThread.join();
    lock.lock();
    if (!state->stoppedReported && !state->reports.empty()) {
        state->hangFaults.push_back("ServiceMain returned without reporting SERVICE_STOPPED");
    }
    state->handler = nullptr;
    state->dispatcherReturned = true;
    cv.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler, LPVOID context)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("RegisterServiceCtrlHandlerExW", Quote(serviceName) + ", " +
                                                   Hex(reinterpret_cast<uintptr_t>(handler) != 0) + ", " +
                                                   Hex(reinterpret_cast<uintptr_t>(context)))) {
        SetLastError(1083); // ERROR_SERVICE_NOT_IN_EXE
        return NULL;
    }
    if (!state->dispatcherRunning || serviceName == nullptr || Upper(serviceName) != L"HEXLORNS") {
        SetLastError(1083);
        return NULL;
    }
    state->handler = handler;
    state->handlerContext = context;
    state->statusHandle = NewHandle(Kind::ServiceStatus, "RegisterServiceCtrlHandlerExW", true);
    cv.notify_all();
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(state->statusHandle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (Enter("SetServiceStatus", Hex(value) + ", state " + std::to_string(status->dwCurrentState) + ", checkpoint " +
                                      std::to_string(status->dwCheckPoint))) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (value == 0 || value != state->statusHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    state->reports.push_back(*status);
    if (status->dwCurrentState == SERVICE_STOPPED) {
        state->stoppedReported = true;
    }
    cv.notify_all();
    return TRUE;
}
