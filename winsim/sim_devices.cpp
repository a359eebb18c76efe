// The simulated Windows: present devices, SetupAPI with its size queries,
// CreateFileW on interface paths, device notifications and broadcasts.
#include <cstddef>
#include <cstring>

#include "winsim/sim_internal.h"

const GUID KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

namespace
{
const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

bool SameGuid(const GUID &a, const GUID &b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}
} // namespace

namespace sim
{
using namespace detail;

namespace
{
Device *FindDevice(const std::wstring &instanceId)
{
    for (auto &device : state->devices) {
        if (Upper(device->spec.instanceId) == Upper(instanceId)) {
            return device.get();
        }
    }
    return nullptr;
}

std::wstring PathOf(const Device &device, int index)
{
    std::wstring id = device.spec.instanceId;
    for (auto &c : id) {
        if (c == L'\\') {
            c = L'#';
        }
    }
    return L"\\\\?\\" + id + L"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave" + std::to_wstring(index);
}

// The device and interface a SP_DEVICE_INTERFACE_DATA names (set in Reserved).
bool DecodeInterface(const HandleInfo &set, const SP_DEVICE_INTERFACE_DATA *data, Device **device, int *index)
{
    ULONG_PTR reserved = data->Reserved;
    if (reserved == 0) {
        return false;
    }
    size_t member = (reserved >> 16) - 1;
    if (member >= set.setMembers.size()) {
        return false;
    }
    *device = set.setMembers[member];
    *index = static_cast<int>(reserved & 0xFFFF);
    return true;
}

Device *MemberOf(const HandleInfo &set, const SP_DEVINFO_DATA *info)
{
    for (Device *device : set.setMembers) {
        if (device->devInst == info->DevInst) {
            return device;
        }
    }
    return nullptr;
}
} // namespace

void AddDevice(const DeviceSpec &spec)
{
    std::lock_guard<std::mutex> lock(mu);
    auto device = std::make_unique<Device>();
    device->spec = spec;
    device->devInst = static_cast<DWORD>(state->devices.size() + 1);
    state->devices.push_back(std::move(device));
}

void SetDevicePresent(const std::wstring &instanceId, bool present)
{
    std::lock_guard<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    if (device != nullptr) {
        device->spec.present = present;
    }
}

std::wstring InterfacePath(const std::wstring &instanceId, int index)
{
    std::lock_guard<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    if (device == nullptr) {
        Device stand;
        stand.spec.instanceId = instanceId;
        return PathOf(stand, index);
    }
    return PathOf(*device, index);
}

std::vector<HANDLE> DeviceHandles(const std::wstring &instanceId)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<HANDLE> out;
    Device *device = FindDevice(instanceId);
    if (device != nullptr) {
        for (uintptr_t value : device->fileHandles) {
            out.push_back(reinterpret_cast<HANDLE>(value));
        }
    }
    return out;
}

std::vector<Notification> Notifications()
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<Notification> out;
    for (auto &entry : state->handles) {
        if (entry.second.kind == Kind::DeviceNotification) {
            Notification n = entry.second.notification;
            n.open = entry.second.open;
            out.push_back(n);
        }
    }
    return out;
}

DWORD SendInterfaceBroadcast(DWORD eventType, const std::wstring &interfacePath)
{
    std::unique_lock<std::mutex> lock(mu);
    bool registered = false;
    for (auto &entry : state->handles) {
        const HandleInfo &info = entry.second;
        if (info.kind == Kind::DeviceNotification && info.open &&
            info.notification.deviceType == DBT_DEVTYP_DEVICEINTERFACE &&
            ((info.notification.flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) ||
             SameGuid(info.notification.classGuid, KSCATEGORY_AUDIO))) {
            registered = true;
        }
    }
    if (!registered) {
        return kNotDelivered;
    }
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (interfacePath.size() + 1) * sizeof(WCHAR);
    std::vector<unsigned char> buffer(
        size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) : size);
    auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(buffer.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = KSCATEGORY_AUDIO;
    wmemcpy(record->dbcc_name, interfacePath.c_str(), interfacePath.size() + 1);
    return DeliverControl(SERVICE_CONTROL_DEVICEEVENT, eventType, record, lock);
}

DWORD SendHandleBroadcast(DWORD eventType, HANDLE handle)
{
    std::unique_lock<std::mutex> lock(mu);
    std::vector<uintptr_t> targets;
    for (auto &entry : state->handles) {
        const HandleInfo &info = entry.second;
        if (info.kind == Kind::DeviceNotification && info.open && info.notification.deviceType == DBT_DEVTYP_HANDLE &&
            info.notification.fileHandle == handle) {
            targets.push_back(entry.first);
        }
    }
    DWORD result = kNotDelivered;
    for (uintptr_t notification : targets) {
        DEV_BROADCAST_HANDLE record;
        memset(&record, 0, sizeof record);
        record.dbch_size = sizeof record;
        record.dbch_devicetype = DBT_DEVTYP_HANDLE;
        record.dbch_handle = handle;
        record.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(notification);
        result = DeliverControl(SERVICE_CONTROL_DEVICEEVENT, eventType, &record, lock);
    }
    return result;
}

} // namespace sim

using namespace sim;
using namespace sim::detail;

HDEVINFO SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("SetupDiGetClassDevsW",
              std::string(classGuid && SameGuid(*classGuid, KSCATEGORY_AUDIO) ? "KSCATEGORY_AUDIO" : "other") + ", " +
                  Quote(enumerator) + ", " + Hex(reinterpret_cast<uintptr_t>(parent)) + ", " + Hex(flags))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<Device *> members;
    bool wanted = classGuid != nullptr && SameGuid(*classGuid, KSCATEGORY_AUDIO) && (flags & DIGCF_DEVICEINTERFACE);
    if (enumerator != nullptr && FindDevice(enumerator) == nullptr) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return INVALID_HANDLE_VALUE;
    }
    for (auto &device : state->devices) {
        if (!wanted || device->spec.audioInterfaces <= 0) {
            continue;
        }
        if ((flags & DIGCF_PRESENT) && !device->spec.present) {
            continue;
        }
        if (enumerator != nullptr && Upper(enumerator) != Upper(device->spec.instanceId)) {
            continue;
        }
        members.push_back(device.get());
    }
    uintptr_t value = NewHandle(Kind::DeviceInfoSet, "SetupDiGetClassDevsW");
    state->handles[value].setMembers = members;
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA info)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(set);
    if (Enter("SetupDiEnumDeviceInfo", Hex(value) + ", " + std::to_string(memberIndex))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HandleInfo *setInfo = Lookup(value, Kind::DeviceInfoSet);
    if (setInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (memberIndex >= setInfo->setMembers.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    info->ClassGuid = kMediaClass;
    info->DevInst = setInfo->setMembers[memberIndex]->devInst;
    info->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property, PDWORD regType,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(set);
    if (Enter("SetupDiGetDeviceRegistryPropertyW", Hex(value) + ", " + std::to_string(property) + ", " +
                                                       (buffer ? "buffer" : "NULL") + ", " +
                                                       std::to_string(bufferSize))) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    HandleInfo *setInfo = Lookup(value, Kind::DeviceInfoSet);
    Device *device = setInfo && info ? MemberOf(*setInfo, info) : nullptr;
    if (device == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (property != SPDRP_HARDWAREID || device->spec.hardwareIdsUnreadable || device->spec.hardwareIds.empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::wstring list;
    for (const auto &id : device->spec.hardwareIds) {
        list += id;
        list += L'\0';
    }
    list += L'\0';
    if (device->spec.hardwareIdsUnterminated) {
        while (!list.empty() && list.back() == L'\0') {
            list.pop_back();
        }
    }
    DWORD bytes = static_cast<DWORD>(list.size() * sizeof(WCHAR));
    if (requiredSize != nullptr) {
        *requiredSize = bytes;
    }
    if (buffer == nullptr || bufferSize < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, list.data(), bytes);
    if (regType != nullptr) {
        *regType = 7; // REG_MULTI_SZ
    }
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA info, PWSTR id, DWORD idSize, PDWORD requiredSize)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(set);
    if (Enter("SetupDiGetDeviceInstanceIdW",
              Hex(value) + ", " + (id ? "buffer" : "NULL") + ", " + std::to_string(idSize))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HandleInfo *setInfo = Lookup(value, Kind::DeviceInfoSet);
    Device *device = setInfo && info ? MemberOf(*setInfo, info) : nullptr;
    if (device == nullptr || device->spec.instanceIdUnreadable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(device->spec.instanceId.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = need;
    }
    if (id == nullptr || idSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wmemcpy(id, device->spec.instanceId.c_str(), need);
    return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID *interfaceClass, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(set);
    if (Enter("SetupDiEnumDeviceInterfaces",
              Hex(value) + ", " + (info ? "info" : "NULL") + ", " +
                  (interfaceClass && SameGuid(*interfaceClass, KSCATEGORY_AUDIO) ? "KSCATEGORY_AUDIO" : "other") +
                  ", " + std::to_string(memberIndex))) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    HandleInfo *setInfo = Lookup(value, Kind::DeviceInfoSet);
    if (setInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (interfaceClass == nullptr || !SameGuid(*interfaceClass, KSCATEGORY_AUDIO)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t m = 0; m < setInfo->setMembers.size(); ++m) {
        Device *device = setInfo->setMembers[m];
        if (info != nullptr && info->DevInst != device->devInst) {
            continue;
        }
        for (int i = 0; i < device->spec.audioInterfaces; ++i) {
            if (seen++ == memberIndex) {
                interfaceData->InterfaceClassGuid = KSCATEGORY_AUDIO;
                interfaceData->Flags = 1; // SPINT_ACTIVE
                interfaceData->Reserved = ((m + 1) << 16) | static_cast<ULONG_PTR>(i);
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA info)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(set);
    if (Enter("SetupDiGetDeviceInterfaceDetailW", Hex(value) + ", " + (detail ? "detail" : "NULL") + ", " +
                                                      std::to_string(detailSize) + ", " + (info ? "info" : "NULL"))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HandleInfo *setInfo = Lookup(value, Kind::DeviceInfoSet);
    Device *device = nullptr;
    int index = 0;
    if (setInfo == nullptr || interfaceData == nullptr || !DecodeInterface(*setInfo, interfaceData, &device, &index)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::wstring path = PathOf(*device, index);
    DWORD need =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
    if (detail == nullptr && detailSize != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (requiredSize != nullptr) {
        *requiredSize = need;
    }
    if (detail == nullptr || detailSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (device->spec.interfacePathUnreadable) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    wmemcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(set);
    if (Enter("SetupDiDestroyDeviceInfoList", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Close(value, Kind::DeviceInfoSet, "SetupDiDestroyDeviceInfoList")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL SetupDiClassGuidsFromNameW(PCWSTR className, LPGUID guidList, DWORD guidListSize, PDWORD requiredSize)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("SetupDiClassGuidsFromNameW", Quote(className) + ", " + std::to_string(guidListSize))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool media = className != nullptr && Upper(className) == L"MEDIA";
    if (requiredSize != nullptr) {
        *requiredSize = media ? 1 : 0;
    }
    if (media && guidListSize >= 1 && guidList != nullptr) {
        guidList[0] = kMediaClass;
    }
    return TRUE;
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    std::lock_guard<std::mutex> lock(mu);
    if (Enter("CreateFileW", Quote(fileName) + ", " + Hex(desiredAccess) + ", " + Hex(shareMode) + ", " +
                                 (attributes ? "attributes" : "NULL") + ", " + std::to_string(creationDisposition) +
                                 ", " + Hex(flagsAndAttributes) + ", " +
                                 Hex(reinterpret_cast<uintptr_t>(templateFile)))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    for (auto &device : state->devices) {
        for (int i = 0; i < device->spec.audioInterfaces; ++i) {
            if (fileName == nullptr || Upper(PathOf(*device, i)) != Upper(fileName)) {
                continue;
            }
            if (!device->spec.present || device->spec.openFails) {
                SetLastError(ERROR_PATH_NOT_FOUND);
                return INVALID_HANDLE_VALUE;
            }
            uintptr_t value = NewHandle(Kind::File, "CreateFileW");
            state->handles[value].device = device.get();
            device->fileHandles.push_back(value);
            return reinterpret_cast<HANDLE>(value);
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID notificationFilter, DWORD flags)
{
    std::lock_guard<std::mutex> lock(mu);
    auto *header = static_cast<DEV_BROADCAST_HDR *>(notificationFilter);
    std::string args = Hex(reinterpret_cast<uintptr_t>(recipient)) + ", ";
    if (header != nullptr) {
        args += "type " + std::to_string(header->dbch_devicetype) + " size " + std::to_string(header->dbch_size);
        if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            args +=
                " handle " +
                Hex(reinterpret_cast<uintptr_t>(static_cast<DEV_BROADCAST_HANDLE *>(notificationFilter)->dbch_handle));
        }
    }
    args += ", " + Hex(flags);
    if (Enter("RegisterDeviceNotificationW", args)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    uintptr_t recipientValue = reinterpret_cast<uintptr_t>(recipient);
    if (!(flags & DEVICE_NOTIFY_SERVICE_HANDLE) || recipientValue == 0 || recipientValue != state->statusHandle ||
        header == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    Notification n{};
    n.recipient = recipient;
    n.flags = flags;
    n.deviceType = header->dbch_devicetype;
    n.filterSize = header->dbch_size;
    if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
        auto *filter = static_cast<DEV_BROADCAST_HANDLE *>(notificationFilter);
        if (header->dbch_size != sizeof(DEV_BROADCAST_HANDLE) ||
            Lookup(reinterpret_cast<uintptr_t>(filter->dbch_handle), Kind::File) == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return NULL;
        }
        n.fileHandle = filter->dbch_handle;
    } else if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        auto *filter = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(notificationFilter);
        if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
            SetLastError(ERROR_INVALID_DATA);
            return NULL;
        }
        n.classGuid = filter->dbcc_classguid;
    } else {
        SetLastError(ERROR_INVALID_DATA);
        return NULL;
    }
    uintptr_t value = NewHandle(Kind::DeviceNotification, "RegisterDeviceNotificationW");
    n.value = value;
    n.open = true;
    state->handles[value].notification = n;
    return reinterpret_cast<HDEVNOTIFY>(value);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    std::lock_guard<std::mutex> lock(mu);
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (Enter("UnregisterDeviceNotification", Hex(value))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Close(value, Kind::DeviceNotification, "UnregisterDeviceNotification")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
