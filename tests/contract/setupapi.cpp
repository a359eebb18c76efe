// setupapi: device information sets, device interfaces and their details.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "tests/contract/arrange.h"

namespace
{
const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The set of present KSCATEGORY_AUDIO devices, the card's member of it and the
// card's first audio interface.
struct CardSet {
    std::wstring card = arrange::Card();
    HDEVINFO set;
    SP_DEVINFO_DATA info{};
    SP_DEVICE_INTERFACE_DATA iface{};
    bool found = false;
    CardSet()
    {
        set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
        iface.cbSize = sizeof iface;
        WCHAR id[512];
        for (DWORD i = 0; set != INVALID_HANDLE_VALUE && !found; ++i) {
            info.cbSize = sizeof info;
            if (!SetupDiEnumDeviceInfo(set, i, &info)) {
                break;
            }
            found = SetupDiGetDeviceInstanceIdW(set, &info, id, 512, NULL) && contract::SameText(id, card) &&
                    SetupDiEnumDeviceInterfaces(set, &info, &KSCATEGORY_AUDIO, 0, &iface);
        }
    }
    ~CardSet()
    {
        if (set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set);
        }
    }
};
} // namespace

// Wine's dlls/ntoskrnl.exe/tests/ntoskrnl.c, test_pnp_devices: a registered
// interface that is not enabled is listed without DIGCF_PRESENT with
// ok(!iface.Flags), and not at all with it (ERROR_NO_MORE_ITEMS); enabled, it
// is listed with ok(iface.Flags == SPINT_ACTIVE).
FACT(InactiveInterfacesAreListedOnlyWithoutPresentFlag, kAlsoWine, "Wine ntoskrnl.c test_pnp_devices")
{
    std::wstring card = arrange::Card();
    auto all = contract::ListInterfaces(card, KSCATEGORY_AUDIO, 0);
    auto present = contract::ListInterfaces(card, KSCATEGORY_AUDIO, DIGCF_PRESENT);
    auto active = [](const contract::Listed &listed) { return (listed.flags & SPINT_ACTIVE) != 0; };
    if (std::all_of(all.begin(), all.end(), active)) {
        contract::NotApplicableHere("the device has no audio interface that is registered and not active");
    }
    // Present: the active ones of all, in their order, and nothing else.
    std::vector<std::wstring> expected;
    for (const auto &listed : all) {
        if (active(listed)) {
            expected.push_back(listed.path);
        }
    }
    REQUIRE(!expected.empty());
    CHECK_EQ(present.size(), expected.size());
    for (size_t i = 0; i < present.size() && i < expected.size(); ++i) {
        CHECK_EQ(present[i].path, expected[i]);
        CHECK(active(present[i]));
    }
}

// Wine's dlls/setupapi/tests/devinst.c: a size query fails with
// ERROR_INSUFFICIENT_BUFFER and gives the size: test_registry_property_a
// (SPDRP_FRIENDLYNAME, size == sizeof("Bogus")), test_device_info
// (SetupDiGetDeviceInstanceIdA), test_device_iface_detail (expectedsize =
// FIELD_OFFSET(..., DevicePath[strlen(path) + 1])).
FACT(SizeQueriesFailWithInsufficientBufferAndGiveTheSize, kAlsoWine, "Wine devinst.c size queries")
{
    CardSet card;
    REQUIRE(card.found);
    DWORD ids = 0, id = 0, detail = 0;
    auto sized = [](const char *query, BOOL result, const DWORD &size) {
        DWORD error = GetLastError();
        if (result || error != ERROR_INSUFFICIENT_BUFFER || size == 0) {
            contract::Fail(__FILE__, __LINE__, std::string(query) + ": no size (error " + contract::Show(error) + ")");
        }
        SetLastError(0);
    };
    SetLastError(0);
    sized("hardware IDs",
          SetupDiGetDeviceRegistryPropertyW(card.set, &card.info, SPDRP_HARDWAREID, NULL, NULL, 0, &ids), ids);
    sized("instance ID", SetupDiGetDeviceInstanceIdW(card.set, &card.info, NULL, 0, &id), id);
    sized("interface detail", SetupDiGetDeviceInterfaceDetailW(card.set, &card.iface, NULL, 0, &detail, NULL), detail);
    // Each size is the one the answer takes.
    CHECK_EQ(id, static_cast<DWORD>(card.card.size() + 1));
    std::vector<WCHAR> idText(id);
    CHECK(SetupDiGetDeviceInstanceIdW(card.set, &card.info, idText.data(), id, NULL));
    std::vector<BYTE> idList(ids);
    CHECK(SetupDiGetDeviceRegistryPropertyW(card.set, &card.info, SPDRP_HARDWAREID, NULL, idList.data(), ids, NULL));
    std::vector<BYTE> buffer(detail);
    auto *data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
    data->cbSize = sizeof *data;
    CHECK(SetupDiGetDeviceInterfaceDetailW(card.set, &card.iface, data, detail, NULL, NULL));
    CHECK_EQ(detail, static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                        (wcslen(data->DevicePath) + 1) * sizeof(WCHAR)));
}

// Wine's dlls/setupapi/tests/devinst.c, test_device_iface_detail: with
// detail->cbSize = 0 or = the whole size, ERROR_INVALID_USER_BUFFER; it works
// with detail->cbSize = sizeof(*detail). SetupDiGetDeviceInterfaceDetailW
// page: "The cbSize member always contains the size of the fixed part of the
// data structure, not a size reflecting the variable-length string at the end."
FACT(InterfaceDetailCbSizeIsTheFixedSize, kAlsoWine, "Wine devinst.c test_device_iface_detail")
{
    CardSet card;
    REQUIRE(card.found);
    std::vector<BYTE> buffer(4096);
    auto *data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
    for (DWORD wrong : {DWORD(0), DWORD(4096)}) {
        data->cbSize = wrong;
        SetLastError(0);
        CHECK(!SetupDiGetDeviceInterfaceDetailW(card.set, &card.iface, data, 4096, NULL, NULL));
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    }
    data->cbSize = sizeof *data;
    CHECK(SetupDiGetDeviceInterfaceDetailW(card.set, &card.iface, data, 4096, NULL, NULL));
}

// Wine's dlls/setupapi/tests/devinst.c, check_device_iface_: every
// DevicePath passes check_all_lower_case ("Expected device path to be all
// lowercase"); ntoskrnl.c: "\\?\root#winetest#0#{...}" for ROOT\WINETEST\0.
FACT(SetupApiInterfacePathsAreLowerCase, kAlsoWine, "Wine devinst.c check_all_lower_case")
{
    std::wstring card = arrange::Card();
    auto listed = contract::ListInterfaces(card, KSCATEGORY_AUDIO, 0);
    REQUIRE(!listed.empty());
    for (const auto &iface : listed) {
        CHECK_EQ(iface.path, contract::LowerText(iface.path));
    }
}

// Wine's dlls/setupapi/tests/devinst.c, check_device_info: past the last
// member, ok(!ret) and GetLastError() == ERROR_NO_MORE_ITEMS.
FACT(EnumDeviceInfoPastTheEndFailsWithNoMoreItems, kAlsoWine, "Wine devinst.c check_device_info")
{
    CardSet card;
    REQUIRE(card.found);
    DWORD members = 0;
    SP_DEVINFO_DATA info{};
    for (info.cbSize = sizeof info; SetupDiEnumDeviceInfo(card.set, members, &info); ++members) {
    }
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetLastError(0);
    CHECK(!SetupDiEnumDeviceInfo(card.set, members + 5, &info));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
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
    CHECK(IsEqualGUID(guids[0], kMediaClass));
}

// Structure of the Registry: "Key names are not case sensitive", and a
// device's instance ID names its key in the device registry, so an instance
// ID as enumerator finds its device whatever the case. An arrival's path
// keeps its instance part in lower case (Wine's hotplug.c devnotify_wndproc),
// so the ID the service derives from it differs in case from the registry's.
FACT(ClassDevsFindAnInstanceIdWithoutRegardToCase, kAlsoWine,
     "Structure of the Registry page; SetupDiGetClassDevsW page, Enumerator")
{
    std::wstring card = arrange::Card();
    size_t instance = card.rfind(L'\\');
    REQUIRE(instance != std::wstring::npos);
    std::wstring asArrived = card.substr(0, instance) + contract::LowerText(card.substr(instance));
    for (const std::wstring &id : {asArrived, contract::LowerText(card)}) {
        HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, id.c_str(), NULL, DIGCF_DEVICEINTERFACE);
        REQUIRE(set != INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        WCHAR listed[512] = L"";
        CHECK(SetupDiEnumDeviceInfo(set, 0, &info) && SetupDiGetDeviceInstanceIdW(set, &info, listed, 512, NULL));
        CHECK(contract::SameText(listed, card));
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        CHECK(SetupDiEnumDeviceInterfaces(set, NULL, &KSCATEGORY_AUDIO, 0, &iface));
        SetupDiDestroyDeviceInfoList(set);
    }
}
