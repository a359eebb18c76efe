// Inside the simulated Windows: the state all modelled functions share.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "winsim/sim.h"

namespace sim
{
namespace detail
{

// Case-insensitive (ASCII) wide-string comparison key, as object names are compared.
std::wstring Upper(const std::wstring &text);
std::string Narrow(const std::wstring &text);
std::string Hex(uintptr_t value);
std::string Quote(const wchar_t *text);

struct Window {
    HWND hwnd;
    std::map<std::wstring, HANDLE> properties; // by upper-cased name
    bool hung = false;
    DWORD session = 0;
};

struct Desktop {
    std::wstring name;
    bool openFails = false;
    std::vector<Window *> windows; // enumeration order
    struct Station *station = nullptr;
};

struct Station {
    std::wstring name;
    bool openFails = false;
    std::vector<std::unique_ptr<Desktop>> desktops;
    DWORD session = 0;
};

struct Session {
    DWORD id = 0;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::vector<std::unique_ptr<Station>> stations;
};

struct Device {
    DeviceSpec spec;
    DWORD devInst = 0;
    std::vector<uintptr_t> fileHandles;
};

struct ProcessObject {
    DWORD id = 0;
    DWORD session = 0;
    Program program = Program::Exits;
    bool ended = false;
    bool terminated = false;
    ULONGLONG virtualStart = 0;
    ULONGLONG virtualEnd = 0;
    Station *station = nullptr;  // current process window station
    uintptr_t stationHandle = 0; // the handle GetProcessWindowStation gives
    DWORD firstThread = 0;
    std::thread thread;
};

struct HandleInfo {
    Kind kind;
    bool open = true;
    bool system = false; // owned by the system: never to be closed by the program
    DWORD process = 0;
    std::string openedBy;
    // What the handle refers to
    Station *station = nullptr;
    Desktop *desktop = nullptr;
    Device *device = nullptr;
    ProcessObject *processObject = nullptr;
    DWORD tokenSession = 0;
    bool tokenPrimary = false;
    bool manualReset = false;
    bool signalled = false;
    std::vector<Device *> setMembers;
    Notification notification{};
};

struct ControlRequest {
    DWORD control;
    DWORD eventType;
    void *data;
    DWORD result = 0;
    bool done = false;
};

struct State {
    // log and injection
    std::vector<Call> calls;
    std::vector<std::string> injectable;
    std::map<std::string, unsigned> failNth; // 0: always
    std::map<std::string, unsigned> callCounts;
    size_t failPosition = 0;
    // handles
    uintptr_t nextHandle = 0x1000;
    std::map<uintptr_t, HandleInfo> handles;
    std::vector<std::string> handleFaults;
    std::vector<std::string> hangFaults;
    ULONGLONG clock = 1000000;
    // event log
    std::vector<EventRecord> events;
    // service control manager
    bool startedByScm = true;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    void *handlerContext = nullptr;
    uintptr_t statusHandle = 0;
    bool dispatcherRunning = false;
    bool dispatcherReturned = false;
    bool stoppedReported = false;
    bool serviceMainReturned = false;
    std::deque<ControlRequest *> controls;
    std::vector<SERVICE_STATUS> reports;
    // devices
    std::vector<std::unique_ptr<Device>> devices;
    // sessions and processes
    std::map<DWORD, std::unique_ptr<Session>> sessions;
    DWORD consoleSession = 0xFFFFFFFF;
    bool canSetTokenSession = true;
    std::wstring programFiles = L"C:\\Program Files";
    std::wstring modulePath = L"C:\\Program Files\\HexlornS\\HexlornS.exe";
    std::map<std::wstring, Program> programs; // by upper-cased path
    std::map<DWORD, std::unique_ptr<ProcessObject>> processes;
    DWORD nextProcess = 2;
    DWORD lastProcess = 0;
    std::map<DWORD, uintptr_t> threadDesktops; // thread id -> desktop handle
    std::map<DWORD, DWORD> threadProcess;      // thread id -> process id
    std::vector<ProcessStart> starts;
    // windows
    std::map<uintptr_t, std::unique_ptr<Window>> windows;
    uintptr_t nextWindow = 0x10000;
    std::vector<std::wstring> atoms; // registered window messages, upper-cased
    std::vector<Delivery> deliveries;
    // locks
    std::map<void *, std::unique_ptr<std::mutex>> locks;
};

extern std::mutex mu;
extern std::condition_variable cv;
extern State *state;
extern EntryPoint entryPoint;

// The simulated process and thread that the calling thread belongs to.
DWORD CurrentProcess();
DWORD CurrentThread();
ProcessObject *CurrentProcessObject();

// Logs a call (mu held). Returns true when this call is to fail.
bool Enter(const char *function, const std::string &args, bool injectable = true);
void Log(const char *function, const std::string &args);

uintptr_t NewHandle(Kind kind, const char *openedBy, bool system = false);
HandleInfo *Lookup(uintptr_t value, Kind kind);
// Closes `value` as `kind` for `function`; records a fault and returns false when
// it is not an open handle of that kind.
bool Close(uintptr_t value, Kind kind, const char *function);

Session *FindSession(DWORD id);
Session &EnsureSession(DWORD id);
Station *FindStation(Session &session, const std::wstring &name);
Desktop *FindDesktop(Station &station, const std::wstring &name);
DWORD MakeProcess(DWORD session);
void AttachThread(DWORD process, DWORD thread);
DWORD DeliverControl(DWORD control, DWORD eventType, void *data, std::unique_lock<std::mutex> &lock);
void JoinProcessThreads();

} // namespace detail
} // namespace sim
