// The card registry: recognising and naming cards, the list operations, the
// start-up scan, opening a card's interface and the interface notification.
#include "fixture.h"

using namespace testing_support;

namespace
{

const wchar_t kExamplePath[] = L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01#4&1A2B3C4D&0&00E0#"
                               L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave";

std::wstring Derived(const std::wstring &path)
{
    LPWSTR id = DeriveInstanceId(path.c_str());
    if (id == nullptr) {
        return L"<none>";
    }
    std::wstring out(id);
    delete[] id;
    return out;
}

CardEntry *AppendNamed(const std::wstring &id)
{
    CardEntry *entry = AppendCard(id.size() + 1);
    wmemcpy(entry->instanceId, id.c_str(), id.size() + 1);
    return entry;
}

bool SameGuid(const GUID &a, const GUID &b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

class CardRegistryTest : public SimTest
{
  protected:
    // A list of its own for the operations that do not need the service.
    void UseFreshList() { CardList = NewCardList(); }
};

TEST(CardHardwareId, MatchesEitherPrefixInAnyAsciiCaseOverItsFull37Characters)
{
    EXPECT_TRUE(IsCardHardwareId(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01"));
    EXPECT_TRUE(IsCardHardwareId(L"pci\\ven_1412&dev_1724&subsys_7e4b2200&rev_01"));
    EXPECT_TRUE(IsCardHardwareId(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201"));
    EXPECT_TRUE(IsCardHardwareId(L"Pci\\Ven_1412&Dev_1724&Subsys_7e4B2201&REV_02\\anything"));
    EXPECT_TRUE(IsCardHardwareId(kCardA));

    EXPECT_FALSE(IsCardHardwareId(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B220")); // 36 characters
    EXPECT_FALSE(IsCardHardwareId(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2202&REV_01"));
    EXPECT_FALSE(IsCardHardwareId(L""));
    EXPECT_FALSE(IsCardHardwareId(kOtherDevice));
    // Only A to Z fold: a dotted capital I is not an i.
    EXPECT_FALSE(IsCardHardwareId(L"PC\u0130\\VEN_1412&DEV_1724&SUBSYS_7E4B2200"));
}

TEST(CardInstanceId, DerivedFromTheInterfacePathCutAtTheLastHashWithTheOthersTurnedToBackslashes)
{
    EXPECT_EQ(Derived(kExamplePath), L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0");
    EXPECT_EQ(Derived(L"\\\\?\\ab#cd#ef#gh\\x"), L"ab\\cd\\ef");
    EXPECT_EQ(Derived(L"\\\\?\\no-hash-at-all"), L"no-hash-at-all");
    EXPECT_EQ(Derived(L"\\\\?\\pci#ven_1412&Dev_1724#x#{guid}"), L"pci\\ven_1412&Dev_1724\\x");
    // The four opening characters are skipped unchecked.
    EXPECT_EQ(Derived(L"abcdPCI#X#tail"), L"PCI\\X");

    // Too short to hold the prefix: no ID, and nothing read past the end.
    EXPECT_EQ(Derived(L""), L"<none>");
    EXPECT_EQ(Derived(L"\\\\?"), L"<none>");

    // An ID of 199 characters is still a device instance ID; 200 is not one.
    std::wstring longest(199, L'X');
    EXPECT_EQ(Derived(L"\\\\?\\" + longest + L"#{guid}"), longest);
    EXPECT_EQ(Derived(L"\\\\?\\" + longest + L"X#{guid}"), L"<none>");
    EXPECT_EQ(Derived(L"\\\\?\\" + std::wstring(5000, L'#')), L"<none>");
}

TEST_F(CardRegistryTest, LookupsFoldCaseOverTheWholeIdAndFindTheFirstHolderOfAHandle)
{
    UseFreshList();
    CardEntry *a = AppendNamed(kCardA);
    CardEntry *b = AppendNamed(kCardB);
    CardEntry *c = AppendNamed(kOtherDevice);
    EXPECT_EQ(CardList->next, a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(a->deviceHandle, nullptr);
    EXPECT_EQ(a->notifyHandle, nullptr);
    EXPECT_EQ(a->closed, 0u);

    std::wstring lower(kCardB);
    for (auto &ch : lower) {
        ch = static_cast<wchar_t>(towlower(ch));
    }
    CardEntry *predecessor = nullptr;
    EXPECT_EQ(FindCardById(lower.c_str(), &predecessor), b);
    EXPECT_EQ(predecessor, a);
    EXPECT_EQ(FindCardById(kCardA, &predecessor), a);
    EXPECT_EQ(predecessor, CardList);
    std::wstring shorter(kCardA);
    shorter.pop_back();
    EXPECT_EQ(FindCardById(shorter.c_str(), nullptr), nullptr);
    EXPECT_EQ(FindCardById((std::wstring(kCardA) + L"0").c_str(), nullptr), nullptr);
    EXPECT_EQ(FindCardById(L"", nullptr), nullptr);

    // A closed entry keeps its old value and is still found by it; of two
    // entries with one value, the first in list order is found.
    HANDLE old = reinterpret_cast<HANDLE>(0x4440);
    b->deviceHandle = old;
    b->closed = 1;
    c->deviceHandle = old;
    EXPECT_EQ(FindCardByHandle(old, &predecessor), b);
    EXPECT_EQ(predecessor, a);
    EXPECT_EQ(FindCardByHandle(reinterpret_cast<HANDLE>(0x4444), nullptr), nullptr);

    UnlinkCard(b, a);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(FindCardByHandle(old, &predecessor), c);
    EXPECT_EQ(predecessor, a);
}

TEST_F(CardRegistryTest, ScanListsOnlyDevicesWhoseFirstHardwareIdIsACardsInEnumerationOrder)
{
    UseFreshList();
    ScanPresentCards();
    EXPECT_TRUE(ListedCards().empty());
    EXPECT_TRUE(sim::Events().empty());

    ResetProcessState();
    sim::Reset();
    UseFreshList();
    AddCard(kCardB);
    // Another device whose later hardware ID would match is still not a card.
    sim::DeviceSpec other;
    other.instanceId = kOtherDevice;
    other.hardwareIds = {L"PCI\\VEN_8086&DEV_2668&SUBSYS_00000000&REV_01", L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200"};
    sim::AddDevice(other);
    AddCard(kCardA);
    ScanPresentCards();

    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].id, kCardB);
    EXPECT_EQ(cards[1].id, kCardA);
    for (const auto &card : cards) {
        EXPECT_EQ(card.deviceHandle, nullptr); // the scan only lists
        EXPECT_EQ(card.notifyHandle, nullptr);
        EXPECT_EQ(card.closed, 0u);
    }
    EXPECT_EQ(RecordLines(),
              (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardB), Line(MSG_DEVICE_FOUND, kCardA)}));
    for (const auto &record : sim::Events()) {
        EXPECT_EQ(record.type, EVENTLOG_INFORMATION_TYPE);
    }
    EXPECT_EQ(sim::Calls("SetupDiGetClassDevsW").at(0).args, "KSCATEGORY_AUDIO, NULL, 0x0, 0x12");
    EXPECT_EQ(sim::CallCount("CreateFileW"), 0u);
    EXPECT_EQ(sim::CallCount("RegisterDeviceNotificationW"), 0u);
    EXPECT_TRUE(sim::OpenHandles().empty()); // the device information set was destroyed
}

TEST_F(CardRegistryTest, ScanSkipsDevicesItCannotReadAndNeverStoresUnwrittenText)
{
    UseFreshList();
    sim::DeviceSpec unreadableIds = DeviceSpecOf(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&00000001&0&0001");
    unreadableIds.hardwareIdsUnreadable = true;
    sim::AddDevice(unreadableIds);

    sim::DeviceSpec unreadableInstance =
        DeviceSpecOf(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&00000002&0&0002");
    unreadableInstance.instanceIdUnreadable = true;
    sim::AddDevice(unreadableInstance);

    // A one-ID list stored without its terminating NULs is still read safely.
    sim::DeviceSpec unterminated;
    unterminated.instanceId = kCardA;
    unterminated.hardwareIds = {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01"};
    unterminated.hardwareIdsUnterminated = true;
    sim::AddDevice(unterminated);

    // Instance IDs longer than 199 characters are never listed.
    std::wstring prefix = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_01\\";
    sim::DeviceSpec longest = DeviceSpecOf(prefix + std::wstring(199 - prefix.size(), L'7'));
    sim::AddDevice(longest);
    sim::AddDevice(DeviceSpecOf(prefix + std::wstring(200 - prefix.size(), L'8')));

    ScanPresentCards();
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].id, kCardA);
    EXPECT_EQ(cards[1].id, longest.instanceId);
    EXPECT_EQ(TextsOf(MSG_DEVICE_FOUND), (std::vector<std::wstring>{kCardA, longest.instanceId}));
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(CardRegistryTest, ScanEndsAtTheFirstFailedEnumerationAndSurvivesAFailedSet)
{
    UseFreshList();
    AddCard(kCardA);
    AddCard(kCardB);
    sim::FailCall("SetupDiEnumDeviceInfo", 2);
    ScanPresentCards();
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].id, kCardA);
    EXPECT_EQ(sim::CallCount("SetupDiEnumDeviceInfo"), 2u);
    EXPECT_TRUE(sim::OpenHandles().empty());

    sim::FailCall("SetupDiGetClassDevsW");
    ScanPresentCards();
    EXPECT_EQ(ListedCards().size(), 1u);
    // The failed set is INVALID_HANDLE_VALUE and is not destroyed (TearDown
    // would see a close of a value never opened).
    EXPECT_EQ(sim::CallCount("SetupDiDestroyDeviceInfoList"), 1u);
}

TEST_F(CardRegistryTest, StartUpListsEveryCardBeforeOpeningAnyWithTheExactCallsAndFilters)
{
    AddCard(kCardA);
    AddCard(kCardB);
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());

    // Both found records come before the first card's interface is looked up.
    size_t firstOpen = sim::FindCall("SetupDiGetClassDevsW", ", 0x10");
    ASSERT_NE(firstOpen, std::string::npos);
    size_t secondFound = sim::FindCall("ReportEventW", HexOf(reinterpret_cast<void *>(MSG_DEVICE_FOUND)),
                                       sim::FindCall("ReportEventW") + 1);
    ASSERT_NE(secondFound, std::string::npos);
    EXPECT_LT(secondFound, firstOpen);
    EXPECT_EQ(TextsOf(MSG_DEVICE_FOUND), (std::vector<std::wstring>{kCardA, kCardB}));

    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    std::string status = HexOf(serviceStatusHandle);
    const wchar_t *ids[] = {kCardA, kCardB};
    size_t lastNotify = 0;
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        auto handles = sim::DeviceHandles(ids[i]);
        ASSERT_EQ(handles.size(), 1u);
        EXPECT_EQ(cards[i].deviceHandle, handles[0]);
        EXPECT_TRUE(sim::IsOpen(cards[i].deviceHandle));
        EXPECT_EQ(cards[i].closed, 0u);

        // The instance ID is the enumerator, without DIGCF_PRESENT.
        size_t open = sim::FindCall("SetupDiGetClassDevsW", "KSCATEGORY_AUDIO, \"" + Ascii(ids[i]) + "\", 0x0, 0x10");
        ASSERT_NE(open, std::string::npos);
        size_t member = sim::FindCall("SetupDiEnumDeviceInterfaces", ", NULL, KSCATEGORY_AUDIO, 0", open);
        size_t create = sim::FindCall(
            "CreateFileW", "\"" + Ascii(sim::InterfacePath(ids[i])) + "\", 0xc0000000, 0x3, NULL, 3, 0x0, 0x0", open);
        size_t notify = sim::FindCall("RegisterDeviceNotificationW",
                                      status + ", type 6 size 56 handle " + HexOf(handles[0]) + ", 0x1", open);
        EXPECT_LT(open, member);
        EXPECT_LT(member, create);
        EXPECT_LT(create, notify);
        ASSERT_NE(notify, std::string::npos);
        lastNotify = notify;
        EXPECT_EQ(cards[i].notifyHandle, reinterpret_cast<HDEVNOTIFY>(sim::Notifications().at(i).value));
    }

    // The interface notification: every class, Media's GUID in the filter.
    size_t media = sim::FindCall("SetupDiClassGuidsFromNameW", "\"Media\", 1");
    size_t interfaces = sim::FindCall("RegisterDeviceNotificationW", status + ", type 5 size 32, 0x5");
    ASSERT_NE(media, std::string::npos);
    ASSERT_NE(interfaces, std::string::npos);
    EXPECT_LT(media, interfaces);
    EXPECT_LT(lastNotify, interfaces);
    const GUID mediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    int interfaceNotifications = 0;
    for (const auto &n : sim::Notifications()) {
        EXPECT_EQ(n.recipient, reinterpret_cast<HANDLE>(serviceStatusHandle));
        if (n.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
            ++interfaceNotifications;
            EXPECT_TRUE(SameGuid(n.classGuid, mediaClass));
            EXPECT_EQ(n.flags, 5u);
        }
    }
    EXPECT_EQ(interfaceNotifications, 1);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::DeviceInfoSet), 0u);
    service.Stop();
}

TEST_F(CardRegistryTest, CardWhoseInterfaceCannotBeOpenedStaysListedWithoutHandleOrNotification)
{
    // Four ways the interface cannot be had: the open fails, the device lists
    // no interface, the interface path cannot be read, the set cannot be made.
    for (int way = 0; way < 4; ++way) {
        SCOPED_TRACE(way);
        ResetSimAndProcess();
        sim::DeviceSpec spec = DeviceSpecOf(kCardA);
        spec.openFails = way == 0;
        spec.interfacePathUnreadable = way == 2;
        sim::AddDevice(spec);
        if (way == 1) {
            sim::FailCall("SetupDiEnumDeviceInterfaces");
        }
        if (way == 3) {
            sim::FailCall("SetupDiGetClassDevsW", 2);
        }
        ServiceProcess service;
        ASSERT_TRUE(service.StartRunning());
        auto cards = ListedCards();
        ASSERT_EQ(cards.size(), 1u);
        EXPECT_EQ(cards[0].deviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(cards[0].notifyHandle, nullptr);
        EXPECT_EQ(cards[0].closed, 0u);
        EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA)}));
        EXPECT_EQ(sim::CallCount("CreateFileW"), way == 0 ? 1u : 0u); // a path is never used unread
        EXPECT_EQ(sim::OpenHandleCount(sim::Kind::DeviceInfoSet), 0u);
        EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 0u);
        service.Stop();
        EXPECT_TRUE(sim::HandleFaults().empty()) << sim::HandleFaults().front();
        EXPECT_EQ(sim::FindCall("UnregisterDeviceNotification", "0x0"), std::string::npos);
        EXPECT_EQ(sim::FindCall("CloseHandle", "0xffffffffffffffff"), std::string::npos);
    }
}

TEST_F(CardRegistryTest, FailedInterfaceRegistrationIsReportedOnceAfterTheScanAndStopsTheService)
{
    AddCard(kCardA);
    AddCard(kCardB);
    sim::SetConsoleSession(1);
    sim::FailCall("RegisterDeviceNotificationW", 3); // after the two handle notifications
    ServiceProcess service;
    service.Start();
    ASSERT_TRUE(sim::WaitForState(SERVICE_STOPPED)) << "start-up went on";
    service.Join();
    EXPECT_EQ(service.exitCode, 0);

    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_DEVICE_FOUND, kCardB),
                                                        Line(MSG_ERROR, L"RegisterDeviceNotification")}));
    EXPECT_EQ(sim::Events().back().type, EVENTLOG_ERROR_TYPE);
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports[1].dwWin32ExitCode, 0u);
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 0u);

    // Kept until the process ends: the stop event, both cards' handles and
    // their handle notifications.
    EXPECT_EQ(sim::OpenHandles().size(), 5u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Event), 1u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 2u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::DeviceNotification), 2u);
}

} // namespace
