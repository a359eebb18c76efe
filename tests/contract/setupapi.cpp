// setupapi: device information sets, device interfaces and their details.
#include <cstddef>
#include <cstring>

#include "tests/contract/arrange.h"

namespace
{
const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The card's member of a set of KSCATEGORY_AUDIO devices.
bool FindCard(HDEVINFO set, SP_DEVINFO_DATA *info)
{
    WCHAR id[512];
    for (DWORD i = 0;; ++i) {
        info->cbSize = sizeof *info;
        if (!SetupDiEnumDeviceInfo(set, i, info)) {
            return false;
        }
        if (SetupDiGetDeviceInstanceIdW(set, info, id, 512, NULL) && contract::SameText(id, arrange::kCard)) {
            return true;
        }
    }
}
} // namespace

// Wine's dlls/ntoskrnl.exe/tests/ntoskrnl.c, test_pnp_devices: a registered
// interface that is not enabled is listed without DIGCF_PRESENT with
// ok(!iface.Flags), and not at all with it (ERROR_NO_MORE_ITEMS); enabled, it
// is listed with ok(iface.Flags == SPINT_ACTIVE).
FACT(InactiveInterfacesAreListedOnlyWithoutPresentFlag, kAlsoWine, "Wine ntoskrnl.c test_pnp_devices")
{
    arrange::Card();
    auto all = contract::ListInterfaces(arrange::kCard, KSCATEGORY_AUDIO, 0);
    auto present = contract::ListInterfaces(arrange::kCard, KSCATEGORY_AUDIO, DIGCF_PRESENT);
    if (!CHECK_EQ(all.size(), 2u) || !CHECK_EQ(present.size(), 1u)) {
        return;
    }
    for (const auto &listed : all) {
        bool wave = listed.path.size() > 5 && listed.path.substr(listed.path.size() - 5) == L"\\wave";
        CHECK_EQ(listed.flags, wave ? static_cast<DWORD>(SPINT_ACTIVE) : 0u);
    }
    CHECK_EQ(present[0].flags, static_cast<DWORD>(SPINT_ACTIVE));
    CHECK(present[0].path.find(L"\\wave") != std::wstring::npos);
}

// Wine's dlls/setupapi/tests/devinst.c: a size query fails with
// ERROR_INSUFFICIENT_BUFFER and gives the size: test_registry_property_a
// (SPDRP_FRIENDLYNAME, size == sizeof("Bogus")), test_device_info
// (SetupDiGetDeviceInstanceIdA), test_device_iface_detail (expectedsize =
// FIELD_OFFSET(..., DevicePath[strlen(path) + 1])), where the detail's cbSize
// must be sizeof(*detail) (any other: ERROR_INVALID_USER_BUFFER).
FACT(SizeQueriesFailWithInsufficientBufferAndGiveTheSize, kAlsoWine, "Wine devinst.c size queries")
{
    arrange::Card();
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    REQUIRE(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA info{};
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (CHECK(FindCard(set, &info)) && CHECK(SetupDiEnumDeviceInterfaces(set, &info, &KSCATEGORY_AUDIO, 0, &iface))) {
        DWORD ids = 0, id = 0, detail = 0;
        auto sized = [](const char *query, BOOL result, const DWORD &size) {
            DWORD error = GetLastError();
            if (result || error != ERROR_INSUFFICIENT_BUFFER || size == 0) {
                contract::Fail(__FILE__, __LINE__,
                               std::string(query) + ": no size (error " + contract::Show(error) + ")");
            }
            SetLastError(0);
        };
        SetLastError(0);
        sized("hardware IDs", SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, NULL, NULL, 0, &ids),
              ids);
        sized("instance ID", SetupDiGetDeviceInstanceIdW(set, &info, NULL, 0, &id), id);
        sized("interface detail", SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &detail, NULL), detail);
        CHECK_EQ(id, static_cast<DWORD>(wcslen(arrange::kCard) + 1));
        // The sizes are enough, and the detail's cbSize is the structure's own.
        std::vector<BYTE> buffer(detail + sizeof(WCHAR));
        auto *data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
        data->cbSize = detail;
        SetLastError(0);
        CHECK(!SetupDiGetDeviceInterfaceDetailW(set, &iface, data, detail, NULL, NULL));
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
        data->cbSize = sizeof *data;
        CHECK(SetupDiGetDeviceInterfaceDetailW(set, &iface, data, detail, NULL, NULL));
        CHECK_EQ(detail, static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                            (wcslen(data->DevicePath) + 1) * sizeof(WCHAR)));
        std::vector<WCHAR> idText(id);
        CHECK(SetupDiGetDeviceInstanceIdW(set, &info, idText.data(), id, NULL));
        std::vector<BYTE> idList(ids);
        CHECK(SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, NULL, idList.data(), ids, NULL));
    }
    CHECK(SetupDiDestroyDeviceInfoList(set));
}

// Wine's dlls/setupapi/tests/devinst.c, check_device_iface_: every
// DevicePath passes check_all_lower_case ("Expected device path to be all
// lowercase"); ntoskrnl.c: "\\?\root#winetest#0#{...}" for ROOT\WINETEST\0.
FACT(SetupApiInterfacePathsAreLowerCase, kAlsoWine, "Wine devinst.c check_all_lower_case")
{
    arrange::Card();
    auto listed = contract::ListInterfaces(arrange::kCard, KSCATEGORY_AUDIO, 0);
    REQUIRE(!listed.empty());
    for (const auto &iface : listed) {
        bool lower = true;
        for (WCHAR c : iface.path) {
            lower = lower && (c < L'A' || c > L'Z');
        }
        CHECK(lower);
        CHECK_EQ(iface.path.substr(0, 8), std::wstring(L"\\\\?\\pci#"));
    }
}

// Wine's dlls/setupapi/tests/devinst.c, check_device_info: past the last
// member, ok(!ret) and GetLastError() == ERROR_NO_MORE_ITEMS.
FACT(EnumDeviceInfoPastTheEndFailsWithNoMoreItems, kAlsoWine, "Wine devinst.c check_device_info")
{
    arrange::Card();
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    REQUIRE(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA info{};
    DWORD members = 0;
    for (info.cbSize = sizeof info; SetupDiEnumDeviceInfo(set, members, &info); ++members) {
    }
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    CHECK(members >= 1);
    SetLastError(0);
    CHECK(!SetupDiEnumDeviceInfo(set, members + 5, &info));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    CHECK(SetupDiDestroyDeviceInfoList(set));
}

// SetupDiClassGuidsFromNameW page: RequiredSize receives the number of GUIDs
// of the class name; System-Defined Device Setup Classes: Media is
// {4d36e96c-e325-11ce-bfc1-08002be10318}.
FACT(MediaClassNameGivesTheMediaClass, kAlsoWine,
     "SetupDiClassGuidsFromNameW page; System-Defined Device Setup Classes")
{
    arrange::Card();
    GUID guids[4]{};
    DWORD count = 0;
    CHECK(SetupDiClassGuidsFromNameW(L"Media", guids, 4, &count));
    CHECK_EQ(count, 1u);
    CHECK(memcmp(&guids[0], &kMediaClass, sizeof(GUID)) == 0);
}
