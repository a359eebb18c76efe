// The simulated Windows, as tests see it. Every test sets up a fresh machine
// (Reset), arranges devices, sessions, programs and windows, runs the program
// under test through its entry point, and then reads what Windows saw: the
// calls with their arguments, the records of the event log, the status
// reports, the processes started, the messages sent and the handles left open.
//
// The machine after Reset looks like a real one with Remote Desktop on: session
// 0 ("Services", disconnected), session 1 ("Console", active, attached to the
// console) and the listener session 65536 ("RDP-Tcp") in which no process can
// be started. Each user session has WinSta0 with the desktops Default and
// Winlogon; session 0 also has the service window station Service-0x0-3e7$.
//
// The models (one file per system DLL: kernel32.cpp, advapi32.cpp, user32.cpp,
// setupapi.cpp, wtsapi32.cpp, shell32.cpp, and crt.cpp for the C runtime) say
// at their top what they model and what they leave out.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "winsim/winapi.h"

namespace sim
{

// ---------------------------------------------------------------------------
// Values as Windows sees them: a call's arguments are recorded typed, and
// render with the names Windows gives them (INFINITE, TOKEN_ALL_ACCESS,
// CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS), in the call log and in a failed
// comparison alike.

enum class Domain : uint8_t {
    Number,
    Hex,
    Bool,
    Handle,
    Text,
    Access,
    Timeout,
    CreationFlags,
    DigcfFlags,
    NotifyFlags,
    SmtoFlags,
    ShareMode,
    Disposition,
    EventType,
    DeviceType,
    TokenClass,
    Level,
    TokenType,
    Csidl,
    Guid,
    Session,
    Message,
    ServiceState,
};

struct Value {
    Domain domain = Domain::Number;
    uint64_t number = 0;
    std::wstring text;
    bool null = false; // a NULL pointer where a text or structure was expected
};
bool operator==(const Value &a, const Value &b);
inline bool operator!=(const Value &a, const Value &b)
{
    return !(a == b);
}
std::string Render(const Value &value);
void PrintTo(const Value &value, std::ostream *out);

Value Number(uint64_t n);
Value Hex(uint64_t n);
Value Bool(BOOL b);
Value Handle(const void *h);
Value Text(const wchar_t *text); // NULL gives a null text
Value Access(DWORD mask);
Value Timeout(DWORD milliseconds);
Value CreationFlags(DWORD flags);
Value DigcfFlags(DWORD flags);
Value NotifyFlags(DWORD flags);
Value SmtoFlags(UINT flags);
Value ShareMode(DWORD mode);
Value Disposition(DWORD disposition);
Value EventType(WORD type);
Value DeviceType(DWORD type);
Value TokenClass(DWORD infoClass);
Value Level(DWORD level);
Value TokenType(DWORD type);
Value Csidl(int csidl);
Value Guid(const GUID *guid); // NULL gives a null value
Value SessionId(DWORD id);
Value Message(UINT message);
Value ServiceState(DWORD state);

// Text as the log writes it: printable ASCII kept, anything else as \uXXXX.
std::string Ascii(const std::wstring &text);

// ---------------------------------------------------------------------------
// Lifecycle

// A fresh machine: the sessions above, no device, no program, no record.
// Waits for simulated processes that are still running to finish first.
void Reset();

// The process entry of the program under test (its wmain).
using EntryPoint = int (*)(int argc, wchar_t **argv, wchar_t **envp);
void SetEntryPoint(EntryPoint entry);

// The simulated process that the test's own threads belong to: the service,
// in session 0 on Service-0x0-3e7$\Default.
constexpr DWORD kServiceProcess = 1;

// Runs the entry point with `commandLine` as the process command line, in the
// calling thread, as process `process` (kServiceProcess or one made by
// NewProcess). argv[0] is built by the C runtime's rules (FirstWord).
int RunMain(const std::wstring &commandLine, DWORD process = kServiceProcess);
// A new process in `session`, on WinSta0 and, on its first thread, WinSta0\Default.
DWORD NewProcess(DWORD session);
// Runs the entry point as a new process in `session`, on a thread of its own,
// and waits for it to end; returns its exit code.
int RunProcess(const std::wstring &commandLine, DWORD session);
// The first word of a command line as the C runtime builds argv[0]: up to the
// first blank or tab outside double quotes, quotes removed, backslashes taken
// as they are; an empty command line is replaced by the module path.
std::wstring FirstWord(const std::wstring &commandLine, const std::wstring &modulePath);

// Waits, in real time and bounded, until `condition` holds; it is evaluated
// (without the simulation's lock, so it may read the machine through this
// interface) whenever the machine changes. False on timeout.
bool WaitUntil(const std::function<bool()> &condition, unsigned timeoutMs = 30000);

// ---------------------------------------------------------------------------
// Call log and failure injection

struct Arg {
    const char *name; // the parameter's name in the Windows documentation
    Value value;
};
struct Call {
    std::string function;
    std::vector<Arg> args;
    bool injectedFailure = false;
    DWORD process = 0;
    ULONGLONG at = 0; // the calling process's clock
    // The argument named `name`; a Number 0xDEAD... marked null when absent.
    const Value &operator[](const char *name) const;
};
std::string Render(const Call &call);
std::vector<Call> Calls();
std::vector<Call> Calls(const std::string &function);
size_t CallCount(const std::string &function);
// Position of the first call of `function` at or after `from` (by any process
// unless `process` is given) for which `match` holds; npos when none.
size_t FindCall(const std::string &function, size_t from = 0, const std::function<bool(const Call &)> &match = nullptr,
                DWORD process = 0);

// Runs `hook` on the calling thread each time `function` is called, before the
// call takes effect (without the simulation's lock): a test's way to act at an
// exact point of the program, e.g. to deliver a control from another thread
// while the program is inside a call. An empty hook removes it.
void OnCall(const std::string &function, std::function<void(const Call &)> hook);
// Runs `hook` on the calling thread each time `function` has taken effect,
// just before it returns to the program (without the simulation's lock): the
// point right after a call, e.g. once a registration exists. An empty hook
// removes it.
void AfterCall(const std::string &function, std::function<void(const Call &)> hook);

// Makes `function` fail the way Windows fails it: at its `nth` call (1-based)
// or, with nth 0, at every call.
void FailCall(const std::string &function, unsigned nth = 0);
// Ends the failures FailCall asked for `function`.
void StopFailing(const std::string &function);
// Makes the k-th (1-based) injectable call of the whole run fail.
void FailAtPosition(size_t k);
// Injectable calls made so far, in order (what FailAtPosition counts).
std::vector<std::string> InjectableCalls();
// False for calls that Windows does not fail for the valid arguments a
// correct caller passes (closing a handle it holds, a wait on a valid object).
bool FailsForValidArguments(const std::string &function);

// ---------------------------------------------------------------------------
// Handles: every process has its own table, and a freed value is handed out
// again by the next open of that process (the most recently freed first).

enum class Kind {
    Event,
    File,
    Token,
    Process,
    Thread,
    WindowStation,
    Desktop,
    DeviceInfoSet,
    DeviceNotification,
    EventSource,
    SessionArray,
    ServiceStatus
};
const char *KindName(Kind kind);

struct OpenHandle {
    uintptr_t value;
    Kind kind;
    DWORD process;
    std::string openedBy;
};
// Handles still open that a program opened (system-owned ones excluded).
std::vector<OpenHandle> OpenHandles();
size_t OpenHandleCount(Kind kind);
// True when `value` is an open handle of `kind` in `process`.
bool IsOpen(const void *value, Kind kind, DWORD process = kServiceProcess);
// Double closes, closes of values never opened, of the wrong kind or of
// handles the system owns.
std::vector<std::string> HandleFaults();
// Waits or sends that would never return, and other things a program cannot
// recover from.
std::vector<std::string> HangFaults();
// Calls of the service process after its stopped report reached the service
// control manager: the dispatcher may return, and the process end, at once.
// Every call the log records counts; slim locks, the last error, the
// pseudo-handles and the tick count, which the log leaves out, do not.
std::vector<std::string> CallsAfterStopped();

// ---------------------------------------------------------------------------
// Time. Every process has its own clock in milliseconds; the service's is
// Now(). A clock moves by the costs below and by timeouts that expire, as in
// a discrete-event simulation: only once every other thread of the process is
// blocked in a call (winsim/core.h, AdvanceTo).
//
// The defaults are on the slow side of what bench/helper_walk.py measures
// under Wine on a 2-core machine: a helper's run from CreateProcess to the end
// of the wait 33-62 ms (a program that loads the same DLLs and exits at once
// 33-58 ms), a walk over 20 windows within that. Termination is not measured
// there; 20 ms is a generous guess for a process that is not in a system call.

struct Costs {
    ULONGLONG createProcess = 15; // CreateProcessAsUserW, to its caller
    ULONGLONG processStart = 60;  // from creation to the program's entry (loader, DLLs)
    ULONGLONG processExit = 5;    // from the entry's return to the process being signalled
    ULONGLONG terminate = 20;     // from TerminateProcess to the process being signalled
    ULONGLONG windowCall = 1;     // a window-station, desktop or window call of a helper
    ULONGLONG send = 2;           // a message to a window that answers at once
};
void SetCosts(const Costs &costs);
ULONGLONG Now();

// Threads of the program that are waiting to acquire the slim lock `lock`.
size_t LockWaiters(const SRWLOCK *lock);

// ---------------------------------------------------------------------------
// Event log

struct EventRecord {
    std::wstring source;
    WORD type;
    WORD category;
    DWORD id;
    bool userSid;
    std::vector<std::wstring> strings;
    DWORD dataSize;
    bool rawData;
    DWORD process;
};
std::vector<EventRecord> Events();
// The %2 texts of the records, in order.
std::vector<std::wstring> EventTexts();

// ---------------------------------------------------------------------------
// Service control manager

// The service the manager starts the service process as; empty: the process
// was not started by the manager and StartServiceCtrlDispatcherW fails.
void SetServiceName(const std::wstring &name);
std::vector<SERVICE_STATUS> StatusReports();
bool WaitForState(DWORD state, unsigned timeoutMs = 30000);
bool WaitForHandler(unsigned timeoutMs = 30000);

constexpr DWORD kNotDelivered = 0xFFFFFFF0;
// Delivers a control to the handler on the dispatcher's thread and returns the
// handler's answer; kNotDelivered when no dispatcher runs or, with `gate`, when
// the last status report does not accept the control.
DWORD SendControl(DWORD control, DWORD eventType = 0, void *eventData = nullptr, bool gate = false);
bool DispatcherReturned();
// True while the dispatcher is running a handler call.
bool HandlerRunning();

// ---------------------------------------------------------------------------
// Devices, as the Plug and Play manager keeps them

extern const GUID kRenderClass;   // KSCATEGORY_RENDER
extern const GUID kTopologyClass; // KSCATEGORY_TOPOLOGY

struct Interface {
    GUID classGuid;
    std::wstring reference; // the reference string that ends the path ("wave")
    bool active = true;
};
struct DeviceSpec {
    std::wstring instanceId;
    std::vector<std::wstring> hardwareIds;
    // In the driver's order. The default is an audio card's: its wave filter
    // under the audio and render classes, then its topology filter.
    std::vector<Interface> interfaces = {
        {{0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}, L"wave", true},
        {{0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}, L"wave", true},
        {{0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}}, L"topology", true}};
    bool present = true;
    bool openFails = false;               // CreateFileW on its interfaces fails
    bool hardwareIdsUnreadable = false;   // the property cannot be read
    bool hardwareIdsUnterminated = false; // stored without its terminating NULs
    bool instanceIdUnreadable = false;
    bool interfacePathUnreadable = false;
};
void AddDevice(const DeviceSpec &device);
void SetDevicePresent(const std::wstring &instanceId, bool present);
// The path of the device's `index`-th interface: as a broadcast names it
// (upper case through the enumerator and the device part of the ID, lower case
// from the "#" that begins its instance part), or as SetupAPI gives it (all
// lower case).
std::wstring InterfacePath(const std::wstring &instanceId, size_t index = 0);
std::wstring SetupApiPath(const std::wstring &instanceId, size_t index = 0);
// The handles CreateFileW has given out on the device's interfaces, oldest
// first (values may repeat: a freed value is handed out again).
std::vector<HANDLE> DeviceHandles(const std::wstring &instanceId);

struct Notification {
    uintptr_t value;
    DWORD process;
    DWORD flags;
    DWORD deviceType;
    HANDLE fileHandle; // the handle value given at registration
    std::wstring device;
    bool open;
};
std::vector<Notification> Notifications();

// The value a handle broadcast carries in dbch_handle. Only the form sent to a
// window is shown to carry the value given at registration (Wine's
// dlls/dinput/tests/hotplug.c, which registers a window); for a service
// recipient nothing says so, and by default the simulation gives the harsher
// answer: a value that is none of the service's handles. Registered sends the
// registered value, which may name another object once that handle is closed.
enum class BroadcastHandle { Registered, Other };
void SetBroadcastHandle(BroadcastHandle value);

// Broadcasts through the service control path, as the Plug and Play manager
// sends them. Each returns the handler's last answer, or kNotDelivered when no
// notification is registered for it.
//
// One interface broadcast, to every interface notification.
DWORD SendInterfaceBroadcast(DWORD eventType, const std::wstring &interfacePath);
// The device's handle broadcast, to every handle notification registered on
// one of its handles (still registered, whether or not the handle is open).
DWORD SendHandleBroadcast(DWORD eventType, const std::wstring &instanceId);
// The device starts: each interface becomes active and its arrival is
// broadcast, in the driver's order.
void DeviceArrives(const std::wstring &instanceId);
// The device goes: remove-complete on its handle notifications, then its
// interfaces become inactive, each with a remove-complete broadcast.
void DeviceRemoved(const std::wstring &instanceId);

// ---------------------------------------------------------------------------
// Sessions, tokens, processes

constexpr DWORD kNoConsole = 0xFFFFFFFF;
void AddSession(DWORD id, WTS_CONNECTSTATE_CLASS state = WTSActive, const std::wstring &name = L"");
void RemoveSession(DWORD id);
// The session attached to the console; kNoConsole while one is being attached
// or detached.
void SetConsoleSession(DWORD id);
void SetCanSetTokenSession(bool allowed);
void SetProgramFilesFolder(const std::wstring &folder);
void SetModulePath(const std::wstring &path);
std::wstring ModulePath();

enum class Program {
    EntryPoint, // runs the entry point: the program under test
    Companion,  // gives a window on its start-up desktop the property its command line names
    NeverEnds,  // runs until terminated
    Exits       // ends at once
};
void InstallProgram(const std::wstring &path, Program program);

struct ProcessStart {
    Value token;
    bool tokenPrimary;
    DWORD session;
    std::wstring application;
    std::wstring commandLine;
    bool commandLineWritable;
    DWORD creationFlags;
    DWORD startupCb;
    std::wstring desktop;
    bool startupOtherwiseZero;
    bool otherArgumentsNull; // attributes, environment and directory NULL, no inheritance
    bool started;
    DWORD process;
    HANDLE processHandle, threadHandle; // given to the creator when started
    size_t call;                        // its CreateProcessAsUserW in the call log
};
std::vector<ProcessStart> ProcessStarts();

struct ProcessLife {
    DWORD id;
    DWORD session;
    std::wstring application;
    ULONGLONG created;
    ULONGLONG ended; // kForever while it runs
    bool terminated;
};
constexpr ULONGLONG kForever = ~0ULL;
std::vector<ProcessLife> Processes();
// Started processes that have not ended.
size_t RunningProcesses();

// ---------------------------------------------------------------------------
// Window stations, desktops, windows

void AddWindowStation(DWORD session, const std::wstring &station);
void AddDesktop(DWORD session, const std::wstring &station, const std::wstring &desktop);
void SetWindowStationOpenFails(DWORD session, const std::wstring &station, bool fails);
void SetDesktopOpenFails(DWORD session, const std::wstring &station, const std::wstring &desktop, bool fails);
// A top-level window at the end of the desktop's enumeration order, with a
// property `property` of value `value` when property is not empty.
HWND AddWindow(DWORD session, const std::wstring &station, const std::wstring &desktop,
               const std::wstring &property = L"", HANDLE value = reinterpret_cast<HANDLE>(1));
// A window whose thread has stopped answering: Windows judges it hung.
void SetWindowHung(HWND window, bool hung);
// A window that takes `milliseconds` to process a message it is sent.
void SetWindowBusy(HWND window, ULONGLONG milliseconds);
UINT MessageNumber(const std::wstring &name);

// Wine's rules where they differ from Windows': SetThreadDesktop refuses a
// desktop of another window station, and a message reaches a window from a
// thread on any desktop.
void SetWineRules(bool wine);

struct Delivery {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD fromProcess;
    bool timedOut;
    ULONGLONG at;
};
// Messages that reached a window, while their sender was still running.
std::vector<Delivery> Deliveries();
std::vector<HWND> WindowsWithProperty(DWORD session, const std::wstring &property);

// The process's window station and its first thread's desktop, by name
// ("WinSta0", "WinSta0\\Default").
std::wstring ProcessWindowStationName(DWORD process);
std::wstring ThreadDesktopName(DWORD process);

} // namespace sim
