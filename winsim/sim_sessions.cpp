// The simulated Windows: terminal sessions, tokens, processes started in
// sessions, shell folders, window stations, desktops, windows and messages.
#include <cstring>

#include "winsim/sim_internal.h"

namespace sim
{
using namespace detail;

namespace
{
Window *FindWindow(HWND window)
{
    auto it = state->windows.find(reinterpret_cast<uintptr_t>(window));
    return it == state->windows.end() ? nullptr : it->second.get();
}

Desktop *EnsureDesktop(DWORD session, const std::wstring &stationName, const std::wstring &desktopName)
{
    Session &s = EnsureSession(session);
    Station *station = FindStation(s, stationName);
    if (station == nullptr) {
        auto created = std::make_unique<Station>();
        created->name = stationName;
        created->session = session;
        station = created.get();
        s.stations.push_back(std::move(created));
    }
    Desktop *desktop = FindDesktop(*station, desktopName);
    if (desktop == nullptr) {
        auto created = std::make_unique<Desktop>();
        created->name = desktopName;
        created->station = station;
        desktop = created.get();
        station->desktops.push_back(std::move(created));
    }
    return desktop;
}

HWND NewWindow(Desktop *desktop, DWORD session, const std::wstring &property, HANDLE value)
{
    auto window = std::make_unique<Window>();
    window->hwnd = reinterpret_cast<HWND>(state->nextWindow);
    state->nextWindow += 0x10;
    window->session = session;
    if (!property.empty()) {
        window->properties[Upper(property)] = value;
    }
    HWND hwnd = window->hwnd;
    desktop->windows.push_back(window.get());
    state->windows[reinterpret_cast<uintptr_t>(hwnd)] = std::move(window);
    return hwnd;
}

// The program a process runs, started on a thread of its own.
void RunProgram(ProcessObject *process, const std::wstring &commandLine)
{
    switch (process->program) {
    case Program::Helper: {
        DWORD id = process->id;
        process->thread = std::thread([id, commandLine] {
            {
                // Every simulated process shares this one address space, so
                // the program's process-wide records (the "ForceClose" number,
                // the walk's state) would be shared by helpers that run at the
                // same time; on Windows each has its own. Helpers take turns.
                static std::mutex helperTurn;
                std::lock_guard<std::mutex> turn(helperTurn);
                RunMain(commandLine, id);
            }
            std::lock_guard<std::mutex> lock(mu);
            ProcessObject *p = state->processes[id].get();
            if (!p->ended) {
                p->ended = true;
                p->virtualEnd = state->clock;
            }
            cv.notify_all();
        });
        break;
    }
    case Program::Companion: {
        // The companion gives a top-level window on WinSta0\Default the
        // property named by its command line, and runs on.
        Desktop *desktop = EnsureDesktop(process->session, L"WinSta0", L"Default");
        NewWindow(desktop, process->session, FirstWord(commandLine, L""), reinterpret_cast<HANDLE>(1));
        process->ended = true;
        process->virtualEnd = state->clock;
        break;
    }
    case Program::NeverEnds:
        break;
    case Program::Exits:
        process->ended = true;
        process->virtualEnd = state->clock;
        break;
    }
}
} // namespace

void AddSession(DWORD id, WTS_CONNECTSTATE_CLASS connectState)
{
    std::lock_guard<std::mutex> lock(mu);
    EnsureSession(id).state = connectState;
}

void SetConsoleSession(DWORD id)
{
    std::lock_guard<std::mutex> lock(mu);
    state->consoleSession = id;
}

void SetCanSetTokenSession(bool allowed)
{
    std::lock_guard<std::mutex> lock(mu);
    state->canSetTokenSession = allowed;
}

void SetProgramFilesFolder(const std::wstring &folder)
{
    std::lock_guard<std::mutex> lock(mu);
    state->programFiles = folder;
    state->programs[Upper(folder + L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe")] = Program::Companion;
}

void SetModulePath(const std::wstring &path)
{
    std::lock_guard<std::mutex> lock(mu);
    state->modulePath = path;
    state->programs[Upper(path)] = Program::Helper;
}

std::wstring ModulePath()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->modulePath;
}

std::wstring CompanionPath()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->programFiles + L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe";
}

void InstallProgram(const std::wstring &path, Program program)
{
    std::lock_guard<std::mutex> lock(mu);
    state->programs[Upper(path)] = program;
}

std::vector<ProcessStart> ProcessStarts()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->starts;
}

size_t RunningProcesses()
{
    std::lock_guard<std::mutex> lock(mu);
    size_t count = 0;
    for (auto &entry : state->processes) {
        count += entry.first != kServiceProcess && !entry.second->ended ? 1 : 0;
    }
    return count;
}

void AddWindowStation(DWORD session, const std::wstring &station)
{
    std::lock_guard<std::mutex> lock(mu);
    Session &s = EnsureSession(session);
    if (FindStation(s, station) == nullptr) {
        auto created = std::make_unique<Station>();
        created->name = station;
        created->session = session;
        s.stations.push_back(std::move(created));
    }
}

void AddDesktop(DWORD session, const std::wstring &station, const std::wstring &desktop)
{
    std::lock_guard<std::mutex> lock(mu);
    EnsureDesktop(session, station, desktop);
}

void SetWindowStationOpenFails(DWORD session, const std::wstring &station, bool fails)
{
    std::lock_guard<std::mutex> lock(mu);
    Session &s = EnsureSession(session);
    Station *found = FindStation(s, station);
    if (found != nullptr) {
        found->openFails = fails;
    }
}

void SetDesktopOpenFails(DWORD session, const std::wstring &station, const std::wstring &desktop, bool fails)
{
    std::lock_guard<std::mutex> lock(mu);
    EnsureDesktop(session, station, desktop)->openFails = fails;
}

HWND AddWindow(DWORD session, const std::wstring &station, const std::wstring &desktop, const std::wstring &property,
               HANDLE value)
{
    std::lock_guard<std::mutex> lock(mu);
    return NewWindow(EnsureDesktop(session, station, desktop), session, property, value);
}

void SetWindowHung(HWND window, bool hung)
{
    std::lock_guard<std::mutex> lock(mu);
    Window *found = FindWindow(window);
    if (found != nullptr) {
        found->hung = hung;
    }
}

UINT MessageNumber(const std::wstring &name)
{
    std::lock_guard<std::mutex> lock(mu);
    for (size_t i = 0; i < state->atoms.size(); ++i) {
        if (state->atoms[i] == Upper(name)) {
            return static_cast<UINT>(0xC000 + i);
        }
    }
    return 0;
}

std::vector<Delivery> Deliveries()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->deliveries;
}

std::vector<HWND> WindowsWithProperty(DWORD session, const std::wstring &property)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<HWND> out;
    Session *s = FindSession(session);
    if (s == nullptr) {
        return out;
    }
    for (auto &station : s->stations) {
        for (auto &desktop : station->desktops) {
            for (Window *window : desktop->windows) {
                if (window->properties.count(Upper(property)) != 0) {
                    out.push_back(window->hwnd);
                }
            }
        }
    }
    return out;
}

std::wstring ProcessWindowStationName(DWORD process)
{
    std::lock_guard<std::mutex> lock(mu);
    auto it = state->processes.find(process);
    if (it == state->processes.end() || it->second->station == nullptr) {
        return L"";
    }
    return it->second->station->name;
}

std::wstring ThreadDesktopName(DWORD process)
{
    std::lock_guard<std::mutex> lock(mu);
    auto it = state->processes.find(process);
    if (it == state->processes.end()) {
        return L"";
    }
    auto desktop = state->threadDesktops.find(it->second->firstThread);
    if (desktop == state->threadDesktops.end()) {
        return L"";
    }
    Desktop *d = state->handles[desktop->second].desktop;
    return d->station->name + L"\\" + d->name;
}

DWORD LastProcess()
{
    std::lock_guard<std::mutex> lock(mu);
    return state->lastProcess;
}

} // namespace sim

using namespace sim;
using namespace sim::detail;

// ---------------------------------------------------------------------------
// Tokens and sessions

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("OpenProcessToken", Hex(reinterpret_cast<uintptr_t>(process)) + ", " + Hex(desiredAccess))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (process != GetCurrentProcess() || token == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uintptr_t value = NewHandle(Kind::Token, "OpenProcessToken");
    ProcessObject *current = CurrentProcessObject();
    state->handles[value].tokenSession = current ? current->session : 0;
    state->handles[value].tokenPrimary = true;
    *token = reinterpret_cast<HANDLE>(value);
    return TRUE;
}

BOOL DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE newToken)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(existingToken);
    if (Enter("DuplicateTokenEx", Hex(value) + ", " + Hex(desiredAccess) + ", " + (attributes ? "attributes" : "NULL") +
                                      ", level " + std::to_string(level) + ", type " + std::to_string(type))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    HandleInfo *source = Lookup(value, Kind::Token);
    if (source == nullptr || newToken == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD session = source->tokenSession;
    uintptr_t duplicate = NewHandle(Kind::Token, "DuplicateTokenEx");
    state->handles[duplicate].tokenSession = session;
    state->handles[duplicate].tokenPrimary = type == TokenPrimary;
    *newToken = reinterpret_cast<HANDLE>(duplicate);
    return TRUE;
}

BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(token);
    std::string args = Hex(value) + ", class " + std::to_string(infoClass) + ", length " + std::to_string(length);
    if (info != nullptr && length == sizeof(DWORD)) {
        DWORD session;
        memcpy(&session, info, sizeof session);
        args += ", session " + std::to_string(session);
    }
    if (Enter("SetTokenInformation", args)) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    HandleInfo *target = Lookup(value, Kind::Token);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (infoClass != TokenSessionId || info == nullptr || length != sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!state->canSetTokenSession) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    memcpy(&target->tokenSession, info, sizeof(DWORD));
    return TRUE;
}

DWORD WTSGetActiveConsoleSessionId()
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("WTSGetActiveConsoleSessionId", "")) {
        return 0xFFFFFFFF;
    }
    return state->consoleSession;
}

BOOL WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW *sessionInfo, DWORD *count)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("WTSEnumerateSessionsW", Hex(reinterpret_cast<uintptr_t>(server)) + ", " + std::to_string(reserved) +
                                           ", " + std::to_string(version))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (reserved != 0 || version != 1 || sessionInfo == nullptr || count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t n = state->sessions.size();
    auto *array = new WTS_SESSION_INFOW[n == 0 ? 1 : n];
    size_t i = 0;
    for (auto &entry : state->sessions) {
        array[i].SessionId = entry.first;
        array[i].pWinStationName = const_cast<LPWSTR>(L"Console");
        array[i].State = entry.second->state;
        ++i;
    }
    uintptr_t value = reinterpret_cast<uintptr_t>(array);
    HandleInfo info;
    info.kind = Kind::SessionArray;
    info.process = CurrentProcess();
    info.openedBy = "WTSEnumerateSessionsW";
    state->handles[value] = info;
    *sessionInfo = array;
    *count = static_cast<DWORD>(n);
    return TRUE;
}

void WTSFreeMemory(PVOID memory)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(memory);
    Enter("WTSFreeMemory", Hex(value), false);
    if (memory == nullptr) {
        return;
    }
    if (Close(value, Kind::SessionArray, "WTSFreeMemory")) {
        delete[] static_cast<WTS_SESSION_INFOW *>(memory);
    }
}

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("SHGetSpecialFolderPathW",
              Hex(reinterpret_cast<uintptr_t>(owner)) + ", " + std::to_string(csidl) + ", " + std::to_string(create))) {
        return FALSE;
    }
    if (csidl != CSIDL_PROGRAM_FILES || path == nullptr || state->programFiles.size() >= MAX_PATH) {
        return FALSE;
    }
    wmemcpy(path, state->programFiles.c_str(), state->programFiles.size() + 1);
    return TRUE;
}

BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                          BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                          LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t tokenValue = reinterpret_cast<uintptr_t>(token);
    ProcessStart start{};
    start.token = tokenValue;
    HandleInfo *tokenInfo = Lookup(tokenValue, Kind::Token);
    start.tokenPrimary = tokenInfo != nullptr && tokenInfo->tokenPrimary;
    start.session = tokenInfo != nullptr ? tokenInfo->tokenSession : 0xFFFFFFFF;
    start.application = applicationName ? applicationName : L"";
    start.commandLine = commandLine ? commandLine : L"";
    start.commandLineWritable = commandLine != nullptr;
    start.processAttributes = processAttributes != nullptr;
    start.threadAttributes = threadAttributes != nullptr;
    start.inheritHandles = inheritHandles;
    start.creationFlags = creationFlags;
    start.environment = environment != nullptr;
    start.currentDirectory = currentDirectory != nullptr;
    if (startupInfo != nullptr) {
        start.startupCb = startupInfo->cb;
        start.desktop = startupInfo->lpDesktop ? startupInfo->lpDesktop : L"";
        STARTUPINFOW rest = *startupInfo;
        rest.cb = 0;
        rest.lpDesktop = nullptr;
        STARTUPINFOW zero;
        memset(&zero, 0, sizeof zero);
        start.startupOtherwiseZero = memcmp(&rest, &zero, sizeof zero) == 0;
    }
    bool fail = Enter("CreateProcessAsUserW", Hex(tokenValue) + ", " + Quote(applicationName) + ", " +
                                                  Quote(commandLine) + ", " + Hex(creationFlags));
    if (fail) {
        state->starts.push_back(start);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (tokenInfo == nullptr || !tokenInfo->tokenPrimary || processInformation == nullptr || startupInfo == nullptr ||
        startupInfo->cb != sizeof(STARTUPINFOW)) {
        state->starts.push_back(start);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto program = state->programs.find(Upper(start.application));
    if (program == state->programs.end()) {
        state->starts.push_back(start);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD id = MakeProcess(start.session);
    ProcessObject *process = state->processes[id].get();
    process->program = program->second;
    start.started = true;
    start.process = id;
    state->starts.push_back(start);
    state->lastProcess = id;
    uintptr_t processHandle = NewHandle(Kind::Process, "CreateProcessAsUserW");
    uintptr_t threadHandle = NewHandle(Kind::Thread, "CreateProcessAsUserW");
    state->handles[processHandle].processObject = process;
    state->handles[threadHandle].processObject = process;
    processInformation->hProcess = reinterpret_cast<HANDLE>(processHandle);
    processInformation->hThread = reinterpret_cast<HANDLE>(threadHandle);
    processInformation->dwProcessId = id;
    processInformation->dwThreadId = 0;
    RunProgram(process, start.commandLine);
    cv.notify_all();
    return TRUE;
}

// ---------------------------------------------------------------------------
// Window stations, desktops, windows

UINT RegisterWindowMessageW(LPCWSTR name)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("RegisterWindowMessageW", Quote(name))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    std::wstring key = Upper(name ? name : L"");
    for (size_t i = 0; i < state->atoms.size(); ++i) {
        if (state->atoms[i] == key) {
            return static_cast<UINT>(0xC000 + i);
        }
    }
    state->atoms.push_back(key);
    return static_cast<UINT>(0xC000 + state->atoms.size() - 1);
}

BOOL EnumWindowStationsW(WINSTAENUMPROCW callback, LPARAM lParam)
{
    std::vector<std::wstring> names;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (Enter("EnumWindowStationsW", Hex(static_cast<uintptr_t>(lParam)))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        ProcessObject *process = CurrentProcessObject();
        Session *session = process ? FindSession(process->session) : nullptr;
        if (session != nullptr) {
            for (auto &station : session->stations) {
                names.push_back(station->name);
            }
        }
    }
    BOOL result = TRUE;
    for (auto &name : names) {
        std::vector<wchar_t> buffer(name.begin(), name.end());
        buffer.push_back(L'\0');
        result = callback(buffer.data(), lParam);
        if (!result) {
            break;
        }
    }
    return result;
}

HWINSTA GetProcessWindowStation()
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("GetProcessWindowStation", "")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    ProcessObject *process = CurrentProcessObject();
    return process ? reinterpret_cast<HWINSTA>(process->stationHandle) : NULL;
}

HWINSTA OpenWindowStationW(LPCWSTR name, BOOL inherit, ACCESS_MASK desiredAccess)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("OpenWindowStationW", Quote(name) + ", " + std::to_string(inherit) + ", " + Hex(desiredAccess))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    ProcessObject *process = CurrentProcessObject();
    Session *session = process ? FindSession(process->session) : nullptr;
    Station *station = session && name ? FindStation(*session, name) : nullptr;
    if (station == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return NULL;
    }
    if (station->openFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    uintptr_t value = NewHandle(Kind::WindowStation, "OpenWindowStationW");
    state->handles[value].station = station;
    return reinterpret_cast<HWINSTA>(value);
}

BOOL SetProcessWindowStation(HWINSTA station)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(station);
    if (Enter("SetProcessWindowStation", Hex(value))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleInfo *info = Lookup(value, Kind::WindowStation);
    ProcessObject *process = CurrentProcessObject();
    if (info == nullptr || process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    process->station = info->station;
    process->stationHandle = value;
    return TRUE;
}

BOOL CloseWindowStation(HWINSTA station)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(station);
    if (Enter("CloseWindowStation", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ProcessObject *process = CurrentProcessObject();
    if (process != nullptr && process->stationHandle == value && Lookup(value, Kind::WindowStation) != nullptr) {
        // The process's own window station cannot be closed.
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    if (!Close(value, Kind::WindowStation, "CloseWindowStation")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL EnumDesktopsW(HWINSTA station, DESKTOPENUMPROCW callback, LPARAM lParam)
{
    std::vector<std::wstring> names;
    {
        std::lock_guard<std::mutex> lock(mu);
        uintptr_t value = reinterpret_cast<uintptr_t>(station);
        if (Enter("EnumDesktopsW", Hex(value) + ", " + Hex(static_cast<uintptr_t>(lParam)))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        HandleInfo *info = Lookup(value, Kind::WindowStation);
        if (info == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        for (auto &desktop : info->station->desktops) {
            names.push_back(desktop->name);
        }
    }
    BOOL result = TRUE;
    for (auto &name : names) {
        std::vector<wchar_t> buffer(name.begin(), name.end());
        buffer.push_back(L'\0');
        result = callback(buffer.data(), lParam);
        if (!result) {
            break;
        }
    }
    return result;
}

HDESK GetThreadDesktop(DWORD threadId)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("GetThreadDesktop", std::to_string(threadId))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    auto it = state->threadDesktops.find(threadId);
    if (it == state->threadDesktops.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return reinterpret_cast<HDESK>(it->second);
}

HDESK OpenDesktopW(LPCWSTR name, DWORD flags, BOOL inherit, ACCESS_MASK desiredAccess)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("OpenDesktopW",
              Quote(name) + ", " + Hex(flags) + ", " + std::to_string(inherit) + ", " + Hex(desiredAccess))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    // A desktop name is looked up in the process's current window station.
    ProcessObject *process = CurrentProcessObject();
    Desktop *desktop = process && process->station && name ? FindDesktop(*process->station, name) : nullptr;
    if (desktop == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return NULL;
    }
    if (desktop->openFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    uintptr_t value = NewHandle(Kind::Desktop, "OpenDesktopW");
    state->handles[value].desktop = desktop;
    return reinterpret_cast<HDESK>(value);
}

BOOL SetThreadDesktop(HDESK desktop)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(desktop);
    if (Enter("SetThreadDesktop", Hex(value))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleInfo *info = Lookup(value, Kind::Desktop);
    ProcessObject *process = CurrentProcessObject();
    if (info == nullptr || process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A thread can only be put on a desktop of the window station its process
    // is attached to.
    if (info->desktop->station != process->station) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    state->threadDesktops[CurrentThread()] = value;
    return TRUE;
}

BOOL CloseDesktop(HDESK desktop)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(desktop);
    if (Enter("CloseDesktop", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Lookup(value, Kind::Desktop) != nullptr) {
        for (auto &entry : state->threadDesktops) {
            if (entry.second == value) {
                // A desktop handle a thread is using cannot be closed.
                SetLastError(ERROR_BUSY);
                return FALSE;
            }
        }
    }
    if (!Close(value, Kind::Desktop, "CloseDesktop")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL EnumDesktopWindows(HDESK desktop, WNDENUMPROC callback, LPARAM lParam)
{
    std::vector<HWND> windows;
    {
        std::lock_guard<std::mutex> lock(mu);
        uintptr_t value = reinterpret_cast<uintptr_t>(desktop);
        if (Enter("EnumDesktopWindows", Hex(value) + ", " + Hex(static_cast<uintptr_t>(lParam)))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        HandleInfo *info = Lookup(value, Kind::Desktop);
        if (info == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        for (Window *window : info->desktop->windows) {
            windows.push_back(window->hwnd);
        }
    }
    for (HWND window : windows) {
        if (!callback(window, lParam)) {
            break;
        }
    }
    return TRUE;
}

HANDLE GetPropW(HWND window, LPCWSTR name)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("GetPropW", Hex(reinterpret_cast<uintptr_t>(window)) + ", " + Quote(name))) {
        return NULL;
    }
    Window *found = FindWindow(window);
    // Property names are atoms: at most 255 characters, compared without case.
    if (found == nullptr || name == nullptr || wcslen(name) > 255) {
        return NULL;
    }
    auto it = found->properties.find(Upper(name));
    return it == found->properties.end() ? NULL : it->second;
}

namespace
{
LRESULT Send(const char *function, HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT timeout, bool bounded)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter(function, Hex(reinterpret_cast<uintptr_t>(window)) + ", " + Hex(message) + ", " + std::to_string(wParam) +
                            ", " + std::to_string(lParam) + (bounded ? ", timeout " + std::to_string(timeout) : ""))) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    Window *found = FindWindow(window);
    if (found == nullptr) {
        SetLastError(1400); // ERROR_INVALID_WINDOW_HANDLE
        return 0;
    }
    Delivery delivery{window, message, wParam, lParam, CurrentProcess(), false, bounded ? timeout : 0};
    if (found->hung) {
        delivery.timedOut = true;
        state->deliveries.push_back(delivery);
        if (!bounded) {
            state->hangFaults.push_back("SendMessageW to a window that never answers");
            return 0;
        }
        state->clock += timeout;
        ProcessObject *process = CurrentProcessObject();
        if (process != nullptr) {
            process->virtualEnd = state->clock;
        }
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    state->deliveries.push_back(delivery);
    return 1;
}
} // namespace

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Send("SendMessageW", window, message, wParam, lParam, 0, false);
}

LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeout,
                            DWORD_PTR *result)
{
    (void)flags;
    if (result != nullptr) {
        *result = 0;
    }
    return Send("SendMessageTimeoutW", window, message, wParam, lParam, timeout, true);
}
