// The simulation's core: typed values and their rendering, the call log with
// failure injection, the per-process handle tables, the clocks, and the
// machine a test starts from.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "winsim/core.h"

namespace sim
{
namespace core
{

std::mutex mu;
std::condition_variable cv;
Machine *machine = new Machine();
EntryPoint entryPoint = nullptr;

namespace
{
thread_local DWORD tlsProcess = kServiceProcess;
thread_local DWORD tlsThread = 0;
thread_local DWORD tlsProgram = 0; // the process whose program code the thread runs
std::atomic<DWORD> nextThreadId{100};

// A real-time bound on every wait the simulation makes for a program: a wait
// that reaches it would never have returned, and is recorded as a hang.
constexpr auto kHangBound = std::chrono::seconds(60);

// How Windows fails each call the fault sweep may fail, and which calls it
// does not fail for the valid arguments a correct caller passes.
struct FailureMode {
    const char *function;
    DWORD error;
    bool failsForValidArguments;
};
const FailureMode kFailureModes[] = {
    {"CloseHandle", ERROR_INVALID_HANDLE, false},
    {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetEvent", ERROR_INVALID_HANDLE, false},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE, false},
    {"TerminateProcess", ERROR_ACCESS_DENIED, true},
    {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"CreateFileW", ERROR_ACCESS_DENIED, true},
    {"WTSGetActiveConsoleSessionId", NO_ERROR, true}, // 0xFFFFFFFF: a session is being attached
    {"RegisterEventSourceW", ERROR_ACCESS_DENIED, true},
    {"ReportEventW", ERROR_LOG_FILE_FULL, true},
    {"DeregisterEventSource", ERROR_INVALID_HANDLE, false},
    {"StartServiceCtrlDispatcherW", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, true},
    {"RegisterServiceCtrlHandlerExW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetServiceStatus", ERROR_INVALID_DATA, false},
    {"OpenProcessToken", ERROR_ACCESS_DENIED, true},
    {"DuplicateTokenEx", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetTokenInformation", ERROR_PRIVILEGE_NOT_HELD, true},
    {"CreateProcessAsUserW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetupDiEnumDeviceInfo", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA, true},
    {"SetupDiGetDeviceInstanceIdW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetupDiEnumDeviceInterfaces", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetupDiGetDeviceInterfaceDetailW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SetupDiDestroyDeviceInfoList", ERROR_INVALID_HANDLE, false},
    {"SetupDiClassGuidsFromNameW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"RegisterDeviceNotificationW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"UnregisterDeviceNotification", ERROR_INVALID_HANDLE, false},
    {"WTSEnumerateSessionsW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"SHGetSpecialFolderPathW", NO_ERROR, true},
    {"RegisterWindowMessageW", ERROR_NOT_ENOUGH_MEMORY, true},
    {"EnumWindowStationsW", ERROR_ACCESS_DENIED, true},
    {"GetProcessWindowStation", ERROR_ACCESS_DENIED, true},
    {"OpenWindowStationW", ERROR_ACCESS_DENIED, true},
    {"SetProcessWindowStation", ERROR_ACCESS_DENIED, true},
    {"CloseWindowStation", ERROR_INVALID_HANDLE, false}, // in use: modelled, not injected
    {"EnumDesktopsW", ERROR_ACCESS_DENIED, true},
    {"GetThreadDesktop", ERROR_INVALID_PARAMETER, true},
    {"OpenDesktopW", ERROR_ACCESS_DENIED, true},
    {"SetThreadDesktop", ERROR_ACCESS_DENIED, true},
    {"CloseDesktop", ERROR_INVALID_HANDLE, false}, // in use: modelled, not injected
    {"EnumDesktopWindows", ERROR_ACCESS_DENIED, true},
    {"GetPropW", NO_ERROR, true},
    {"SendMessageTimeoutW", ERROR_TIMEOUT, true},
};

const FailureMode *ModeOf(const std::string &function)
{
    for (const auto &mode : kFailureModes) {
        if (function == mode.function) {
            return &mode;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Names of values

struct Name {
    uint64_t value;
    const char *name;
};

std::string HexText(uint64_t n)
{
    char buffer[24];
    snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(n));
    return buffer;
}

// A value that is exactly one of `names`, or hex.
std::string Enumerated(uint64_t n, std::initializer_list<Name> names)
{
    for (const auto &name : names) {
        if (name.value == n) {
            return name.name;
        }
    }
    return HexText(n);
}

// Flags joined with " | ": a name that covers several bits is taken first,
// whatever no name covers is left in hex; `zero` names the empty set.
std::string Flags(uint64_t n, std::initializer_list<Name> names, const char *zero = "0")
{
    if (n == 0) {
        return zero;
    }
    std::string out;
    for (const auto &name : names) {
        if (name.value != 0 && (n & name.value) == name.value) {
            out += (out.empty() ? "" : " | ") + std::string(name.name);
            n &= ~name.value;
        }
    }
    if (n != 0) {
        out += (out.empty() ? "" : " | ") + HexText(n);
    }
    return out;
}

const struct {
    GUID guid;
    const char *name;
} kGuidNames[] = {
    {{0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}, "KSCATEGORY_AUDIO"},
    {{0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}, "KSCATEGORY_RENDER"},
    {{0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}}, "KSCATEGORY_TOPOLOGY"},
    {{0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, "GUID_DEVCLASS_MEDIA"},
};

} // namespace

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

DWORD CurrentProcessId()
{
    // A thread that ran as a process of an earlier machine belongs to the
    // service again.
    if (machine->processes.count(tlsProcess) == 0) {
        tlsProcess = kServiceProcess;
    }
    return tlsProcess;
}

DWORD CurrentThreadId()
{
    if (tlsThread == 0) {
        tlsThread = nextThreadId.fetch_add(4);
    }
    return tlsThread;
}

Process *CurrentProcess()
{
    return machine->processes.at(CurrentProcessId()).get();
}

void BindThread(DWORD process)
{
    tlsProcess = process;
    DWORD thread = CurrentThreadId();
    auto known = machine->threads.find(thread);
    if ((known == machine->threads.end() || known->second.process != process) &&
        machine->processes.count(process) != 0) {
        AttachThread(process, thread);
    }
}

// ---------------------------------------------------------------------------
// Handle tables

namespace
{
bool IsUserKind(Kind kind)
{
    // Notifications, event sources, device information sets and the service
    // status handle are pointers into the process's heap, not kernel handles.
    return kind == Kind::DeviceNotification || kind == Kind::EventSource || kind == Kind::DeviceInfoSet ||
           kind == Kind::ServiceStatus;
}
} // namespace

uintptr_t Insert(DWORD process, Kind kind, Object *object, const char *openedBy, bool system)
{
    Table &table = machine->processes.at(process)->table;
    std::vector<uintptr_t> &freed = IsUserKind(kind) ? table.freeUser : table.freeKernel;
    uintptr_t value;
    if (!freed.empty()) {
        value = freed.back();
        freed.pop_back();
    } else if (IsUserKind(kind)) {
        value = table.nextUser;
        table.nextUser += 0x30;
    } else {
        value = table.nextKernel;
        table.nextKernel += 4;
    }
    table.slots[value] = Slot{kind, object, true, system, openedBy};
    return value;
}

uintptr_t Insert(Kind kind, Object *object, const char *openedBy)
{
    return Insert(CurrentProcessId(), kind, object, openedBy);
}

Slot *FindSlot(DWORD process, uintptr_t value)
{
    auto p = machine->processes.find(process);
    if (p == machine->processes.end()) {
        return nullptr;
    }
    auto it = p->second->table.slots.find(value);
    return it == p->second->table.slots.end() ? nullptr : &it->second;
}

bool Remove(const void *handle, Kind kind, const char *function)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    Slot *slot = FindSlot(CurrentProcessId(), value);
    std::string what = std::string(function) + ": " + HexText(value);
    if (slot == nullptr) {
        machine->handleFaults.push_back(what + " was never opened");
    } else if (!slot->open) {
        machine->handleFaults.push_back(what + " closed twice");
    } else if (slot->kind != kind) {
        machine->handleFaults.push_back(what + " is a " + KindName(slot->kind) + " handle");
    } else if (slot->system) {
        machine->handleFaults.push_back(what + " belongs to the system");
    } else {
        slot->open = false;
        Table &table = CurrentProcess()->table;
        if (kind != Kind::SessionArray) { // memory, freed to the heap
            (IsUserKind(kind) ? table.freeUser : table.freeKernel).push_back(value);
        }
        return true;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

// ---------------------------------------------------------------------------
// Clocks, entry, waits

ULONGLONG &Clock()
{
    Process *process = CurrentProcess();
    return process->clock;
}

namespace
{
Process *ProgramProcess(DWORD id)
{
    auto it = machine->processes.find(id);
    return id == 0 || it == machine->processes.end() ? nullptr : it->second.get();
}

// No program thread of `p` runs or can go on.
bool AllBlocked(const Process &p)
{
    if (p.running != 0) {
        return false;
    }
    for (const Blocked *blocked : p.blocked) {
        if (blocked->ready && blocked->ready()) {
            return false;
        }
    }
    return true;
}
} // namespace

void ProgramEntered(DWORD process)
{
    tlsProgram = process;
    if (Process *p = ProgramProcess(process)) {
        ++p->running;
    }
}

void ProgramLeft()
{
    if (Process *p = ProgramProcess(tlsProgram)) {
        --p->running;
        cv.notify_all();
    }
    tlsProgram = 0;
}

Blocked::Blocked(std::function<bool()> readyWhen) : ready(std::move(readyWhen)), process_(ProgramProcess(tlsProgram))
{
    if (process_ != nullptr) {
        --process_->running;
        process_->blocked.insert(this);
        cv.notify_all();
    }
}

Blocked::~Blocked()
{
    if (process_ != nullptr) {
        process_->blocked.erase(this);
        ++process_->running;
    }
}

bool AdvanceTo(std::unique_lock<std::mutex> &lock, ULONGLONG until, const std::function<bool()> &woken)
{
    Process *p = CurrentProcess();
    if (until <= p->clock) {
        return !(woken && woken());
    }
    bool ended = false;
    bool inTime;
    {
        Blocked blocked(woken);
        auto wake = p->wakes.insert(until);
        cv.notify_all();
        inTime = WaitBounded(lock, [&] {
            ended = woken && woken();
            return ended || (AllBlocked(*p) && *p->wakes.begin() >= until);
        });
        p->wakes.erase(wake);
    }
    if (!inTime) {
        machine->hangFaults.push_back("a timed wait that never ended: another thread of its process never blocked");
    }
    if (!ended) {
        p->clock = std::max(p->clock, until);
    }
    cv.notify_all();
    return !ended;
}

void Charge(ULONGLONG milliseconds)
{
    if (milliseconds == 0) {
        return;
    }
    std::unique_lock<std::mutex> lock(mu, std::adopt_lock); // the caller's
    AdvanceTo(lock, Clock() + milliseconds);
    lock.release();
}

Entry::Entry(const char *function, std::vector<Arg> args) : lock(mu), function_(function)
{
    index_ = machine->calls.size();
    machine->calls.push_back(Call{function, std::move(args), false, CurrentProcessId(), Clock()});
    // Once stopped is reported the dispatcher may return and the process end
    // (SetServiceStatus, remarks): a call after it may never be made.
    if (machine->stoppedReported && CurrentProcessId() == machine->serviceProcess) {
        DWORD thread = CurrentThreadId();
        machine->lateCalls.push_back(Render(machine->calls.back()) + " on " +
                                     (thread == machine->dispatcherThread ? "the dispatcher's thread"
                                      : thread == machine->serviceThread  ? "the service thread"
                                                                          : "another thread") +
                                     " after the stopped report");
    }
    auto hook = machine->hooks.find(function);
    if (hook != machine->hooks.end()) {
        auto run = hook->second;
        Call call = machine->calls.back();
        lock.unlock();
        run(call);
        lock.lock();
    }
    const FailureMode *mode = ModeOf(function);
    if (mode == nullptr) {
        return;
    }
    machine->injectable.push_back(function);
    unsigned count = ++machine->callCounts[function];
    auto it = machine->failNth.find(function);
    failed_ = (it != machine->failNth.end() && (it->second == 0 || it->second == count)) ||
              (machine->failPosition != 0 && machine->failPosition == machine->injectable.size());
    if (failed_) {
        machine->calls.back().injectedFailure = true;
        SetLastError(mode->error);
    }
}

Entry::~Entry()
{
    if (!lock.owns_lock()) {
        lock.lock();
    }
    auto hook = machine->afterHooks.find(function_);
    if (hook == machine->afterHooks.end() || index_ >= machine->calls.size()) {
        return;
    }
    auto run = hook->second;
    Call call = machine->calls[index_];
    lock.unlock();
    run(call);
}

bool WaitBounded(std::unique_lock<std::mutex> &lock, const std::function<bool()> &done)
{
    return cv.wait_for(lock, kHangBound, done);
}

// ---------------------------------------------------------------------------
// Sessions and window stations

Session *FindSession(DWORD id)
{
    auto it = machine->sessions.find(id);
    return it == machine->sessions.end() ? nullptr : it->second.get();
}

Session &EnsureSession(DWORD id, const std::wstring &name)
{
    auto &slot = machine->sessions[id];
    if (!slot) {
        slot = std::make_unique<Session>();
        slot->id = id;
        slot->name = name;
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

Desktop *EnsureDesktop(DWORD sessionId, const std::wstring &stationName, const std::wstring &desktopName)
{
    Session &session = EnsureSession(sessionId);
    Station *station = FindStation(session, stationName);
    if (station == nullptr) {
        session.stations.push_back(std::make_unique<Station>());
        station = session.stations.back().get();
        station->name = stationName;
        station->session = &session;
    }
    if (desktopName.empty()) {
        return nullptr;
    }
    Desktop *desktop = FindDesktop(*station, desktopName);
    if (desktop == nullptr) {
        station->desktops.push_back(std::make_unique<Desktop>());
        desktop = station->desktops.back().get();
        desktop->name = desktopName;
        desktop->station = station;
    }
    return desktop;
}

HWND NewWindow(Desktop *desktop, const std::wstring &property, HANDLE value)
{
    auto window = std::make_unique<Window>();
    window->hwnd = reinterpret_cast<HWND>(machine->nextWindow);
    machine->nextWindow += 0x10;
    window->desktop = desktop;
    if (!property.empty()) {
        window->properties[Upper(property)] = value;
    }
    HWND hwnd = window->hwnd;
    desktop->windows.push_back(window.get());
    machine->windows[reinterpret_cast<uintptr_t>(hwnd)] = std::move(window);
    return hwnd;
}

} // namespace core

using namespace core;

// ---------------------------------------------------------------------------
// Values

bool operator==(const Value &a, const Value &b)
{
    return a.domain == b.domain && a.number == b.number && a.text == b.text && a.null == b.null;
}

std::string Ascii(const std::wstring &text)
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

std::string Render(const Value &v)
{
    uint64_t n = v.number;
    switch (v.domain) {
    case Domain::Number:
        return std::to_string(n);
    case Domain::Hex:
    case Domain::Message:
        return HexText(n);
    case Domain::Bool:
        return n ? "TRUE" : "FALSE";
    case Domain::Handle:
        return Enumerated(n, {{0, "NULL"}, {~0ULL, "INVALID_HANDLE_VALUE"}});
    case Domain::Text:
        return v.null ? "NULL" : "\"" + Ascii(v.text) + "\"";
    case Domain::Guid:
        return v.null ? "NULL" : Ascii(v.text);
    case Domain::Access:
        return Flags(n, {{0xF01FF, "TOKEN_ALL_ACCESS"},
                         {0x02000000, "MAXIMUM_ALLOWED"},
                         {0x80000000, "GENERIC_READ"},
                         {0x40000000, "GENERIC_WRITE"}});
    case Domain::Timeout:
        return n == INFINITE ? "INFINITE" : std::to_string(n) + " ms";
    case Domain::CreationFlags:
        return Flags(n, {{0x08000000, "CREATE_NO_WINDOW"}, {0x20, "NORMAL_PRIORITY_CLASS"}});
    case Domain::DigcfFlags:
        return Flags(n, {{0x2, "DIGCF_PRESENT"}, {0x10, "DIGCF_DEVICEINTERFACE"}});
    case Domain::NotifyFlags:
        return Flags(n, {{0x1, "DEVICE_NOTIFY_SERVICE_HANDLE"}, {0x4, "DEVICE_NOTIFY_ALL_INTERFACE_CLASSES"}},
                     "DEVICE_NOTIFY_WINDOW_HANDLE");
    case Domain::SmtoFlags:
        return Flags(n, {{0x1, "SMTO_BLOCK"}, {0x2, "SMTO_ABORTIFHUNG"}, {0x8, "SMTO_NOTIMEOUTIFNOTHUNG"}},
                     "SMTO_NORMAL");
    case Domain::ShareMode:
        return Flags(n, {{0x1, "FILE_SHARE_READ"}, {0x2, "FILE_SHARE_WRITE"}});
    case Domain::Disposition:
        return Enumerated(n, {{1, "CREATE_NEW"}, {2, "CREATE_ALWAYS"}, {3, "OPEN_EXISTING"}, {4, "OPEN_ALWAYS"}});
    case Domain::EventType:
        return Enumerated(n,
                          {{1, "EVENTLOG_ERROR_TYPE"}, {2, "EVENTLOG_WARNING_TYPE"}, {4, "EVENTLOG_INFORMATION_TYPE"}});
    case Domain::DeviceType:
        return Enumerated(n, {{5, "DBT_DEVTYP_DEVICEINTERFACE"}, {6, "DBT_DEVTYP_HANDLE"}});
    case Domain::TokenClass:
        return Enumerated(n, {{12, "TokenSessionId"}});
    case Domain::Level:
        return Enumerated(n, {{0, "SecurityAnonymous"},
                              {1, "SecurityIdentification"},
                              {2, "SecurityImpersonation"},
                              {3, "SecurityDelegation"}});
    case Domain::TokenType:
        return Enumerated(n, {{1, "TokenPrimary"}, {2, "TokenImpersonation"}});
    case Domain::Csidl:
        return Enumerated(n, {{38, "CSIDL_PROGRAM_FILES"}});
    case Domain::ServiceState:
        return Enumerated(n, {{1, "SERVICE_STOPPED"},
                              {2, "SERVICE_START_PENDING"},
                              {3, "SERVICE_STOP_PENDING"},
                              {4, "SERVICE_RUNNING"}});
    case Domain::Session:
        return n == kNoConsole ? "no session (0xffffffff)" : "session " + std::to_string(n);
    }
    return HexText(n);
}

void PrintTo(const Value &value, std::ostream *out)
{
    *out << Render(value);
}

namespace
{
Value Of(Domain domain, uint64_t n)
{
    Value v;
    v.domain = domain;
    v.number = n;
    return v;
}
} // namespace

// The typed constructors: each names its argument's domain.
#define SIM_VALUE(name, type, domain, number)                                                                          \
    Value name(type value)                                                                                             \
    {                                                                                                                  \
        return Of(Domain::domain, number);                                                                             \
    }
SIM_VALUE(Number, uint64_t, Number, value)
SIM_VALUE(Hex, uint64_t, Hex, value)
SIM_VALUE(Bool, BOOL, Bool, value != FALSE)
SIM_VALUE(Handle, const void *, Handle, reinterpret_cast<uintptr_t>(value))
SIM_VALUE(Access, DWORD, Access, value)
SIM_VALUE(Timeout, DWORD, Timeout, value)
SIM_VALUE(CreationFlags, DWORD, CreationFlags, value)
SIM_VALUE(DigcfFlags, DWORD, DigcfFlags, value)
SIM_VALUE(NotifyFlags, DWORD, NotifyFlags, value)
SIM_VALUE(SmtoFlags, UINT, SmtoFlags, value)
SIM_VALUE(ShareMode, DWORD, ShareMode, value)
SIM_VALUE(Disposition, DWORD, Disposition, value)
SIM_VALUE(EventType, WORD, EventType, value)
SIM_VALUE(DeviceType, DWORD, DeviceType, value)
SIM_VALUE(TokenClass, DWORD, TokenClass, value)
SIM_VALUE(Level, DWORD, Level, value)
SIM_VALUE(TokenType, DWORD, TokenType, value)
SIM_VALUE(Csidl, int, Csidl, static_cast<uint64_t>(value))
SIM_VALUE(SessionId, DWORD, Session, value)
SIM_VALUE(Message, UINT, Message, value)
SIM_VALUE(ServiceState, DWORD, ServiceState, value)
#undef SIM_VALUE

Value Text(const wchar_t *text)
{
    Value v = Of(Domain::Text, 0);
    v.null = text == nullptr;
    v.text = text == nullptr ? L"" : text;
    return v;
}

Value Guid(const GUID *guid)
{
    Value v = Of(Domain::Guid, 0);
    v.null = guid == nullptr;
    if (guid != nullptr) {
        for (const auto &known : kGuidNames) {
            if (memcmp(&known.guid, guid, sizeof(GUID)) == 0) {
                v.text.assign(known.name, known.name + strlen(known.name));
                return v;
            }
        }
        wchar_t buffer[40];
        swprintf(buffer, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid->Data1, guid->Data2,
                 guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4],
                 guid->Data4[5], guid->Data4[6], guid->Data4[7]);
        v.text = buffer;
    }
    return v;
}

const Value &Call::operator[](const char *name) const
{
    for (const auto &arg : args) {
        if (strcmp(arg.name, name) == 0) {
            return arg.value;
        }
    }
    static const Value absent = [] {
        Value v = Hex(0xDEADull);
        v.null = true;
        return v;
    }();
    return absent;
}

std::string Render(const Call &call)
{
    std::string out = call.function + "(";
    for (size_t i = 0; i < call.args.size(); ++i) {
        out += (i ? ", " : "") + std::string(call.args[i].name) + " " + Render(call.args[i].value);
    }
    return out + ")" + (call.injectedFailure ? " failed" : "");
}

// ---------------------------------------------------------------------------
// Test-facing API

void Reset()
{
    JoinProcessThreads();
    std::lock_guard<std::mutex> lock(mu);
    delete machine;
    machine = new Machine();
    // Session 0 holds the services; the console session and the Remote
    // Desktop listener beside it.
    for (auto session : {std::pair<DWORD, const wchar_t *>{0, L"Services"}, {1, L"Console"}}) {
        EnsureSession(session.first, session.second);
        EnsureDesktop(session.first, L"WinSta0", L"Default");
        EnsureDesktop(session.first, L"WinSta0", L"Winlogon");
    }
    EnsureSession(0).state = WTSDisconnected;
    EnsureDesktop(0, L"Service-0x0-3e7$", L"Default");
    EnsureSession(65536, L"RDP-Tcp").state = WTSListen;
    // The service process, on the service window station of session 0.
    auto service = std::make_unique<Process>();
    service->id = kServiceProcess;
    service->clock = 1000000;
    machine->processes[kServiceProcess] = std::move(service);
    Process *p = machine->processes[kServiceProcess].get();
    p->station = FindStation(*FindSession(0), L"Service-0x0-3e7$");
    p->startDesktop = FindDesktop(*p->station, L"Default");
    p->stationHandle = Insert(kServiceProcess, Kind::WindowStation, p->station, "process start", true);
}

void SetEntryPoint(EntryPoint entry)
{
    entryPoint = entry;
}

bool WaitUntil(const std::function<bool()> &condition, unsigned timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(mu);
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // A change of the machine wakes the wait; the slice bounds a change
        // made between the test and the wait.
        cv.wait_for(lock, std::chrono::milliseconds(5));
    }
}

std::vector<Call> Calls()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->calls;
}

std::vector<Call> Calls(const std::string &function)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<Call> out;
    for (const auto &call : machine->calls) {
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

size_t FindCall(const std::string &function, size_t from, const std::function<bool(const Call &)> &match, DWORD process)
{
    auto calls = Calls();
    for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i].function == function && (process == 0 || calls[i].process == process) &&
            (!match || match(calls[i]))) {
            return i;
        }
    }
    return std::string::npos;
}

namespace
{
void SetHook(std::map<std::string, std::function<void(const Call &)>> Machine::*hooks, const std::string &function,
             std::function<void(const Call &)> hook)
{
    std::lock_guard<std::mutex> lock(mu);
    if (hook) {
        (machine->*hooks)[function] = std::move(hook);
    } else {
        (machine->*hooks).erase(function);
    }
}
} // namespace

void OnCall(const std::string &function, std::function<void(const Call &)> hook)
{
    SetHook(&Machine::hooks, function, std::move(hook));
}

void AfterCall(const std::string &function, std::function<void(const Call &)> hook)
{
    SetHook(&Machine::afterHooks, function, std::move(hook));
}

void FailCall(const std::string &function, unsigned nth)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->failNth[function] = nth;
}

void StopFailing(const std::string &function)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->failNth.erase(function);
}

void FailAtPosition(size_t k)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->failPosition = k;
}

std::vector<std::string> InjectableCalls()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->injectable;
}

bool FailsForValidArguments(const std::string &function)
{
    const FailureMode *mode = ModeOf(function);
    return mode != nullptr && mode->failsForValidArguments;
}

const char *KindName(Kind kind)
{
    static const char *const names[] = {"event",
                                        "file",
                                        "token",
                                        "process",
                                        "thread",
                                        "window station",
                                        "desktop",
                                        "device information set",
                                        "device notification",
                                        "event source",
                                        "session array",
                                        "service status"};
    return names[static_cast<int>(kind)];
}

std::vector<OpenHandle> OpenHandles()
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<OpenHandle> out;
    for (auto &process : machine->processes) {
        for (auto &entry : process.second->table.slots) {
            if (entry.second.open && !entry.second.system) {
                out.push_back({entry.first, entry.second.kind, process.first, entry.second.openedBy});
            }
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

bool IsOpen(const void *value, Kind kind, DWORD process)
{
    std::lock_guard<std::mutex> lock(mu);
    Slot *slot = FindSlot(process, reinterpret_cast<uintptr_t>(value));
    return slot != nullptr && slot->open && slot->kind == kind;
}

std::vector<std::string> HandleFaults()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->handleFaults;
}

std::vector<std::string> HangFaults()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->hangFaults;
}

std::vector<std::string> CallsAfterStopped()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->lateCalls;
}

void SetCosts(const Costs &costs)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->costs = costs;
}

ULONGLONG Now()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->processes.at(kServiceProcess)->clock;
}

} // namespace sim
