// A stand-in for the companion application, for tests only (it is not the
// maker's program). Its whole command line is a card's instance ID. It
// registers "ForceClose", gives top-level windows a property named after the
// ID (value 1) and, when such a window receives "ForceClose", logs it and lets
// go: that window's message loop ends. The process ends when every window has
// let go, or when its lifetime is over. It keeps one instance per ID in its
// session, as docs/companion-developers.md asks of the companion: a second
// start tells the running instance's window and ends.
//
// The command line must be the ID alone, so the options come from the
// environment:
//   HXCOMPANION_LOG      log file (default: next to the program, extension .log)
//   HXCOMPANION_WINDOWS  comma-separated list, one window each, by desktop:
//                        "." the desktop the program started on (the default),
//                        "NAME" a desktop NAME created on the program's window
//                        station, "STATION\NAME" an existing desktop of another
//                        window station. Two entries naming one desktop give
//                        two windows there, on one thread. (Wine 8 lists every
//                        window of a process that made one on another station's
//                        desktop under that desktop: use such an entry alone.)
//   HXCOMPANION_HANG_MS  the "ForceClose" handler sleeps this long first
//   HXCOMPANION_LIFE_MS  lifetime (default 120000)
//   HXCOMPANION_SHARED   set: no one-instance check (two processes' windows for
//                        one ID on different desktops)
//
// Log lines (UTF-8), each beginning with "pid=P":
//   start cmdline=[...] station=S desktop=D
//   window n=N hwnd=H desktop=STATION\NAME
//   ready
//   forceclose n=N hwnd=H wparam=W lparam=L sent=0|1
//   letgo n=N
//   exit reason=all-let-go|lifetime
//   again told=0|1       (a second start for the ID: it told the running
//                        instance's window and ends)
//   startedagain n=N     (window N was told of a second start)
#include "hxcommon.h"

static HANDLE logFile = INVALID_HANDLE_VALUE;
static CRITICAL_SECTION logLock;
static UINT forceClose = 0;
static DWORD hangMs = 0;
static const wchar_t *instanceId = L"";
static const UINT kStartedAgain = WM_APP + 1;

static void Log(const wchar_t *format, ...)
{
    wchar_t line[2048];
    int prefix = _snwprintf(line, 64, L"pid=%lu ", GetCurrentProcessId());
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(line + prefix, sizeof line / sizeof line[0] - prefix - 2, format, args);
    va_end(args);
    if (length < 0) {
        length = static_cast<int>(sizeof line / sizeof line[0]) - prefix - 2;
    }
    length += prefix;
    line[length++] = L'\n';
    line[length] = L'\0';
    EnterCriticalSection(&logLock);
    HxWriteUtf8(logFile, line, length);
    FlushFileBuffers(logFile);
    LeaveCriticalSection(&logLock);
}

static void ObjectName(HANDLE object, wchar_t *name, DWORD chars)
{
    name[0] = L'\0';
    DWORD needed = 0;
    if (object == NULL || !GetUserObjectInformationW(object, UOI_NAME, name, chars * sizeof(wchar_t), &needed)) {
        wcscpy(name, L"?");
    }
}

struct WindowSpec {
    wchar_t desktop[256]; // "." or NAME or STATION\NAME
    int first;            // number of the first window of this thread
    int count;            // windows on this desktop
    HANDLE created;       // signalled once the windows exist (or failed)
    HANDLE thread;
};

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == forceClose && forceClose != 0) {
        int number = static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(window, L"HxNumber")));
        DWORD flags = InSendMessageEx(NULL);
        Log(L"forceclose n=%d hwnd=%p wparam=%Iu lparam=%Id sent=%d", number, window, wParam, lParam,
            (flags & ISMEX_SEND) ? 1 : 0);
        if (hangMs != 0) {
            Sleep(hangMs);
        }
        Log(L"letgo n=%d", number);
        PostQuitMessage(0);
        return 0;
    }
    if (message == kStartedAgain) {
        Log(L"startedagain n=%d", static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(window, L"HxNumber"))));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static DWORD WINAPI WindowThread(LPVOID parameter)
{
    WindowSpec *spec = static_cast<WindowSpec *>(parameter);
    HWINSTA ownStation = GetProcessWindowStation();
    HWINSTA otherStation = NULL;
    HDESK desktop = NULL;
    wchar_t *separator = wcschr(spec->desktop, L'\\');
    if (separator != NULL) {
        // A desktop of another window station: the property's atom and the
        // desktop are looked up on the station the process is attached to.
        *separator = L'\0';
        otherStation = OpenWindowStationW(spec->desktop, FALSE, MAXIMUM_ALLOWED);
        *separator = L'\\';
        if (otherStation == NULL || !SetProcessWindowStation(otherStation)) {
            Log(L"error station=%ls error=%lu", spec->desktop, GetLastError());
            SetEvent(spec->created);
            return 1;
        }
        desktop = OpenDesktopW(separator + 1, 0, FALSE, MAXIMUM_ALLOWED);
    } else if (wcscmp(spec->desktop, L".") != 0) {
        desktop = CreateDesktopW(spec->desktop, NULL, NULL, 0, GENERIC_ALL, NULL);
    }
    if (wcscmp(spec->desktop, L".") != 0 && (desktop == NULL || !SetThreadDesktop(desktop))) {
        Log(L"error desktop=%ls error=%lu", spec->desktop, GetLastError());
        if (otherStation != NULL) {
            SetProcessWindowStation(ownStation);
        }
        SetEvent(spec->created);
        return 1;
    }
    wchar_t stationName[256], desktopName[256];
    ObjectName(GetProcessWindowStation(), stationName, 256);
    ObjectName(GetThreadDesktop(GetCurrentThreadId()), desktopName, 256);
    for (int i = 0; i < spec->count; ++i) {
        HWND window = CreateWindowExW(0, L"HxCompanionWindow", instanceId, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL,
                                      NULL, GetModuleHandleW(NULL), NULL);
        if (window == NULL) {
            Log(L"error CreateWindowExW error=%lu", GetLastError());
            continue;
        }
        if (!SetPropW(window, instanceId, reinterpret_cast<HANDLE>(1))) {
            Log(L"error SetPropW error=%lu", GetLastError());
        }
        SetPropW(window, L"HxNumber", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(spec->first + i)));
        Log(L"window n=%d hwnd=%p desktop=%ls\\%ls", spec->first + i, window, stationName, desktopName);
    }
    if (otherStation != NULL) {
        SetProcessWindowStation(ownStation);
    }
    SetEvent(spec->created);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

static BOOL CALLBACK FindIdWindow(HWND window, LPARAM found)
{
    if (GetPropW(window, instanceId) == NULL) {
        return TRUE;
    }
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

// False when another instance for the ID runs in this session: its window has
// been told, and this one ends. The mutex stays open for the process's life.
static bool FirstInstance()
{
    wchar_t name[300] = L"Local\\Hexlorn-";
    size_t length = wcslen(name);
    for (const wchar_t *c = instanceId; *c != L'\0' && length + 1 < 300; ++c) {
        name[length++] = *c == L'\\' ? L'#' : (*c >= L'a' && *c <= L'z') ? static_cast<wchar_t>(*c - 32) : *c;
    }
    name[length] = L'\0';
    HANDLE instance = CreateMutexW(NULL, FALSE, name);
    if (instance != NULL && GetLastError() != ERROR_ALREADY_EXISTS) {
        return true;
    }
    HWND running = NULL;
    EnumWindows(FindIdWindow, reinterpret_cast<LPARAM>(&running));
    if (running != NULL) {
        PostMessageW(running, kStartedAgain, 0, 0);
    }
    Log(L"again told=%d", running != NULL ? 1 : 0);
    return false;
}

int wmain(int argc, wchar_t **argv)
{
    (void)argc;
    (void)argv;
    InitializeCriticalSection(&logLock);
    wchar_t path[MAX_PATH + 8];
    DWORD length = GetEnvironmentVariableW(L"HXCOMPANION_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        length = GetModuleFileNameW(NULL, path, MAX_PATH);
        wchar_t *dot = wcsrchr(path, L'.');
        wchar_t *slash = wcsrchr(path, L'\\');
        if (dot != NULL && (slash == NULL || dot > slash)) {
            *dot = L'\0';
        }
        wcscat(path, L".log");
    }
    logFile = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);

    instanceId = GetCommandLineW();
    wchar_t stationName[256], desktopName[256];
    ObjectName(GetProcessWindowStation(), stationName, 256);
    ObjectName(GetThreadDesktop(GetCurrentThreadId()), desktopName, 256);
    Log(L"start cmdline=[%ls] station=%ls desktop=%ls", instanceId, stationName, desktopName);

    wchar_t value[64];
    if (GetEnvironmentVariableW(L"HXCOMPANION_SHARED", value, 64) == 0 && !FirstInstance()) {
        CloseHandle(logFile);
        ExitProcess(0);
    }
    if (GetEnvironmentVariableW(L"HXCOMPANION_HANG_MS", value, 64) > 0) {
        hangMs = wcstoul(value, NULL, 10);
    }
    DWORD lifeMs = 120000;
    if (GetEnvironmentVariableW(L"HXCOMPANION_LIFE_MS", value, 64) > 0) {
        lifeMs = wcstoul(value, NULL, 10);
    }
    forceClose = RegisterWindowMessageW(L"ForceClose");

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"HxCompanionWindow";
    RegisterClassW(&windowClass);

    // One thread per desktop, in the order the desktops first appear.
    static wchar_t layout[4096];
    if (GetEnvironmentVariableW(L"HXCOMPANION_WINDOWS", layout, 4096) == 0 || layout[0] == L'\0') {
        wcscpy(layout, L".");
    }
    static WindowSpec specs[32];
    int specCount = 0;
    int windowNumber = 0;
    wchar_t *context = NULL;
    for (wchar_t *item = wcstok_s(layout, L",", &context); item != NULL; item = wcstok_s(NULL, L",", &context)) {
        int found = -1;
        for (int i = 0; i < specCount; ++i) {
            if (_wcsicmp(specs[i].desktop, item) == 0) {
                found = i;
            }
        }
        if (found >= 0) {
            // Only adjacent entries may share a thread, so that numbers stay in order.
            if (found == specCount - 1) {
                specs[found].count++;
                windowNumber++;
                continue;
            }
        }
        if (specCount == 32) {
            break;
        }
        WindowSpec *spec = &specs[specCount++];
        wcsncpy(spec->desktop, item, 255);
        spec->desktop[255] = L'\0';
        spec->first = ++windowNumber;
        spec->count = 1;
    }
    // Windows are made one desktop after the other: a thread that visits
    // another window station switches the whole process for a moment.
    HANDLE threads[32];
    for (int i = 0; i < specCount; ++i) {
        specs[i].created = CreateEventW(NULL, TRUE, FALSE, NULL);
        specs[i].thread = CreateThread(NULL, 0, WindowThread, &specs[i], 0, NULL);
        threads[i] = specs[i].thread;
        WaitForSingleObject(specs[i].created, 10000);
    }
    Log(L"ready");
    DWORD waited = WaitForMultipleObjects(specCount, threads, TRUE, lifeMs);
    Log(L"exit reason=%ls", waited == WAIT_TIMEOUT ? L"lifetime" : L"all-let-go");
    CloseHandle(logFile);
    ExitProcess(0);
}
