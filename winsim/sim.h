// The simulated Windows, as tests see it: state that every test sets up fresh,
// a log of every modelled call, failure injection, handle accounting, the
// service control manager, the event log, devices, sessions, processes and
// window stations. It models only what the service relies on, with the
// semantics the Windows documentation gives them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "winsim/winapi.h"

namespace sim
{

// ---------------------------------------------------------------------------
// Lifecycle

// Forgets everything: handles, log, devices, sessions, services, clock.
// Waits for simulated processes that are still running to finish first.
void Reset();

// The process entry of the program under test (its wmain).
using EntryPoint = int (*)(int argc, wchar_t **argv, wchar_t **envp);
void SetEntryPoint(EntryPoint entry);

// The simulated process that the test's own threads belong to: the service.
constexpr DWORD kServiceProcess = 1;

// Runs the entry point with `commandLine` as the process command line, in the
// calling thread, as process `process` (kServiceProcess or one made by
// NewProcess). The first word is built by the C runtime's rules.
int RunMain(const std::wstring &commandLine, DWORD process = kServiceProcess);

// A new simulated process in `session`, attached to its WinSta0 and, on its
// first thread, to WinSta0\Default.
DWORD NewProcess(DWORD session);

// Runs the entry point as a new process in `session` on a thread of its own
// and waits for it to end; returns its exit code.
int RunProcess(const std::wstring &commandLine, DWORD session);

// The first word of a command line as the C runtime builds it for argv[0]:
// up to the first blank or tab outside double quotes, quotes removed; an empty
// command line is replaced by the module path.
std::wstring FirstWord(const std::wstring &commandLine, const std::wstring &modulePath);

// ---------------------------------------------------------------------------
// Call log and failure injection

struct Call {
    std::string function;
    std::string args;
    bool injectedFailure;
    DWORD process;
};
std::vector<Call> Calls();
std::vector<Call> Calls(const std::string &function);
size_t CallCount(const std::string &function);
// Position of the first call of `function` at or after `from` whose
// arguments contain `argsPart`; npos when there is none.
size_t FindCall(const std::string &function, const std::string &argsPart = "", size_t from = 0);

// Makes `function` fail the way Windows fails it: at its `nth` call (1-based)
// or, with nth 0, at every call.
void FailCall(const std::string &function, unsigned nth = 0);
// Makes the k-th (1-based) injectable call of the whole run fail.
void FailAtPosition(size_t k);
// Injectable calls made so far, in order (what FailAtPosition counts).
std::vector<std::string> InjectableCalls();

// ---------------------------------------------------------------------------
// Handle accounting

enum class Kind {
    Event,
    File,
    Token,
    Process,
    Thread,
    DeviceNotification,
    EventSource,
    WindowStation,
    Desktop,
    DeviceInfoSet,
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
// Handles still open that the program opened (system-owned ones excluded).
std::vector<OpenHandle> OpenHandles();
size_t OpenHandleCount(Kind kind);
bool IsOpen(HANDLE value);
// Double closes, closes of values never opened, closes of the wrong kind,
// closes of handles the system owns.
std::vector<std::string> HandleFaults();
// Simulated faults of other sorts: a wait or send that would never return.
std::vector<std::string> HangFaults();

// Text as the call log writes it: printable ASCII kept, anything else as \uXXXX.
std::string Ascii(const std::wstring &text);

// ---------------------------------------------------------------------------
// Clock: milliseconds, advanced only by timeouts that expire.
ULONGLONG Now();

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

// When false, StartServiceCtrlDispatcherW fails with 1063, as it does in a
// process that the service control manager did not start.
void SetStartedByScm(bool started);
std::vector<SERVICE_STATUS> StatusReports();
// Waits (real time, bounded) until a report with `state` has been made.
bool WaitForState(DWORD state, unsigned timeoutMs = 10000);
// Waits until the dispatcher is running and the handler is registered.
bool WaitForHandler(unsigned timeoutMs = 10000);

constexpr DWORD kNotDelivered = 0xFFFFFFF0;
// Delivers a control to the handler on the dispatcher's thread and returns the
// handler's answer; kNotDelivered when no dispatcher runs or, with `gate`, when
// the last status report does not accept the control.
DWORD SendControl(DWORD control, DWORD eventType = 0, void *eventData = nullptr, bool gate = false);
// True once StartServiceCtrlDispatcherW has returned.
bool DispatcherReturned();

// ---------------------------------------------------------------------------
// Devices

struct DeviceSpec {
    std::wstring instanceId;
    std::vector<std::wstring> hardwareIds;
    int audioInterfaces = 1;
    bool present = true;
    bool openFails = false;               // CreateFileW on its interfaces fails
    bool hardwareIdsUnreadable = false;   // the property cannot be read
    bool hardwareIdsUnterminated = false; // stored without its terminating NULs
    bool instanceIdUnreadable = false;
    bool interfacePathUnreadable = false;
};
void AddDevice(const DeviceSpec &device);
void SetDevicePresent(const std::wstring &instanceId, bool present);
// The interface path Windows gives the device's `index`-th audio interface.
std::wstring InterfacePath(const std::wstring &instanceId, int index = 0);
// The handles CreateFileW has given out on the device's interfaces, oldest first.
std::vector<HANDLE> DeviceHandles(const std::wstring &instanceId);

struct Notification {
    uintptr_t value;
    HANDLE recipient;
    DWORD flags;
    DWORD deviceType;
    DWORD filterSize;
    HANDLE fileHandle;
    GUID classGuid;
    bool open;
};
std::vector<Notification> Notifications();

// Sends a device-interface broadcast through the service control path, as
// Windows does for a registered interface notification; kNotDelivered when
// none is registered.
DWORD SendInterfaceBroadcast(DWORD eventType, const std::wstring &interfacePath);
// Sends a handle broadcast for every notification registered on `handle`
// (still registered, whether or not the handle itself is still open).
DWORD SendHandleBroadcast(DWORD eventType, HANDLE handle);

// ---------------------------------------------------------------------------
// Sessions, tokens, processes

void AddSession(DWORD id, WTS_CONNECTSTATE_CLASS state = WTSActive);
void SetConsoleSession(DWORD id); // 0xFFFFFFFF: none attached
void SetCanSetTokenSession(bool allowed);
void SetProgramFilesFolder(const std::wstring &folder);
void SetModulePath(const std::wstring &path);
std::wstring ModulePath();
std::wstring CompanionPath();

enum class Program {
    Helper,    // runs the entry point: the service's own executable
    Companion, // gives a window on WinSta0\Default the property named by its command line, then runs on
    NeverEnds, // never ends until terminated
    Exits      // ends at once
};
void InstallProgram(const std::wstring &path, Program program);

struct ProcessStart {
    uintptr_t token;
    bool tokenPrimary;
    DWORD session;
    std::wstring application;
    std::wstring commandLine;
    bool commandLineWritable;
    bool processAttributes;
    bool threadAttributes;
    BOOL inheritHandles;
    DWORD creationFlags;
    bool environment;
    bool currentDirectory;
    DWORD startupCb;
    std::wstring desktop;
    bool startupOtherwiseZero;
    bool started;
    DWORD process;
};
std::vector<ProcessStart> ProcessStarts();
// How many simulated processes are still running.
size_t RunningProcesses();

// ---------------------------------------------------------------------------
// Window stations, desktops, windows

// Every session has WinSta0 with its desktop Default from the start.
void AddWindowStation(DWORD session, const std::wstring &station);
void AddDesktop(DWORD session, const std::wstring &station, const std::wstring &desktop);
void SetWindowStationOpenFails(DWORD session, const std::wstring &station, bool fails);
void SetDesktopOpenFails(DWORD session, const std::wstring &station, const std::wstring &desktop, bool fails);
// Adds a top-level window at the end of the desktop's enumeration order,
// with a property `property` of value `value` when property is not empty.
HWND AddWindow(DWORD session, const std::wstring &station, const std::wstring &desktop,
               const std::wstring &property = L"", HANDLE value = reinterpret_cast<HANDLE>(1));
// A window whose procedure never returns.
void SetWindowHung(HWND window, bool hung);
UINT MessageNumber(const std::wstring &name);

struct Delivery {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD fromProcess;
    bool timedOut;
    UINT timeout; // 0 for SendMessageW
};
std::vector<Delivery> Deliveries();
// The windows in a session that carry `property`, whether they were created by
// a companion or by the test.
std::vector<HWND> WindowsWithProperty(DWORD session, const std::wstring &property);

// The process's window station and its first thread's desktop, by name
// ("WinSta0", "WinSta0\\Default").
std::wstring ProcessWindowStationName(DWORD process);
std::wstring ThreadDesktopName(DWORD process);
// The process a helper ran as, for the last helper started.
DWORD LastProcess();

} // namespace sim
