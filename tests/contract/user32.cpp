// user32: window stations, desktops, windows, properties, messages, and device
// notifications for a service.
#include <algorithm>
#include <cstring>

#include "tests/contract/arrange.h"

namespace
{
// The names of `enumerate`'s callback, each as given.
template <typename Enumerate> std::vector<std::wstring> Names(Enumerate enumerate)
{
    std::vector<std::wstring> names;
    enumerate(
        [](LPWSTR name, LPARAM list) {
            reinterpret_cast<std::vector<std::wstring> *>(list)->push_back(name);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&names));
    return names;
}

LRESULT Send(HWND window, UINT flags, UINT timeout, DWORD_PTR *result)
{
    *result = 0;
    return SendMessageTimeoutW(window, RegisterWindowMessageW(L"ContractMessage"), 0, 0, flags, timeout, result);
}
} // namespace

// Desktops page: "Window messages can be sent only between processes that are
// on the same desktop." The window is another program's (arrange::Window on
// another desktop). Wine delivers across the desktops of a station.
FACT(MessagesReachAWindowOnlyFromItsDesktop, kWineRules,
     "Desktops page (learn.microsoft.com/windows/win32/winstation/desktops)")
{
    arrange::Desktop(L"ContractOther");
    HWND window = arrange::Window(L"ContractOther", L"", NULL);
    REQUIRE(window != NULL);
    DWORD_PTR result = 0;
    LRESULT sent = Send(window, SMTO_NORMAL, 2000, &result);
    WINE_DIFFERS(sent == 0, sent != 0);
    // From a thread on the window's desktop, it arrives.
    HDESK own = GetThreadDesktop(GetCurrentThreadId());
    HDESK other = OpenDesktopW(L"ContractOther", 0, FALSE, MAXIMUM_ALLOWED);
    REQUIRE(own != NULL && other != NULL);
    CHECK(SetThreadDesktop(other));
    CHECK(Send(window, SMTO_NORMAL, 2000, &result) != 0);
    CHECK(SetThreadDesktop(own));
    CHECK(CloseDesktop(other));
}

// Wine's dlls/user32/tests/winstation.c, test_inputdesktop2: with the process
// on another window station, todo_wine ok(SetThreadDesktop(thread_desk)):
// "SetThreadDesktop should success even desktop is not belong to process
// winstation". Wine refuses with ERROR_ACCESS_DENIED.
FACT(ThreadCanReturnToADesktopOfAnotherStation, kWineRules, "Wine winstation.c test_inputdesktop2 (todo_wine)")
{
    arrange::StationWithDesktop(L"ContractStation", L"ContractDesk");
    HWINSTA own = GetProcessWindowStation();
    HDESK ownDesktop = GetThreadDesktop(GetCurrentThreadId());
    HWINSTA station = OpenWindowStationW(L"ContractStation", FALSE, MAXIMUM_ALLOWED);
    REQUIRE(own != NULL && ownDesktop != NULL && station != NULL);
    REQUIRE(SetProcessWindowStation(station));
    HDESK desktop = OpenDesktopW(L"ContractDesk", 0, FALSE, MAXIMUM_ALLOWED);
    CHECK(desktop != NULL && SetThreadDesktop(desktop));
    SetLastError(0);
    BOOL back = SetThreadDesktop(ownDesktop);
    WINE_DIFFERS(back, !back && GetLastError() == ERROR_ACCESS_DENIED);
    CHECK(SetProcessWindowStation(own));
    CHECK(SetThreadDesktop(ownDesktop));
    CHECK(desktop == NULL || CloseDesktop(desktop));
    CHECK(CloseWindowStation(station));
}

// CloseDesktop page: it "will fail if any thread in the calling process is
// using the specified desktop handle or if the handle refers to the initial
// desktop of the calling process"; Wine's dlls/user32/tests/winstation.c,
// test_handles: ok(!CloseDesktop(d1)) with GetLastError() == ERROR_BUSY.
FACT(ThreadsDesktopCannotBeClosed, kAlsoWine, "CloseDesktop page; Wine winstation.c test_handles")
{
    arrange::Desktop(L"ContractClosing");
    HDESK own = GetThreadDesktop(GetCurrentThreadId());
    HDESK desktop = OpenDesktopW(L"ContractClosing", 0, FALSE, MAXIMUM_ALLOWED);
    REQUIRE(own != NULL && desktop != NULL);
    SetLastError(0);
    CHECK(!CloseDesktop(own));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    REQUIRE(SetThreadDesktop(desktop));
    SetLastError(0);
    CHECK(!CloseDesktop(desktop));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    CHECK(SetThreadDesktop(own));
    CHECK(CloseDesktop(desktop));
}

// Wine's dlls/user32/tests/winstation.c, test_handles: ok(!CloseWindowStation(w1))
// for the process's window station; after SetProcessWindowStation(w2),
// ok(!CloseWindowStation(w2)), and once the process is on w3,
// ok(CloseWindowStation(w2)).
FACT(ProcessWindowStationCannotBeClosed, kAlsoWine, "Wine winstation.c test_handles")
{
    arrange::StationWithDesktop(L"ContractClosingStation", L"ContractClosingDesk");
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = OpenWindowStationW(L"ContractClosingStation", FALSE, MAXIMUM_ALLOWED);
    REQUIRE(own != NULL && station != NULL);
    CHECK(!CloseWindowStation(own));
    REQUIRE(SetProcessWindowStation(station));
    CHECK(!CloseWindowStation(station));
    CHECK(SetProcessWindowStation(own));
    CHECK(CloseWindowStation(station));
}

// Wine's dlls/user32/tests/winstation.c, test_inputdesktop2: after
// SetProcessWindowStation(w2), OpenDesktop("desk_test") finds the desktop
// created in w2 (OpenDesktopW page: "The desktop must belong to the current
// window station").
FACT(OpenDesktopLooksNamesUpInTheProcessStation, kAlsoWine, "OpenDesktopW page; Wine winstation.c test_inputdesktop2")
{
    arrange::StationWithDesktop(L"ContractLookup", L"ContractLookupDesk");
    CHECK(OpenDesktopW(L"ContractLookupDesk", 0, FALSE, MAXIMUM_ALLOWED) == NULL);
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = OpenWindowStationW(L"ContractLookup", FALSE, MAXIMUM_ALLOWED);
    REQUIRE(own != NULL && station != NULL);
    REQUIRE(SetProcessWindowStation(station));
    HDESK desktop = OpenDesktopW(L"ContractLookupDesk", 0, FALSE, MAXIMUM_ALLOWED);
    CHECK(desktop != NULL);
    CHECK(SetProcessWindowStation(own));
    CHECK(desktop == NULL || CloseDesktop(desktop));
    CHECK(CloseWindowStation(station));
}

// EnumWindowStationsW page: the names of the window stations of the caller's
// session; EnumDesktopsW page: the desktops of the given station; both go on
// while the callback returns TRUE (Wine's winstation.c test_enumstations,
// test_enumdesktops).
FACT(EnumerationsListTheStationsAndDesktopsThatExist, kAlsoWine, "EnumWindowStationsW, EnumDesktopsW pages")
{
    arrange::StationWithDesktop(L"ContractListed", L"ContractListedDesk");
    auto stations = Names([](WINSTAENUMPROCW callback, LPARAM list) { return EnumWindowStationsW(callback, list); });
    CHECK(std::count(stations.begin(), stations.end(), L"ContractListed") == 1);
    HWINSTA station = OpenWindowStationW(L"ContractListed", FALSE, MAXIMUM_ALLOWED);
    REQUIRE(station != NULL);
    auto desktops =
        Names([station](DESKTOPENUMPROCW callback, LPARAM list) { return EnumDesktopsW(station, callback, list); });
    CHECK_EQ(desktops.size(), 1u);
    CHECK(std::count(desktops.begin(), desktops.end(), L"ContractListedDesk") == 1);
    CHECK(CloseWindowStation(station));
}

// SetPropW page: a property is named by a string or by the global atom of it
// (GlobalAddAtom). Wine's dlls/kernel32/tests/atom.c: GlobalFindAtomW finds
// "foobar" as "FOOBAR" (test_add_atom); GlobalAddAtomW of 255 characters
// works and of 256 fails with ERROR_INVALID_PARAMETER (test_get_atom_name),
// and GlobalFindAtomW of 256 finds nothing (test_error_handling).
FACT(PropertyNamesIgnoreCaseAndEndAt255Characters, kAlsoWine,
     "SetPropW page; Wine kernel32 atom.c test_add_atom, test_get_atom_name, test_error_handling")
{
    HANDLE value = reinterpret_cast<HANDLE>(0x55);
    std::wstring longest(255, L'p'), tooLong(256, L'q');
    HWND window = arrange::Window(L"", L"ContractProp", value);
    HWND longWindow = arrange::Window(L"", longest, value);
    HWND tooLongWindow = arrange::Window(L"", tooLong, value);
    REQUIRE(window != NULL && longWindow != NULL && tooLongWindow != NULL);
    CHECK(GetPropW(window, L"CONTRACTPROP") == value);
    CHECK(GetPropW(window, L"contractprop") == value);
    CHECK(GetPropW(window, L"ContractPro") == NULL);
    CHECK(GetPropW(longWindow, longest.c_str()) == value);
    CHECK(GetPropW(tooLongWindow, tooLong.c_str()) == NULL);
}

// EnumDesktopWindows page: "Enumerates all top-level windows associated with
// the specified desktop."
FACT(DesktopWindowsAreThoseOfThatDesktop, kAlsoWine, "EnumDesktopWindows page")
{
    arrange::Desktop(L"ContractWindows");
    HWND there = arrange::Window(L"ContractWindows", L"", NULL);
    HWND here = arrange::Window(L"", L"", NULL);
    HDESK desktop = OpenDesktopW(L"ContractWindows", 0, FALSE, MAXIMUM_ALLOWED);
    REQUIRE(there != NULL && here != NULL && desktop != NULL);
    auto windowsOf = [](HDESK of) {
        std::vector<HWND> windows;
        EnumDesktopWindows(
            of,
            [](HWND window, LPARAM list) {
                reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&windows));
        return windows;
    };
    auto listed = windowsOf(desktop), own = windowsOf(GetThreadDesktop(GetCurrentThreadId()));
    CHECK(std::count(listed.begin(), listed.end(), there) == 1 && std::count(listed.begin(), listed.end(), here) == 0);
    CHECK(std::count(own.begin(), own.end(), here) == 1 && std::count(own.begin(), own.end(), there) == 0);
    CHECK(CloseDesktop(desktop));
}

// RegisterWindowMessageW page: "If the message is successfully registered, the
// return value is a message identifier in the range 0xC000 through 0xFFFF";
// "If two different applications register the same message string, the
// applications return the same message value." The string is an atom of the
// user atom table (About Atom Tables), so case does not matter.
FACT(RegisteredMessageNumbersIgnoreCase, kAlsoWine, "RegisterWindowMessageW page; About Atom Tables")
{
    UINT message = RegisterWindowMessageW(L"ContractRegistered");
    CHECK(message >= 0xC000 && message <= 0xFFFF);
    CHECK_EQ(RegisterWindowMessageW(L"CONTRACTREGISTERED"), message);
    CHECK(RegisterWindowMessageW(L"ContractRegistered2") != message);
}

// SendMessageTimeoutW page: "If the function fails or times out, the return
// value is 0 ... If GetLastError returns ERROR_TIMEOUT, then the function
// timed out."
FACT(SendToAWindowThatDoesNotAnswerTimesOut, kAlsoWine, "SendMessageTimeoutW page, Return value")
{
    HWND window = arrange::Window(L"", L"", NULL, false);
    REQUIRE(window != NULL);
    DWORD_PTR result = 0;
    SetLastError(0);
    CHECK_EQ(Send(window, SMTO_NORMAL, 300, &result), 0);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}

// SendMessageTimeoutW page, SMTO_ABORTIFHUNG: "The function returns without
// waiting for the time-out period to elapse if the receiving thread appears
// to not respond or hangs." Which error it then leaves, the page does not say.
FACT(AbortIfHungReturnsAtOnceForAWindowJudgedHung, kSimOnly, "SendMessageTimeoutW page, fuFlags")
{
    HWND window = arrange::Window(L"", L"", NULL, false);
    REQUIRE(window != NULL);
    arrange::JudgeHung(window);
    DWORD_PTR result = 0;
    ULONGLONG before = GetTickCount64();
    CHECK_EQ(Send(window, SMTO_ABORTIFHUNG, 5000, &result), 0);
    CHECK(GetTickCount64() - before < 5000);
}

namespace
{
DEV_BROADCAST_HANDLE HandleRecord(const arrange::Broadcast &broadcast)
{
    DEV_BROADCAST_HANDLE record{};
    memcpy(&record, broadcast.record.data(), std::min(sizeof record, broadcast.record.size()));
    return record;
}

HDEVNOTIFY RegisterInterfaces(const GUID &interfaceClass, DWORD flags)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    return RegisterDeviceNotificationW(arrange::ServiceStatus(), &filter, DEVICE_NOTIFY_SERVICE_HANDLE | flags);
}

// The interface classes of the arrivals `registration` receives when `card`
// arrives.
std::vector<GUID> ArrivingClasses(HDEVNOTIFY registration, const std::wstring &card)
{
    std::vector<GUID> classes;
    if (registration != NULL) {
        arrange::DeviceArrives(card);
        for (const auto &broadcast : arrange::Broadcasts()) {
            CHECK_EQ(broadcast.eventType, static_cast<DWORD>(DBT_DEVICEARRIVAL));
            classes.push_back(
                reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(broadcast.record.data())->dbcc_classguid);
        }
        CHECK(UnregisterDeviceNotification(registration));
    }
    return classes;
}

// Opens the card's first present audio interface and registers a handle
// notification for the service on it; false (failed) when either cannot be had.
bool RegisterOnTheCard(HANDLE *file, HDEVNOTIFY *registration)
{
    SERVICE_STATUS_HANDLE service = arrange::ServiceStatus(); // first: where there is none, nothing else is tried
    auto paths = contract::ListInterfaces(arrange::Card(), KSCATEGORY_AUDIO, DIGCF_PRESENT);
    if (!CHECK(!paths.empty())) {
        return false;
    }
    *file = CreateFileW(paths[0].path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, 0, NULL);
    if (!CHECK(*file != INVALID_HANDLE_VALUE)) {
        return false;
    }
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = *file;
    *registration = RegisterDeviceNotificationW(service, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    return CHECK(*registration != NULL);
}
} // namespace

// Wine's dlls/dinput/tests/hotplug.c, test_RegisterDeviceNotification, which
// registers a window: every DBT_DEVTYP_HANDLE broadcast names the
// registration in dbch_hdevnotify, also the DBT_DEVICEREMOVECOMPLETE that
// comes after CloseHandle(file). What dbch_handle holds for a service no
// source shows (HandleBroadcastToAServiceMayNameAnotherHandle).
FACT(HandleBroadcastNamesItsRegistrationAfterClose, kSimOnly,
     "Wine hotplug.c test_RegisterDeviceNotification (window recipient)")
{
    std::wstring card = arrange::Card();
    HANDLE file = NULL;
    HDEVNOTIFY registration = NULL;
    REQUIRE(RegisterOnTheCard(&file, &registration));
    CHECK(CloseHandle(file));
    arrange::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, card);
    auto received = arrange::Broadcasts();
    REQUIRE(received.size() == 1);
    DEV_BROADCAST_HANDLE record = HandleRecord(received[0]);
    CHECK_EQ(received[0].eventType, static_cast<DWORD>(DBT_DEVICEREMOVECOMPLETE));
    CHECK_EQ(record.dbch_devicetype, static_cast<DWORD>(DBT_DEVTYP_HANDLE));
    CHECK(record.dbch_hdevnotify == registration);
    CHECK(UnregisterDeviceNotification(registration));
}

// Only the window form of a handle broadcast is shown to carry the handle
// given at registration (hotplug.c, above).
ASSUMED(HandleBroadcastToAServiceMayNameAnotherHandle,
        "a handle broadcast to a service may carry a dbch_handle other than the handle registered (the simulation "
        "does by default): only the window form is shown to carry it (Wine's hotplug.c), and a service that "
        "matched it would ignore every query-remove; the service credits a broadcast by dbch_hdevnotify alone")
{
    std::wstring card = arrange::Card();
    HANDLE file = NULL;
    HDEVNOTIFY registration = NULL;
    REQUIRE(RegisterOnTheCard(&file, &registration));
    arrange::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, card);
    auto received = arrange::Broadcasts();
    REQUIRE(received.size() == 1);
    DEV_BROADCAST_HANDLE record = HandleRecord(received[0]);
    CHECK(record.dbch_hdevnotify == registration);
    CHECK(record.dbch_handle != file);
    CHECK(UnregisterDeviceNotification(registration));
    CHECK(CloseHandle(file));
}

// INVALID_HANDLE_VALUE is the current-process pseudo-handle (GetCurrentProcess
// page), not a failed open's marker to Windows.
ASSUMED(HandleRegistrationOnThePseudoHandleIsGrantedAndNeverAnnounces,
        "a handle notification registered on INVALID_HANDLE_VALUE is granted and announces nothing (Wine grants it; "
        "no source says Windows refuses it): the service registers no notification for a card it could not open")
{
    SERVICE_STATUS_HANDLE service = arrange::ServiceStatus();
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = INVALID_HANDLE_VALUE;
    HDEVNOTIFY registration = RegisterDeviceNotificationW(service, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    REQUIRE(registration != NULL);
    arrange::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, arrange::Card());
    CHECK(arrange::Broadcasts().empty());
    CHECK(UnregisterDeviceNotification(registration));
}

// Wine's dlls/dinput/tests/hotplug.c, devnotify_wndproc: dbcc_name starts
// "\\?\HID#"; all_upper() up to the first '#' after that prefix (the device
// part), all_lower() from there (instance part, class, reference).
FACT(InterfaceBroadcastNamesAreUpperCaseUpToTheInstancePart, kSimOnly, "Wine hotplug.c devnotify_wndproc")
{
    HDEVNOTIFY registration = RegisterInterfaces(KSCATEGORY_AUDIO, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    REQUIRE(registration != NULL);
    arrange::DeviceArrives(arrange::Card());
    auto received = arrange::Broadcasts();
    REQUIRE(received.size() == 3);
    for (const auto &broadcast : received) {
        std::wstring name =
            reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(broadcast.record.data())->dbcc_name;
        size_t device = name.find(L'#');
        size_t instance = name.find(L'#', device + 1);
        REQUIRE(device == 7 && instance != std::wstring::npos);
        bool upper = true, lower = true;
        for (size_t i = 0; i < name.size(); ++i) {
            upper = upper && (i >= instance || name[i] < L'a' || name[i] > L'z');
            lower = lower && (i < instance || name[i] < L'A' || name[i] > L'Z');
        }
        CHECK(upper && lower);
        CHECK_EQ(name.substr(4, instance - 4), std::wstring(L"PCI#VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01"));
    }
    CHECK(UnregisterDeviceNotification(registration));
}

// Wine's dlls/dinput/tests/hotplug.c, test_RegisterDeviceNotification: with
// DEVICE_NOTIFY_ALL_INTERFACE_CLASSES an arrival comes for each interface
// (the bus's control class, then HID: four messages for two devices' arrival
// and removal), without it only those of the filter's class (two).
FACT(InterfaceArrivalsComeOncePerInterface, kSimOnly, "Wine hotplug.c test_RegisterDeviceNotification")
{
    std::wstring card = arrange::Card();
    for (DWORD flags : {DWORD(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES), DWORD(0)}) {
        auto classes = ArrivingClasses(RegisterInterfaces(KSCATEGORY_AUDIO, flags), card);
        for (const GUID *each : {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_TOPOLOGY}) {
            size_t expected = flags != 0 || each == &KSCATEGORY_AUDIO ? 1 : 0;
            CHECK_EQ(
                std::count_if(classes.begin(), classes.end(), [each](const GUID &c) { return IsEqualGUID(c, *each); }),
                static_cast<long>(expected));
        }
        CHECK_EQ(classes.size(), flags != 0 ? 3u : 1u);
    }
}

// In which order several interfaces of one device arrive, no source says.
ASSUMED(InterfacesOfOneDeviceArriveInTheDriversOrder,
        "a device's interfaces arrive one at a time in the order its driver lists them, each present only from its "
        "own arrival: no source gives an order, so the service takes the first arrival of any of the card's "
        "interfaces as the card's and must not depend on one")
{
    std::wstring card = arrange::Card();
    auto classes = ArrivingClasses(RegisterInterfaces(KSCATEGORY_AUDIO, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES), card);
    REQUIRE(classes.size() == 3);
    CHECK(IsEqualGUID(classes[0], KSCATEGORY_AUDIO) && IsEqualGUID(classes[1], KSCATEGORY_RENDER) &&
          IsEqualGUID(classes[2], KSCATEGORY_TOPOLOGY));
}
