// kernel32: handles, events, waits, processes, module path, files on device
// interfaces, slim locks, the console session.
//
// Models: one handle table per process, a freed value handed out again by
// the next open (the most recently freed first); waits on events and on
// processes against the waiting process's clock; a process is signalled when
// its program has run to its end plus an exit cost, or a termination cost
// after TerminateProcess, which only starts the end and fails for a process
// that has ended already; the current-process pseudo-handle, whose value
// INVALID_HANDLE_VALUE also is (GetCurrentProcess): closing it succeeds and
// does nothing (a handle fault all the same), a wait on it does not end while
// the process runs (INFINITE never), and a program that terminates its own
// process is a fault;
// CreateFileW on the path of an active interface of a present device; slim
// locks, a thread waiting for one blocked in a call (see AdvanceTo).
// Leaves out: named objects, auto-reset events, security attributes, files
// other than device interfaces, and threads other than a process's first.
#include <chrono>
#include <cstring>

#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

namespace
{
thread_local DWORD tlsLastError = 0;
} // namespace

namespace sim
{
namespace core
{

Process *MakeProcess(DWORD sessionId, const std::wstring &desktopPath)
{
    auto process = std::make_unique<Process>();
    Process *p = process.get();
    p->id = machine->nextProcess++;
    p->session = sessionId;
    p->created = Clock();
    p->clock = p->created + machine->costs.processStart;
    size_t slash = desktopPath.find(L'\\');
    Desktop *desktop = EnsureDesktop(sessionId, desktopPath.substr(0, slash),
                                     slash == std::wstring::npos ? L"Default" : desktopPath.substr(slash + 1));
    p->station = desktop->station;
    p->startDesktop = desktop;
    machine->processes[p->id] = std::move(process);
    p->stationHandle = Insert(p->id, Kind::WindowStation, p->station, "process start", true);
    return p;
}

void AttachThread(DWORD processId, DWORD thread)
{
    Process *p = machine->processes.at(processId).get();
    Thread &t = machine->threads[thread];
    t.process = processId;
    Desktop *desktop = p->startDesktop;
    if (p->firstThread == 0) {
        p->firstThread = thread;
    }
    if (desktop != nullptr) {
        t.desktop = desktop;
        t.desktopHandle = Insert(processId, Kind::Desktop, desktop, "thread start", true);
    }
}

void EndProcess(Process *p)
{
    p->done = true;
    if (!p->terminated) {
        p->end = p->clock + machine->costs.processExit;
    }
    cv.notify_all();
}

void StartProgram(Process *p, const std::wstring &commandLine)
{
    switch (p->program) {
    case Program::EntryPoint: {
        DWORD id = p->id;
        p->thread = std::thread([id, commandLine] {
            {
                // Every simulated process shares this one address space, so
                // the program's process-wide records would be shared by copies
                // that run at the same time; on Windows each has its own. The
                // copies take turns.
                static std::mutex turn;
                std::lock_guard<std::mutex> mine(turn);
                RunMain(commandLine, id);
            }
            std::lock_guard<std::mutex> lock(mu);
            EndProcess(machine->processes.at(id).get());
        });
        break;
    }
    case Program::Companion: {
        NewWindow(p->startDesktop, FirstWord(commandLine, L""), reinterpret_cast<HANDLE>(1));
        EndProcess(p);
        break;
    }
    case Program::NeverEnds:
        break;
    case Program::Exits:
        EndProcess(p);
        break;
    }
}

void JoinProcessThreads()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto &entry : machine->processes) {
            if (entry.second->thread.joinable()) {
                threads.push_back(std::move(entry.second->thread));
            }
        }
    }
    for (auto &thread : threads) {
        thread.join();
    }
}

} // namespace core

DWORD NewProcess(DWORD session)
{
    std::lock_guard<std::mutex> lock(mu);
    return MakeProcess(session, L"WinSta0\\Default")->id;
}

int RunProcess(const std::wstring &commandLine, DWORD session)
{
    DWORD id = NewProcess(session);
    int code = -1;
    std::thread([&] { code = RunMain(commandLine, id); }).join();
    std::lock_guard<std::mutex> lock(mu);
    EndProcess(machine->processes.at(id).get());
    return code;
}

void InstallProgram(const std::wstring &path, Program program)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->programs[Upper(path)] = program;
}

void SetModulePath(const std::wstring &path)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->modulePath = path;
}

std::wstring ModulePath()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->modulePath;
}

std::vector<ProcessStart> ProcessStarts()
{
    std::lock_guard<std::mutex> lock(mu);
    return machine->starts;
}

std::vector<ProcessLife> Processes()
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<ProcessLife> out;
    for (auto &entry : machine->processes) {
        const Process &p = *entry.second;
        if (p.id != kServiceProcess) {
            out.push_back({p.id, p.session, p.application, p.created, p.end, p.terminated});
        }
    }
    return out;
}

size_t RunningProcesses()
{
    size_t count = 0;
    for (const auto &life : Processes()) {
        count += life.ended == kForever ? 1 : 0;
    }
    return count;
}

} // namespace sim

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
    Entry e("CloseHandle", {{"hObject", Handle(object)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (object == GetCurrentProcess()) {
        // A pseudo-handle: closing it does nothing. A program that closes it
        // took it for a handle it had opened.
        machine->handleFaults.push_back("CloseHandle: INVALID_HANDLE_VALUE, the current process, closed");
        return TRUE;
    }
    Slot *slot = FindSlot(CurrentProcessId(), reinterpret_cast<uintptr_t>(object));
    Kind kind = slot == nullptr ? Kind::Event : slot->kind;
    if (kind == Kind::WindowStation || kind == Kind::Desktop || kind == Kind::DeviceInfoSet ||
        kind == Kind::DeviceNotification || kind == Kind::EventSource || kind == Kind::SessionArray ||
        kind == Kind::ServiceStatus) {
        machine->handleFaults.push_back(std::string("CloseHandle: ") + Render(Handle(object)) + " is a " +
                                        KindName(kind) + " handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Remove(object, kind, "CloseHandle") ? TRUE : FALSE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    Entry e("CreateEventW", {{"lpEventAttributes", Handle(attributes)},
                             {"bManualReset", Bool(manualReset)},
                             {"bInitialState", Bool(initialState)},
                             {"lpName", Text(name)}});
    if (e.Failed()) {
        return NULL;
    }
    auto *event = Make<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    return reinterpret_cast<HANDLE>(Insert(Kind::Event, event, "CreateEventW"));
}

BOOL SetEvent(HANDLE handle)
{
    Entry e("SetEvent", {{"hEvent", Handle(handle)}});
    auto *event = e.Failed() ? nullptr : Found<EventObject>(handle, Kind::Event);
    if (event == nullptr) {
        return FALSE;
    }
    event->signalled = true;
    cv.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    Entry e("WaitForSingleObject", {{"hHandle", Handle(object)}, {"dwMilliseconds", Timeout(milliseconds)}});
    if (e.Failed()) {
        return WAIT_FAILED;
    }
    ULONGLONG now = Clock();
    ULONGLONG deadline = milliseconds == INFINITE ? kForever : now + milliseconds;
    if (object == GetCurrentProcess()) {
        // The process waits for its own end: it is not signalled while the
        // process runs, and the wait does not end before its timeout.
        if (milliseconds == INFINITE) {
            machine->hangFaults.push_back("WaitForSingleObject(INFINITE) on the current process");
            return WAIT_FAILED;
        }
        AdvanceTo(e.lock, deadline);
        return WAIT_TIMEOUT;
    }
    if (auto *event = Find<EventObject>(object, Kind::Event)) {
        auto set = [event] { return event->signalled; };
        if (milliseconds != INFINITE) {
            return AdvanceTo(e.lock, deadline, set) ? WAIT_TIMEOUT : WAIT_OBJECT_0;
        }
        Blocked blocked(set);
        if (!WaitBounded(e.lock, set)) {
            machine->hangFaults.push_back("WaitForSingleObject(INFINITE) on an event that is never set");
            return WAIT_FAILED;
        }
        return WAIT_OBJECT_0;
    }
    Process *p = Found<Process>(object, Kind::Process);
    if (p == nullptr) {
        return WAIT_FAILED;
    }
    // Wait (in real time) until it is known whether the process is signalled
    // by the deadline: it has run to its end or been ended, or it never ends,
    // or its own clock has gone past the deadline. That depends on the other
    // process alone, so the waiting thread holds its own clock meanwhile.
    if (!WaitBounded(e.lock, [&] {
            return p->done || p->terminated || p->program == Program::NeverEnds || p->clock > deadline;
        })) {
        machine->hangFaults.push_back("WaitForSingleObject on a process that neither ends nor moves on");
        return WAIT_FAILED;
    }
    if (p->end <= deadline) {
        AdvanceTo(e.lock, std::max(now, p->end));
        return WAIT_OBJECT_0;
    }
    if (milliseconds == INFINITE) {
        machine->hangFaults.push_back("WaitForSingleObject(INFINITE) on a process that never ends");
        return WAIT_FAILED;
    }
    AdvanceTo(e.lock, deadline);
    return WAIT_TIMEOUT;
}

ULONGLONG GetTickCount64()
{
    std::lock_guard<std::mutex> lock(mu);
    return Clock();
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

DWORD GetCurrentThreadId()
{
    return core::CurrentThreadId();
}

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    Entry e("TerminateProcess", {{"hProcess", Handle(process)}, {"uExitCode", Number(exitCode)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (process == GetCurrentProcess()) {
        machine->hangFaults.push_back("TerminateProcess of the current process: the program ends itself");
        return FALSE;
    }
    Process *p = Found<Process>(process, Kind::Process);
    if (p == nullptr) {
        return FALSE;
    }
    ULONGLONG now = Clock();
    WaitBounded(e.lock, [&] { return p->done || p->terminated || p->program == Program::NeverEnds || p->clock > now; });
    if (p->end <= now) {
        // A process that has ended cannot be terminated.
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!p->terminated) {
        p->terminated = true;
        p->end = std::min(p->end, now + machine->costs.terminate);
    }
    cv.notify_all();
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size)
{
    Entry e("GetModuleFileNameW", {{"hModule", Handle(module)}, {"nSize", Number(size)}});
    if (e.Failed()) {
        return 0;
    }
    const std::wstring &path = machine->modulePath;
    if (module != NULL || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() >= size) {
        // Cut to size characters, terminator included.
        wmemcpy(filename, path.data(), size - 1);
        filename[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(filename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    Entry e("CreateFileW", {{"lpFileName", Text(fileName)},
                            {"dwDesiredAccess", Access(desiredAccess)},
                            {"dwShareMode", ShareMode(shareMode)},
                            {"lpSecurityAttributes", Handle(attributes)},
                            {"dwCreationDisposition", Disposition(creationDisposition)},
                            {"dwFlagsAndAttributes", Hex(flagsAndAttributes)},
                            {"hTemplateFile", Handle(templateFile)}});
    if (e.Failed()) {
        return INVALID_HANDLE_VALUE;
    }
    for (auto &device : machine->devices) {
        for (size_t i = 0; i < device->spec.interfaces.size(); ++i) {
            if (fileName == nullptr || Upper(LowerPath(*device, i)) != Upper(fileName)) {
                continue;
            }
            // The symbolic link of an inactive interface does not exist.
            if (!device->live[i]) {
                break;
            }
            if (!device->spec.present || device->spec.openFails) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            auto *file = Make<FileObject>();
            file->device = device.get();
            uintptr_t value = Insert(Kind::File, file, "CreateFileW");
            device->fileHandles.push_back(value);
            return reinterpret_cast<HANDLE>(value);
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

void AcquireSRWLockExclusive(PSRWLOCK lock)
{
    std::unique_lock<std::mutex> guard(mu);
    SlimLock &slim = machine->slimLocks[lock];
    if (slim.held) {
        auto free = [&slim] { return !slim.held; };
        ++slim.waiters;
        Blocked blocked(free);
        if (!WaitBounded(guard, free)) {
            machine->hangFaults.push_back("a slim lock that is never released");
        }
        --slim.waiters;
    }
    slim.held = true;
}

void ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    std::lock_guard<std::mutex> guard(mu);
    machine->slimLocks[lock].held = false;
    cv.notify_all();
}

size_t sim::LockWaiters(const SRWLOCK *lock)
{
    std::lock_guard<std::mutex> guard(mu);
    auto it = machine->slimLocks.find(lock);
    return it == machine->slimLocks.end() ? 0 : it->second.waiters;
}

DWORD WTSGetActiveConsoleSessionId()
{
    Entry e("WTSGetActiveConsoleSessionId", {});
    return e.Failed() ? kNoConsole : machine->consoleSession;
}
