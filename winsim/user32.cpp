// user32: window stations, desktops, top-level windows, properties, messages,
// and device notifications with the broadcasts the Plug and Play manager sends
// through them.
//
// Models: the window stations of the caller's session; a process attached to
// one window station, in which OpenDesktopW looks names up; a thread on one
// desktop (from its first call here), which cannot be closed while a thread
// is on it (nor the process's window station); SetThreadDesktop to a desktop of any window station of the
// session, as Windows allows (Wine refuses one of another station: see
// SetWineRules); a message reaches a window only from a thread on the
// window's desktop ("Window messages can be sent only between processes that
// are on the same desktop", the Desktops page), except under Wine's rules;
// SendMessageTimeoutW with its timeout, SMTO_ABORTIFHUNG returning at once for
// a window Windows judges hung, and each send costing its sender time;
// property names as atoms, without case, of at most 255 characters;
// registered messages numbered from 0xC000, the same for names that differ
// only in case; device notifications for a service status handle:
// interface broadcasts for the notification's class (or every class, with
// DEVICE_NOTIFY_ALL_INTERFACE_CLASSES), and handle broadcasts that carry the
// registration (dbch_hdevnotify), also after the handle was closed, and in
// dbch_handle a value that is not the registered one, or the registered one
// (SetBroadcastHandle); a handle registration on INVALID_HANDLE_VALUE, the
// current-process pseudo-handle, granted as Wine grants it and never
// announcing anything.
// Leaves out: creating window stations, desktops and windows from a program,
// child windows, security on window stations and desktops, window procedures
// and posted messages, notifications for window handles.
#include <cstddef>
#include <cstring>

#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

namespace
{

Window *FindWindow(HWND window)
{
    auto it = machine->windows.find(reinterpret_cast<uintptr_t>(window));
    return it == machine->windows.end() ? nullptr : it->second.get();
}

Thread &CurrentThread()
{
    DWORD id = core::CurrentThreadId();
    if (machine->threads.count(id) == 0) {
        AttachThread(CurrentProcessId(), id);
    }
    return machine->threads[id];
}

// Calls `callback` for each name without holding the machine's lock, as
// Windows calls an enumeration's callback on the caller's thread.
template <typename Callback, typename Item> BOOL Enumerate(const std::vector<Item> &items, Callback callback)
{
    for (const Item &item : items) {
        if (!callback(item)) {
            break;
        }
    }
    return TRUE;
}

BOOL EnumerateNames(std::unique_lock<std::mutex> &lock, const std::vector<std::wstring> &names,
                    BOOL(CALLBACK *callback)(LPWSTR, LPARAM), LPARAM lParam)
{
    lock.unlock();
    return Enumerate(names, [&](const std::wstring &name) {
        std::vector<wchar_t> buffer(name.begin(), name.end());
        buffer.push_back(L'\0');
        return callback(buffer.data(), lParam);
    });
}

DWORD Broadcast(std::unique_lock<std::mutex> &lock, DWORD eventType, const std::vector<unsigned char> &record)
{
    std::vector<unsigned char> copy(record);
    return DeliverControl(SERVICE_CONTROL_DEVICEEVENT, eventType, copy.data(), lock);
}

std::vector<unsigned char> InterfaceRecord(const std::wstring &path, const GUID &classGuid)
{
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(WCHAR);
    std::vector<unsigned char> buffer(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)));
    auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(buffer.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = classGuid;
    wmemcpy(record->dbcc_name, path.c_str(), path.size() + 1);
    return buffer;
}

// To the interface notifications of the interface's class, or of all classes.
DWORD BroadcastInterface(std::unique_lock<std::mutex> &lock, DWORD eventType, const std::wstring &path,
                         const GUID &classGuid)
{
    bool registered = false;
    for (auto &object : machine->objects) {
        auto *r = dynamic_cast<Registration *>(object.get());
        registered = registered || (r != nullptr && r->notification.open &&
                                    r->notification.deviceType == DBT_DEVTYP_DEVICEINTERFACE &&
                                    ((r->notification.flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) ||
                                     memcmp(&r->classGuid, &classGuid, sizeof(GUID)) == 0));
    }
    return registered ? Broadcast(lock, eventType, InterfaceRecord(path, classGuid)) : kNotDelivered;
}

DWORD BroadcastToRegistration(std::unique_lock<std::mutex> &lock, DWORD eventType, Registration *r)
{
    std::vector<unsigned char> buffer(sizeof(DEV_BROADCAST_HANDLE));
    auto *record = reinterpret_cast<DEV_BROADCAST_HANDLE *>(buffer.data());
    record->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
    record->dbch_devicetype = DBT_DEVTYP_HANDLE;
    // A value in no handle table of the program's, distinct per registration.
    record->dbch_handle = machine->broadcastHandle == BroadcastHandle::Registered
                              ? r->notification.fileHandle
                              : reinterpret_cast<HANDLE>(0x7FFE0000 + r->notification.value);
    record->dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(r->notification.value);
    return Broadcast(lock, eventType, buffer);
}

DWORD BroadcastToDevice(std::unique_lock<std::mutex> &lock, DWORD eventType, Device *device)
{
    std::vector<Registration *> targets;
    for (auto &object : machine->objects) {
        auto *r = dynamic_cast<Registration *>(object.get());
        if (r != nullptr && r->notification.open && r->device == device && device != nullptr) {
            targets.push_back(r);
        }
    }
    DWORD result = kNotDelivered;
    for (Registration *r : targets) {
        if (r->notification.open) {
            result = BroadcastToRegistration(lock, eventType, r);
        }
    }
    return result;
}

} // namespace

namespace sim
{

void AddWindowStation(DWORD session, const std::wstring &station)
{
    std::lock_guard<std::mutex> lock(mu);
    EnsureDesktop(session, station, L"");
}

void AddDesktop(DWORD session, const std::wstring &station, const std::wstring &desktop)
{
    std::lock_guard<std::mutex> lock(mu);
    EnsureDesktop(session, station, desktop);
}

void SetWindowStationOpenFails(DWORD session, const std::wstring &station, bool fails)
{
    std::lock_guard<std::mutex> lock(mu);
    EnsureDesktop(session, station, L"");
    FindStation(EnsureSession(session), station)->openFails = fails;
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
    return NewWindow(EnsureDesktop(session, station, desktop), property, value);
}

void SetWindowHung(HWND window, bool hung)
{
    std::lock_guard<std::mutex> lock(mu);
    FindWindow(window)->hung = hung;
}

void SetWindowBusy(HWND window, ULONGLONG milliseconds)
{
    std::lock_guard<std::mutex> lock(mu);
    FindWindow(window)->busyMs = milliseconds;
}

UINT MessageNumber(const std::wstring &name)
{
    std::lock_guard<std::mutex> lock(mu);
    for (size_t i = 0; i < machine->atoms.size(); ++i) {
        if (machine->atoms[i] == Upper(name)) {
            return static_cast<UINT>(0xC000 + i);
        }
    }
    return 0;
}

void SetBroadcastHandle(BroadcastHandle value)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->broadcastHandle = value;
}

void SetWineRules(bool wine)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->wineRules = wine;
}

std::vector<Delivery> Deliveries()
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<Delivery> out;
    for (const auto &delivery : machine->deliveries) {
        if (delivery.at < machine->processes.at(delivery.fromProcess)->end) {
            out.push_back(delivery);
        }
    }
    return out;
}

std::vector<HWND> WindowsWithProperty(DWORD sessionId, const std::wstring &property)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<HWND> out;
    for (auto &entry : machine->windows) {
        const Window &window = *entry.second;
        if (window.desktop->station->session->id == sessionId && window.properties.count(Upper(property)) != 0) {
            out.push_back(window.hwnd);
        }
    }
    return out;
}

std::wstring ProcessWindowStationName(DWORD process)
{
    std::lock_guard<std::mutex> lock(mu);
    Station *station = machine->processes.at(process)->station;
    return station == nullptr ? L"" : station->name;
}

std::wstring ThreadDesktopName(DWORD process)
{
    std::lock_guard<std::mutex> lock(mu);
    auto thread = machine->threads.find(machine->processes.at(process)->firstThread);
    if (thread == machine->threads.end() || thread->second.desktop == nullptr) {
        return L"";
    }
    Desktop *d = thread->second.desktop;
    return d->station->name + L"\\" + d->name;
}

std::vector<Notification> Notifications()
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<Notification> out;
    for (auto &object : machine->objects) {
        if (auto *r = dynamic_cast<Registration *>(object.get())) {
            out.push_back(r->notification);
        }
    }
    return out;
}

DWORD SendInterfaceBroadcast(DWORD eventType, const std::wstring &interfacePath)
{
    std::unique_lock<std::mutex> lock(mu);
    GUID classGuid = KSCATEGORY_AUDIO;
    for (auto &device : machine->devices) {
        for (size_t i = 0; i < device->spec.interfaces.size(); ++i) {
            if (Upper(BroadcastPath(*device, i)) == Upper(interfacePath)) {
                classGuid = device->spec.interfaces[i].classGuid;
            }
        }
    }
    return BroadcastInterface(lock, eventType, interfacePath, classGuid);
}

DWORD SendHandleBroadcast(DWORD eventType, const std::wstring &instanceId)
{
    std::unique_lock<std::mutex> lock(mu);
    return BroadcastToDevice(lock, eventType, FindDevice(instanceId));
}

void DeviceArrives(const std::wstring &instanceId)
{
    std::unique_lock<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    device->spec.present = true;
    device->live.assign(device->spec.interfaces.size(), false);
    for (size_t i = 0; i < device->spec.interfaces.size(); ++i) {
        if (device->spec.interfaces[i].active) {
            device->live[i] = true;
            BroadcastInterface(lock, DBT_DEVICEARRIVAL, BroadcastPath(*device, i),
                               device->spec.interfaces[i].classGuid);
        }
    }
}

void DeviceRemoved(const std::wstring &instanceId)
{
    std::unique_lock<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    device->spec.present = false;
    BroadcastToDevice(lock, DBT_DEVICEREMOVECOMPLETE, device);
    for (size_t i = 0; i < device->spec.interfaces.size(); ++i) {
        if (device->live[i]) {
            device->live[i] = false;
            BroadcastInterface(lock, DBT_DEVICEREMOVECOMPLETE, BroadcastPath(*device, i),
                               device->spec.interfaces[i].classGuid);
        }
    }
}

} // namespace sim

// ---------------------------------------------------------------------------
// Window stations and desktops

UINT RegisterWindowMessageW(LPCWSTR name)
{
    Entry e("RegisterWindowMessageW", {{"lpString", Text(name)}});
    if (e.Failed()) {
        return 0;
    }
    std::wstring key = Upper(name ? name : L"");
    for (size_t i = 0; i < machine->atoms.size(); ++i) {
        if (machine->atoms[i] == key) {
            return static_cast<UINT>(0xC000 + i);
        }
    }
    machine->atoms.push_back(key);
    return static_cast<UINT>(0xC000 + machine->atoms.size() - 1);
}

BOOL EnumWindowStationsW(WINSTAENUMPROCW callback, LPARAM lParam)
{
    Entry e("EnumWindowStationsW", {{"lParam", Hex(static_cast<uintptr_t>(lParam))}});
    if (e.Failed()) {
        return FALSE;
    }
    Charge(machine->costs.windowCall);
    std::vector<std::wstring> names;
    for (auto &station : FindSession(CurrentProcess()->session)->stations) {
        names.push_back(station->name);
    }
    return EnumerateNames(e.lock, names, callback, lParam);
}

HWINSTA GetProcessWindowStation()
{
    Entry e("GetProcessWindowStation", {});
    return e.Failed() ? NULL : reinterpret_cast<HWINSTA>(CurrentProcess()->stationHandle);
}

HWINSTA OpenWindowStationW(LPCWSTR name, BOOL inherit, ACCESS_MASK desiredAccess)
{
    Entry e("OpenWindowStationW",
            {{"lpszWinSta", Text(name)}, {"fInherit", Bool(inherit)}, {"dwDesiredAccess", Access(desiredAccess)}});
    if (e.Failed()) {
        return NULL;
    }
    Charge(machine->costs.windowCall);
    Station *station = name ? FindStation(*FindSession(CurrentProcess()->session), name) : nullptr;
    if (station == nullptr || station->openFails) {
        SetLastError(station == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return NULL;
    }
    return reinterpret_cast<HWINSTA>(Insert(Kind::WindowStation, station, "OpenWindowStationW"));
}

BOOL SetProcessWindowStation(HWINSTA handle)
{
    Entry e("SetProcessWindowStation", {{"hWinSta", Handle(handle)}});
    auto *station = e.Failed() ? nullptr : Found<Station>(handle, Kind::WindowStation);
    if (station == nullptr) {
        return FALSE;
    }
    CurrentProcess()->station = station;
    CurrentProcess()->stationHandle = reinterpret_cast<uintptr_t>(handle);
    return TRUE;
}

BOOL CloseWindowStation(HWINSTA handle)
{
    Entry e("CloseWindowStation", {{"hWinSta", Handle(handle)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (CurrentProcess()->stationHandle == reinterpret_cast<uintptr_t>(handle) &&
        Find<Station>(handle, Kind::WindowStation) != nullptr) {
        // The window station the process is attached to cannot be closed.
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    return Remove(handle, Kind::WindowStation, "CloseWindowStation");
}

BOOL EnumDesktopsW(HWINSTA handle, DESKTOPENUMPROCW callback, LPARAM lParam)
{
    Entry e("EnumDesktopsW", {{"hwinsta", Handle(handle)}, {"lParam", Hex(static_cast<uintptr_t>(lParam))}});
    auto *station = e.Failed() ? nullptr : Found<Station>(handle, Kind::WindowStation);
    if (station == nullptr) {
        return FALSE;
    }
    Charge(machine->costs.windowCall);
    std::vector<std::wstring> names;
    for (auto &desktop : station->desktops) {
        names.push_back(desktop->name);
    }
    return EnumerateNames(e.lock, names, callback, lParam);
}

HDESK GetThreadDesktop(DWORD threadId)
{
    Entry e("GetThreadDesktop", {{"dwThreadId", Number(threadId)}});
    if (threadId == core::CurrentThreadId()) {
        CurrentThread(); // the caller's first user32 call gives it its desktop
    }
    auto thread = machine->threads.find(threadId);
    if (e.Failed() || thread == machine->threads.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return reinterpret_cast<HDESK>(thread->second.desktopHandle);
}

HDESK OpenDesktopW(LPCWSTR name, DWORD flags, BOOL inherit, ACCESS_MASK desiredAccess)
{
    Entry e("OpenDesktopW", {{"lpszDesktop", Text(name)},
                             {"dwFlags", Hex(flags)},
                             {"fInherit", Bool(inherit)},
                             {"dwDesiredAccess", Access(desiredAccess)}});
    if (e.Failed()) {
        return NULL;
    }
    Charge(machine->costs.windowCall);
    // A desktop name is looked up in the process's window station.
    Station *station = CurrentProcess()->station;
    Desktop *desktop = station && name ? FindDesktop(*station, name) : nullptr;
    if (desktop == nullptr || desktop->openFails) {
        SetLastError(desktop == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return NULL;
    }
    return reinterpret_cast<HDESK>(Insert(Kind::Desktop, desktop, "OpenDesktopW"));
}

BOOL SetThreadDesktop(HDESK handle)
{
    Entry e("SetThreadDesktop", {{"hDesktop", Handle(handle)}});
    auto *desktop = e.Failed() ? nullptr : Found<Desktop>(handle, Kind::Desktop);
    if (desktop == nullptr) {
        return FALSE;
    }
    if (machine->wineRules && desktop->station != CurrentProcess()->station) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Thread &thread = CurrentThread();
    thread.desktop = desktop;
    thread.desktopHandle = reinterpret_cast<uintptr_t>(handle);
    return TRUE;
}

BOOL CloseDesktop(HDESK handle)
{
    Entry e("CloseDesktop", {{"hDesktop", Handle(handle)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (Find<Desktop>(handle, Kind::Desktop) != nullptr) {
        for (auto &entry : machine->threads) {
            if (entry.second.process == CurrentProcessId() &&
                entry.second.desktopHandle == reinterpret_cast<uintptr_t>(handle)) {
                // A desktop handle a thread is using cannot be closed.
                SetLastError(ERROR_BUSY);
                return FALSE;
            }
        }
    }
    return Remove(handle, Kind::Desktop, "CloseDesktop");
}

// ---------------------------------------------------------------------------
// Windows and messages

BOOL EnumDesktopWindows(HDESK handle, WNDENUMPROC callback, LPARAM lParam)
{
    Entry e("EnumDesktopWindows", {{"hDesktop", Handle(handle)}, {"lParam", Hex(static_cast<uintptr_t>(lParam))}});
    auto *desktop = e.Failed() ? nullptr : Found<Desktop>(handle, Kind::Desktop);
    if (desktop == nullptr) {
        return FALSE;
    }
    Charge(machine->costs.windowCall);
    std::vector<HWND> windows;
    for (Window *window : desktop->windows) {
        windows.push_back(window->hwnd);
    }
    e.lock.unlock();
    return Enumerate(windows, [&](HWND window) { return callback(window, lParam); });
}

HANDLE GetPropW(HWND hwnd, LPCWSTR name)
{
    Entry e("GetPropW", {{"hWnd", Hex(reinterpret_cast<uintptr_t>(hwnd))}, {"lpString", Text(name)}});
    if (e.Failed()) {
        return NULL;
    }
    Charge(machine->costs.windowCall);
    Window *window = FindWindow(hwnd);
    if (window == nullptr || name == nullptr || wcslen(name) > 255) {
        return NULL;
    }
    auto it = window->properties.find(Upper(name));
    return it == window->properties.end() ? NULL : it->second;
}

LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeout,
                            DWORD_PTR *result)
{
    Entry e("SendMessageTimeoutW", {{"hWnd", Hex(reinterpret_cast<uintptr_t>(hwnd))},
                                    {"Msg", Message(message)},
                                    {"wParam", Number(wParam)},
                                    {"lParam", Number(static_cast<uint64_t>(lParam))},
                                    {"fuFlags", SmtoFlags(flags)},
                                    {"uTimeout", Timeout(timeout)}});
    if (result != nullptr) {
        *result = 0;
    }
    if (e.Failed()) {
        Charge(timeout);
        return 0;
    }
    Window *window = FindWindow(hwnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!machine->wineRules && CurrentThread().desktop != window->desktop) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    Delivery delivery{hwnd, message, wParam, lParam, CurrentProcessId(), false, Clock()};
    if (window->hung && (flags & SMTO_ABORTIFHUNG)) {
        // Judged hung already: no wait, and the message is not delivered.
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    ULONGLONG takes = window->hung ? kForever : window->busyMs;
    delivery.timedOut = takes > timeout;
    machine->deliveries.push_back(delivery);
    if (delivery.timedOut) {
        Charge(timeout);
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    Charge(takes + machine->costs.send);
    return 1;
}

// ---------------------------------------------------------------------------
// Device notifications

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags)
{
    auto *header = static_cast<DEV_BROADCAST_HDR *>(filter);
    std::vector<Arg> args = {{"hRecipient", Handle(recipient)}};
    if (header != nullptr) {
        args.push_back({"dbch_devicetype", DeviceType(header->dbch_devicetype)});
        args.push_back({"dbch_size", Number(header->dbch_size)});
        if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            args.push_back({"dbch_handle", Handle(static_cast<DEV_BROADCAST_HANDLE *>(filter)->dbch_handle)});
        } else if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            args.push_back(
                {"dbcc_classguid", Guid(&static_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(filter)->dbcc_classguid)});
        }
    }
    args.push_back({"Flags", NotifyFlags(flags)});
    Entry e("RegisterDeviceNotificationW", args);
    if (e.Failed()) {
        return NULL;
    }
    if (!(flags & DEVICE_NOTIFY_SERVICE_HANDLE) || recipient == nullptr ||
        reinterpret_cast<uintptr_t>(recipient) != machine->statusHandle || header == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    auto *r = Make<Registration>();
    Notification &n = r->notification;
    n.process = CurrentProcessId();
    n.flags = flags;
    n.deviceType = header->dbch_devicetype;
    if (n.deviceType == DBT_DEVTYP_HANDLE) {
        auto *handleFilter = static_cast<DEV_BROADCAST_HANDLE *>(filter);
        auto *file = Find<FileObject>(handleFilter->dbch_handle, Kind::File);
        // The pseudo-handle names the process, no device: Wine grants the
        // registration, and nothing is ever announced through it.
        bool pseudo = handleFilter->dbch_handle == INVALID_HANDLE_VALUE;
        if (header->dbch_size != sizeof(DEV_BROADCAST_HANDLE) || (file == nullptr && !pseudo)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return NULL;
        }
        n.fileHandle = handleFilter->dbch_handle;
        r->device = pseudo ? nullptr : file->device;
        n.device = pseudo ? L"" : file->device->spec.instanceId;
    } else if (n.deviceType != DBT_DEVTYP_DEVICEINTERFACE ||
               header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        SetLastError(ERROR_INVALID_DATA);
        return NULL;
    } else {
        r->classGuid = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(filter)->dbcc_classguid;
    }
    n.value = Insert(Kind::DeviceNotification, r, "RegisterDeviceNotificationW");
    n.open = true;
    return reinterpret_cast<HDEVNOTIFY>(n.value);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    Entry e("UnregisterDeviceNotification", {{"Handle", Handle(handle)}});
    auto *r = Find<Registration>(handle, Kind::DeviceNotification);
    if (e.Failed() || !Remove(handle, Kind::DeviceNotification, "UnregisterDeviceNotification")) {
        return FALSE;
    }
    r->notification.open = false;
    return TRUE;
}
