// setupapi: the devices the Plug and Play manager knows, their device
// interfaces, and the SetupAPI calls that list and read them.
//
// Models: device information sets of the devices that expose an interface of
// a class, or of the one device an instance ID names, whatever its case; with DIGCF_PRESENT only
// present devices and their active interfaces, without it also interfaces
// that are registered but not active (left by an earlier driver, or not yet
// enabled), which come without SPINT_ACTIVE in Flags; the size queries, which
// fail with ERROR_INSUFFICIENT_BUFFER and give the size; interface paths in
// lower case; the "Media" setup class.
// Leaves out: device properties other than the hardware IDs, class
// installers, device nodes and their parents, remote machines.
#include <cstddef>
#include <cstring>

#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

const GUID KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

namespace sim
{

const GUID kRenderClass = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kTopologyClass = {0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}};

namespace core
{
namespace
{
const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

bool SameGuid(const GUID &a, const GUID &b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::wstring Lower(std::wstring text)
{
    for (auto &c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + 0x20);
        }
    }
    return text;
}

// "\\?\" + the instance ID with "#" for "\" + "#" + the class + "\" + the reference.
std::wstring Path(const std::wstring &instanceId, const Interface &iface)
{
    std::wstring id = instanceId;
    for (auto &c : id) {
        c = c == L'\\' ? L'#' : c;
    }
    wchar_t guid[40];
    const GUID &g = iface.classGuid;
    swprintf(guid, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3, g.Data4[0],
             g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return L"\\\\?\\" + id + L"#" + guid + L"\\" + iface.reference;
}

Device StandIn(const std::wstring &instanceId)
{
    Device device;
    device.spec.instanceId = instanceId;
    return device;
}

Device *MemberOf(const DeviceSet &set, const SP_DEVINFO_DATA *info)
{
    for (Device *device : set.members) {
        if (info != nullptr && device->devInst == info->DevInst) {
            return device;
        }
    }
    return nullptr;
}
} // namespace

// A device's instance ID names its key in the device registry, and "Key names
// are not case sensitive" (Structure of the Registry): an ID finds its device
// whatever its case, as the ID derived from an arrival (whose instance part is
// in lower case) must.
Device *FindDevice(const std::wstring &instanceId)
{
    for (auto &device : machine->devices) {
        if (Upper(device->spec.instanceId) == Upper(instanceId)) {
            return device.get();
        }
    }
    return nullptr;
}

std::wstring LowerPath(const Device &device, size_t index)
{
    return Lower(Path(device.spec.instanceId, device.spec.interfaces.at(index)));
}

std::wstring BroadcastPath(const Device &device, size_t index)
{
    // Upper case through the enumerator and the device part of the ID, lower
    // case from the "#" that begins its instance part.
    std::wstring path = LowerPath(device, index);
    size_t instance = path.find(L'#', path.find(L'#', 4) + 1);
    return Upper(path.substr(0, instance)) + path.substr(instance);
}

} // namespace core

void AddDevice(const DeviceSpec &spec)
{
    std::lock_guard<std::mutex> lock(mu);
    auto device = std::make_unique<Device>();
    device->spec = spec;
    for (const auto &iface : spec.interfaces) {
        device->live.push_back(spec.present && iface.active);
    }
    device->devInst = static_cast<DWORD>(machine->devices.size() + 1);
    machine->devices.push_back(std::move(device));
}

void SetDevicePresent(const std::wstring &instanceId, bool present)
{
    std::lock_guard<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    device->spec.present = present;
    for (size_t i = 0; i < device->live.size(); ++i) {
        device->live[i] = present && device->spec.interfaces[i].active;
    }
}

std::wstring InterfacePath(const std::wstring &instanceId, size_t index)
{
    std::lock_guard<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    return device ? BroadcastPath(*device, index) : BroadcastPath(StandIn(instanceId), index);
}

std::wstring SetupApiPath(const std::wstring &instanceId, size_t index)
{
    std::lock_guard<std::mutex> lock(mu);
    Device *device = FindDevice(instanceId);
    return device ? LowerPath(*device, index) : LowerPath(StandIn(instanceId), index);
}

std::vector<HANDLE> DeviceHandles(const std::wstring &instanceId)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<HANDLE> out;
    if (Device *device = FindDevice(instanceId)) {
        for (uintptr_t value : device->fileHandles) {
            out.push_back(reinterpret_cast<HANDLE>(value));
        }
    }
    return out;
}

} // namespace sim

HDEVINFO SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    Entry e("SetupDiGetClassDevsW", {{"ClassGuid", Guid(classGuid)},
                                     {"Enumerator", Text(enumerator)},
                                     {"hwndParent", Handle(parent)},
                                     {"Flags", DigcfFlags(flags)}});
    if (e.Failed()) {
        return INVALID_HANDLE_VALUE;
    }
    Device *named = enumerator != nullptr ? FindDevice(enumerator) : nullptr;
    if (enumerator != nullptr && named == nullptr) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return INVALID_HANDLE_VALUE;
    }
    auto *set = Make<DeviceSet>();
    set->presentOnly = (flags & DIGCF_PRESENT) != 0;
    for (auto &device : machine->devices) {
        if (classGuid == nullptr || !(flags & DIGCF_DEVICEINTERFACE) || (named != nullptr && device.get() != named) ||
            (set->presentOnly && !device->spec.present)) {
            continue;
        }
        for (size_t i = 0; i < device->spec.interfaces.size(); ++i) {
            if (memcmp(&device->spec.interfaces[i].classGuid, classGuid, sizeof(GUID)) == 0 &&
                (!set->presentOnly || device->live[i])) {
                set->members.push_back(device.get());
                break;
            }
        }
    }
    return reinterpret_cast<HDEVINFO>(Insert(Kind::DeviceInfoSet, set, "SetupDiGetClassDevsW"));
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD memberIndex, PSP_DEVINFO_DATA info)
{
    Entry e("SetupDiEnumDeviceInfo", {{"DeviceInfoSet", Handle(handle)}, {"MemberIndex", Number(memberIndex)}});
    auto *set = e.Failed() ? nullptr : Found<DeviceSet>(handle, Kind::DeviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (memberIndex >= set->members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    info->ClassGuid = kMediaClass;
    info->DevInst = set->members[memberIndex]->devInst;
    info->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA info, DWORD property, PDWORD regType,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize)
{
    Entry e("SetupDiGetDeviceRegistryPropertyW", {{"DeviceInfoSet", Handle(handle)},
                                                  {"Property", Number(property)},
                                                  {"PropertyBuffer", Handle(buffer)},
                                                  {"PropertyBufferSize", Number(bufferSize)}});
    if (e.Failed()) {
        return FALSE;
    }
    auto *set = Find<DeviceSet>(handle, Kind::DeviceInfoSet);
    Device *device = set ? MemberOf(*set, info) : nullptr;
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
        list += id + L'\0';
    }
    list += L'\0';
    while (device->spec.hardwareIdsUnterminated && !list.empty() && list.back() == L'\0') {
        list.pop_back();
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

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA info, PWSTR id, DWORD idSize, PDWORD requiredSize)
{
    Entry e("SetupDiGetDeviceInstanceIdW", {{"DeviceInfoSet", Handle(handle)},
                                            {"DeviceInstanceId", Handle(id)},
                                            {"DeviceInstanceIdSize", Number(idSize)}});
    if (e.Failed()) {
        return FALSE;
    }
    auto *set = Find<DeviceSet>(handle, Kind::DeviceInfoSet);
    Device *device = set ? MemberOf(*set, info) : nullptr;
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

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info, const GUID *interfaceClass, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA data)
{
    Entry e("SetupDiEnumDeviceInterfaces", {{"DeviceInfoSet", Handle(handle)},
                                            {"DeviceInfoData", Handle(info)},
                                            {"InterfaceClassGuid", Guid(interfaceClass)},
                                            {"MemberIndex", Number(memberIndex)}});
    auto *set = e.Failed() ? nullptr : Found<DeviceSet>(handle, Kind::DeviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || interfaceClass == nullptr) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t m = 0; m < set->members.size(); ++m) {
        Device *device = set->members[m];
        if (info != nullptr && info->DevInst != device->devInst) {
            continue;
        }
        for (size_t i = 0; i < device->spec.interfaces.size(); ++i) {
            if (!SameGuid(device->spec.interfaces[i].classGuid, *interfaceClass) ||
                (set->presentOnly && !device->live[i])) {
                continue;
            }
            if (seen++ == memberIndex) {
                data->InterfaceClassGuid = *interfaceClass;
                data->Flags = device->live[i] ? SPINT_ACTIVE : 0;
                data->Reserved = ((m + 1) << 16) | i;
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA info)
{
    Entry e("SetupDiGetDeviceInterfaceDetailW", {{"DeviceInfoSet", Handle(handle)},
                                                 {"DeviceInterfaceDetailData", Handle(detail)},
                                                 {"DeviceInterfaceDetailDataSize", Number(detailSize)},
                                                 {"DeviceInfoData", Handle(info)}});
    if (e.Failed()) {
        return FALSE;
    }
    auto *set = Find<DeviceSet>(handle, Kind::DeviceInfoSet);
    size_t member = data != nullptr ? (data->Reserved >> 16) : 0;
    if (set == nullptr || member == 0 || member > set->members.size()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Device *device = set->members[member - 1];
    std::wstring path = LowerPath(*device, data->Reserved & 0xFFFF);
    DWORD need =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
    if ((detail == nullptr && detailSize != 0) ||
        (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))) {
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

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    Entry e("SetupDiDestroyDeviceInfoList", {{"DeviceInfoSet", Handle(handle)}});
    return !e.Failed() && Remove(handle, Kind::DeviceInfoSet, "SetupDiDestroyDeviceInfoList");
}

BOOL SetupDiClassGuidsFromNameW(PCWSTR className, LPGUID guidList, DWORD guidListSize, PDWORD requiredSize)
{
    Entry e("SetupDiClassGuidsFromNameW",
            {{"ClassName", Text(className)}, {"ClassGuidListSize", Number(guidListSize)}});
    if (e.Failed()) {
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
