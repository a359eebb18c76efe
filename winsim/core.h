// Inside the simulated Windows: the machine's state, the object table, the
// clock and the call entry that every modelled function goes through.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "winsim/sim.h"

namespace sim
{
namespace core
{

// One lock over the whole machine; one condition for every change of it.
extern std::mutex mu;
extern std::condition_variable cv;

std::wstring Upper(const std::wstring &text);

// ---------------------------------------------------------------------------
// Objects, referred to by handles. Each kind's object lives as long as the
// machine; a handle refers to it from one process's table.

struct Object {
    virtual ~Object() = default;
};

struct Window;
struct Station;
struct Session;
struct Device;
class Blocked;

struct Desktop : Object {
    std::wstring name;
    Station *station = nullptr;
    bool openFails = false;
    std::vector<Window *> windows; // enumeration order
};

struct Station : Object {
    std::wstring name;
    Session *session = nullptr;
    bool openFails = false;
    std::vector<std::unique_ptr<Desktop>> desktops;
};

struct Window {
    HWND hwnd;
    Desktop *desktop;
    std::map<std::wstring, HANDLE> properties; // by upper-cased name
    bool hung = false;
    ULONGLONG busyMs = 0;
};

struct Session {
    DWORD id = 0;
    std::wstring name;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    bool listed = true;
    std::vector<std::unique_ptr<Station>> stations;
};

struct Slot {
    Kind kind;
    Object *object;
    bool open = true;
    bool system = false; // owned by the system: never closed by the program
    std::string openedBy;
};

struct Table {
    std::map<uintptr_t, Slot> slots;
    std::vector<uintptr_t> freeKernel, freeUser; // most recently freed last
    uintptr_t nextKernel = 0x40, nextUser = 0x5a0000;
};

struct Process : Object {
    DWORD id = 0;
    DWORD session = 0;
    Program program = Program::Exits;
    std::wstring application;
    ULONGLONG clock = 0;            // the process's own time (see AdvanceTo)
    int running = 0;                // its program threads not blocked in a call
    std::set<Blocked *> blocked;    // and those that are
    std::multiset<ULONGLONG> wakes; // when its threads' timed waits end
    ULONGLONG created = 0;          // on its creator's clock
    ULONGLONG end = kForever;       // when it is, or will be, signalled
    bool done = false;              // its program has run to its end
    bool terminated = false;
    Station *station = nullptr;      // current process window station
    uintptr_t stationHandle = 0;     // the handle GetProcessWindowStation gives
    Desktop *startDesktop = nullptr; // every thread's desktop when it starts
    DWORD firstThread = 0;
    std::thread thread;
    Table table;
};

struct EventObject : Object {
    bool manualReset = false;
    bool signalled = false;
};

struct TokenObject : Object {
    DWORD session = 0;
    bool primary = false;
};

struct FileObject : Object {
    Device *device = nullptr;
};

struct DeviceSet : Object {
    std::vector<Device *> members;
    bool presentOnly = false;
};

struct Registration : Object {
    Notification notification{};
    Device *device = nullptr; // of a handle notification
    GUID classGuid{};         // of an interface notification
};

struct EventSource : Object {
    std::wstring name;
};

struct Device {
    DeviceSpec spec;
    std::vector<bool> live; // the interfaces that are active now
    DWORD devInst = 0;
    std::vector<uintptr_t> fileHandles;
};

struct Thread {
    DWORD process = 0;
    uintptr_t desktopHandle = 0;
    Desktop *desktop = nullptr;
};

struct SlimLock {
    bool held = false;
    size_t waiters = 0;
};

struct ControlRequest {
    DWORD control;
    DWORD eventType;
    void *data;
    DWORD result = 0;
    bool done = false;
};

struct Machine {
    // call log and injection
    std::vector<Call> calls;
    std::vector<std::string> injectable;
    std::map<std::string, unsigned> failNth; // 0: every call
    std::map<std::string, unsigned> callCounts;
    std::map<std::string, std::function<void(const Call &)>> hooks;
    std::map<std::string, std::function<void(const Call &)>> afterHooks;
    size_t failPosition = 0;
    std::vector<std::string> handleFaults, hangFaults, lateCalls;
    Costs costs;
    std::vector<std::unique_ptr<Object>> objects;
    // processes and threads
    std::map<DWORD, std::unique_ptr<Process>> processes;
    DWORD nextProcess = 2;
    std::map<DWORD, Thread> threads;
    std::map<std::wstring, Program> programs; // by upper-cased path
    std::wstring modulePath = L"C:\\Windows\\system32\\svchost.exe";
    std::vector<ProcessStart> starts;
    // service control manager
    std::wstring serviceName;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    DWORD handlerThread = 0; // the dispatcher's thread while it runs a handler call
    void *handlerContext = nullptr;
    uintptr_t statusHandle = 0;
    bool dispatcherRunning = false, dispatcherReturned = false, stoppedReported = false, serviceMainReturned = false;
    DWORD serviceProcess = 0; // the process the dispatcher runs in
    DWORD dispatcherThread = 0, serviceThread = 0;
    std::deque<ControlRequest *> controls;
    std::vector<SERVICE_STATUS> reports;
    std::vector<EventRecord> events;
    // sessions, window stations, windows
    std::map<DWORD, std::unique_ptr<Session>> sessions;
    DWORD consoleSession = 1;
    bool canSetTokenSession = true;
    std::wstring programFiles = L"C:\\Program Files";
    std::map<uintptr_t, std::unique_ptr<Window>> windows;
    uintptr_t nextWindow = 0x10010;
    std::vector<std::wstring> atoms; // registered window messages, upper-cased
    std::vector<Delivery> deliveries;
    bool wineRules = false;
    // devices
    BroadcastHandle broadcastHandle = BroadcastHandle::Other;
    std::vector<std::unique_ptr<Device>> devices;
    std::map<const void *, SlimLock> slimLocks;
};

extern Machine *machine;
extern EntryPoint entryPoint;

template <typename T> T *Make()
{
    machine->objects.push_back(std::make_unique<T>());
    return static_cast<T *>(machine->objects.back().get());
}

// The simulated process and thread the calling thread belongs to.
DWORD CurrentProcessId();
DWORD CurrentThreadId();
Process *CurrentProcess();
void BindThread(DWORD process);

// Adds a handle to `process`'s table (the most recently freed value first).
uintptr_t Insert(DWORD process, Kind kind, Object *object, const char *openedBy, bool system = false);
uintptr_t Insert(Kind kind, Object *object, const char *openedBy); // in the calling process
// The object behind an open handle of `kind` in the calling process, or null.
template <typename T> T *Find(const void *value, Kind kind);
Slot *FindSlot(DWORD process, uintptr_t value);
// Closes a handle of the calling process for `function`; a fault is recorded
// and false returned when it is not an open handle of that kind, or the
// system's.
bool Remove(const void *value, Kind kind, const char *function);

template <typename T> T *Find(const void *value, Kind kind)
{
    Slot *slot = FindSlot(CurrentProcessId(), reinterpret_cast<uintptr_t>(value));
    return slot != nullptr && slot->open && slot->kind == kind ? static_cast<T *>(slot->object) : nullptr;
}
// Find, for a call that fails as Windows fails it for a handle that is not
// open: null, with ERROR_INVALID_HANDLE.
template <typename T> T *Found(const void *value, Kind kind)
{
    T *object = Find<T>(value, kind);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return object;
}

// Time: the calling process's clock, and a cost charged to it (AdvanceTo by
// `milliseconds`, called with the machine's lock held).
ULONGLONG &Clock();
void Charge(ULONGLONG milliseconds);

// The clock of a process moves as in a discrete-event simulation: a thread
// that waits until `until` (a timed wait, a call that costs time) moves its
// process's clock there only once every other program thread of the process
// is blocked in a call (an untimed wait, a slim lock, the dispatcher's wait for
// a control) and cannot go on yet, and no timed wait of the process ends
// earlier. So time one thread spends waiting never passes another thread that
// is running between two calls, or that a call has just released: that thread
// reads the time it would read on Windows however the host schedules the two.
// Program threads are those the simulation runs program code on (a process's
// entry thread, the service thread); a test's own thread moves the clock once
// they are blocked. Returns false, the clock unmoved, when `woken` comes to
// hold first.
bool AdvanceTo(std::unique_lock<std::mutex> &lock, ULONGLONG until, const std::function<bool()> &woken = nullptr);
// The calling thread runs program code of `process` from ProgramEntered to
// ProgramLeft (both with the lock held).
void ProgramEntered(DWORD process);
void ProgramLeft();
// While one lives (made and ended with the lock held), the calling program
// thread is blocked in a call, until `ready` holds: from then on it counts as
// running again, before it has woken.
class Blocked
{
  public:
    explicit Blocked(std::function<bool()> ready);
    ~Blocked();
    Blocked(const Blocked &) = delete;
    Blocked &operator=(const Blocked &) = delete;
    std::function<bool()> ready;

  private:
    Process *process_;
};

// Every modelled call starts here: it takes the machine's lock, logs the
// call, and decides whether it is to fail; a failing call has its last error
// set already, the way Windows fails that function.
class Entry
{
  public:
    Entry(const char *function, std::vector<Arg> args);
    // Runs the call's after-hook, if any, once the call has taken effect.
    ~Entry();
    bool Failed() const { return failed_; }
    size_t Index() const { return index_; } // in the call log
    std::unique_lock<std::mutex> lock;

  private:
    bool failed_ = false;
    const char *function_;
    size_t index_;
};

// Waits on `cv` with the real-time bound that marks a hang.
bool WaitBounded(std::unique_lock<std::mutex> &lock, const std::function<bool()> &done);

// Sessions and window stations.
Session *FindSession(DWORD id);
Session &EnsureSession(DWORD id, const std::wstring &name = L"");
Station *FindStation(Session &session, const std::wstring &name);
Desktop *FindDesktop(Station &station, const std::wstring &name);
Desktop *EnsureDesktop(DWORD session, const std::wstring &station, const std::wstring &desktop);
HWND NewWindow(Desktop *desktop, const std::wstring &property, HANDLE value);

// Processes: a new one in `session` attached to `desktopPath` ("WinSta0\\Default").
Process *MakeProcess(DWORD session, const std::wstring &desktopPath);
void AttachThread(DWORD process, DWORD thread);
void StartProgram(Process *process, const std::wstring &commandLine);
void EndProcess(Process *process);
void JoinProcessThreads();

// Devices and their paths.
Device *FindDevice(const std::wstring &instanceId);
std::wstring BroadcastPath(const Device &device, size_t index);
std::wstring LowerPath(const Device &device, size_t index);

// Delivers a control to the handler and waits for its answer (lock held).
DWORD DeliverControl(DWORD control, DWORD eventType, void *data, std::unique_lock<std::mutex> &lock);

} // namespace core
} // namespace sim
