// The card registry: recognising and naming cards, the list operations, the
// start-up scan, opening a card's interface and the interface notification.
#include "fixture.h"

using namespace testing_support;

namespace
{

const wchar_t kExamplePath[] = L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01#4&1A2B3C4D&0&00E0#"
                               L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave";
const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

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

// A card whose first listed audio interface is one an earlier driver left
// behind: registered, but not active.
sim::DeviceSpec WithStaleAudioInterfaceFirst(const std::wstring &id)
{
    sim::DeviceSpec spec = DeviceSpecOf(id);
    sim::Interface stale = spec.interfaces.at(0);
    stale.reference = L"oldwave";
    stale.active = false;
    spec.interfaces.insert(spec.interfaces.begin(), stale);
    return spec;
}

class CardRegistryTest : public SimTest
{
  protected:
    // A list of its own for the operations that do not need the service.
    void UseFreshList() { CardList = NewCardList(); }
};

TEST(CardHardwareId, MatchesEitherPrefixInAnyAsciiCaseOverItsFull37Characters)
{
    const struct {
        const wchar_t *text;
        bool card;
    } cases[] = {
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01", true},
        {L"pci\\ven_1412&dev_1724&subsys_7e4b2200&rev_01", true},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201", true},
        {L"Pci\\Ven_1412&Dev_1724&Subsys_7e4B2201&REV_02\\anything", true},
        {kCardA, true},
        {kCardB, true},
        // What follows the 37th character is not looked at.
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200\u00C4", true},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B220", false}, // 36 characters
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2202&REV_01", false},
        {L"", false},
        {kOtherDevice, false},
        // Only A to Z fold: the characters 0x20 above the prefix's backslash
        // and underscore are other characters...
        {L"PCI|VEN_1412&DEV_1724&SUBSYS_7E4B2200", false},
        {L"PCI\\VEN\x7F"
         L"1412&DEV_1724&SUBSYS_7E4B2200",
         false},
        // ...and so are the letters that fold to I, S or P outside ASCII.
        {L"PC\u0130\\VEN_1412&DEV_1724&SUBSYS_7E4B2200", false}, // dotted capital I
        {L"PC\u0131\\VEN_1412&DEV_1724&SUBSYS_7E4B2200", false}, // dotless small i
        {L"PCI\\VEN_1412&DEV_1724&\u017FUBSYS_7E4B2200", false}, // long s
        {L"\uFF30CI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200", false}, // full-width P
    };
    for (const auto &c : cases) {
        EXPECT_EQ(IsCardHardwareId(c.text), c.card) << sim::Ascii(c.text);
    }
}

TEST(CardInstanceId, DerivedFromTheInterfacePathCutAtTheLastHashWithTheOthersTurnedToBackslashes)
{
    EXPECT_EQ(Derived(kExamplePath), L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0");
    // As a broadcast spells it: the case of the path is kept.
    EXPECT_EQ(Derived(sim::InterfacePath(kCardA)), L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1a2b3c4d&0&00e0");
    EXPECT_EQ(Derived(L"\\\\?\\ab#cd#ef#gh\\x"), L"ab\\cd\\ef");
    EXPECT_EQ(Derived(L"\\\\?\\no-hash-at-all"), L"no-hash-at-all");
    EXPECT_EQ(Derived(L"\\\\?\\pci#ven_1412&Dev_1724#x#{guid}"), L"pci\\ven_1412&Dev_1724\\x");
    EXPECT_EQ(Derived(L"\\\\?\\#"), L"");
    // The four opening characters are skipped unchecked.
    EXPECT_EQ(Derived(L"abcdPCI#X#tail"), L"PCI\\X");

    // Too short to hold the prefix: no ID, and nothing read past the end.
    EXPECT_EQ(Derived(L""), L"<none>");
    EXPECT_EQ(Derived(L"\\\\?"), L"<none>");
    EXPECT_EQ(Derived(L"\\\\?\\"), L"");

    // An ID of 199 characters is still a device instance ID; 200 is not one.
    std::wstring longest(199, L'X');
    EXPECT_EQ(Derived(L"\\\\?\\" + longest + L"#{guid}"), longest);
    EXPECT_EQ(Derived(L"\\\\?\\" + longest + L"X#{guid}"), L"<none>");
    EXPECT_EQ(Derived(L"\\\\?\\" + std::wstring(5000, L'#')), L"<none>");
}

TEST_F(CardRegistryTest, LookupsFoldOnlyAsciiCaseOverTheWholeIdAndNameAHandleByItsRegistration)
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

    // Instance parts with the characters just outside A to Z and a to z, and
    // letters outside ASCII: each is only itself.
    const struct {
        const wchar_t *listed;
        const wchar_t *asked;
    } others[] = {{L"@", L"`"}, {L"[", L"{"}, {L"\u00C4", L"\u00E4"}, {L"\u0130", L"i"}};
    for (const auto &pair : others) {
        std::wstring listed = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&" + std::wstring(pair.listed) + L"&0";
        std::wstring asked = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&" + std::wstring(pair.asked) + L"&0";
        CardEntry *entry = AppendNamed(listed);
        EXPECT_EQ(FindCardById(listed.c_str(), nullptr), entry);
        EXPECT_EQ(FindCardById(asked.c_str(), nullptr), nullptr) << sim::Ascii(asked);
    }

    // A broadcast's registration alone names its card: of two entries holding
    // one handle value (a closed one keeps its old value; values are reused),
    // the one registered through the broadcast's notification is found,
    // whatever the list order.
    HANDLE value = reinterpret_cast<HANDLE>(0x44);
    HDEVNOTIFY first = reinterpret_cast<HDEVNOTIFY>(0x5a0000);
    HDEVNOTIFY second = reinterpret_cast<HDEVNOTIFY>(0x5a0030);
    b->deviceHandle = value;
    b->notifyHandle = first;
    b->closed = 1;
    c->deviceHandle = value;
    c->notifyHandle = second;
    EXPECT_EQ(FindCardByHandle(first, &predecessor), b);
    EXPECT_EQ(predecessor, a);
    EXPECT_EQ(FindCardByHandle(second, &predecessor), c);
    EXPECT_EQ(predecessor, b);
    // Another registration names nothing; nor does a missing one, even beside
    // an entry that has none.
    EXPECT_EQ(FindCardByHandle(reinterpret_cast<HDEVNOTIFY>(0x5a0060), nullptr), nullptr);
    a->deviceHandle = reinterpret_cast<HANDLE>(0x4c);
    EXPECT_EQ(FindCardByHandle(nullptr, nullptr), nullptr);

    UnlinkCard(b, a);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(FindCardByHandle(first, nullptr), nullptr);
    EXPECT_EQ(FindCardByHandle(second, &predecessor), c);
    EXPECT_EQ(predecessor, a);
}

TEST_F(CardRegistryTest, ScanListsOnlyPresentDevicesWhoseFirstHardwareIdIsACardsInEnumerationOrder)
{
    UseFreshList();
    ScanPresentCards();
    EXPECT_TRUE(ListedCards().empty());
    EXPECT_TRUE(sim::Events().empty());

    ResetProcessState();
    FreshMachine();
    UseFreshList();
    AddCard(kCardB);
    // Another device whose later hardware ID would match is still not a card.
    sim::DeviceSpec other;
    other.instanceId = kOtherDevice;
    other.hardwareIds = {L"PCI\\VEN_8086&DEV_2668&SUBSYS_00000000&REV_01", L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200"};
    sim::AddDevice(other);
    // A card that is not present is not listed.
    sim::DeviceSpec absent = DeviceSpecOf(kCardC);
    absent.present = false;
    sim::AddDevice(absent);
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
    auto sets = sim::Calls("SetupDiGetClassDevsW");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0]["ClassGuid"], sim::Guid(&KSCATEGORY_AUDIO));
    EXPECT_EQ(sets[0]["Enumerator"], sim::Text(nullptr));
    EXPECT_EQ(sets[0]["hwndParent"], sim::Handle(nullptr));
    EXPECT_EQ(sets[0]["Flags"], sim::DigcfFlags(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    for (const auto &read : sim::Calls("SetupDiGetDeviceRegistryPropertyW")) {
        EXPECT_EQ(read["Property"], sim::Number(SPDRP_HARDWAREID));
    }
    EXPECT_EQ(sim::CallCount("CreateFileW"), 0u);
    EXPECT_EQ(sim::CallCount("RegisterDeviceNotificationW"), 0u);
    EXPECT_TRUE(sim::OpenHandles().empty()); // the device information set was destroyed
}

TEST_F(CardRegistryTest, ScanSkipsDevicesItCannotReadAndNeverReadsOrStoresUnwrittenText)
{
    UseFreshList();
    sim::DeviceSpec unreadableIds = DeviceSpecOf(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&00000001&0&0001");
    unreadableIds.hardwareIdsUnreadable = true;
    sim::AddDevice(unreadableIds);

    sim::DeviceSpec unreadableInstance =
        DeviceSpecOf(L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&00000002&0&0002");
    unreadableInstance.instanceIdUnreadable = true;
    sim::AddDevice(unreadableInstance);

    // Hardware-ID lists stored without their terminating NULs: one ID longer
    // than the compared prefix, and one short ID that agrees with the prefix
    // up to its last character, so that the comparison reaches past the list
    // (the block's end, under AddressSanitizer) unless the list is kept
    // terminated.
    sim::DeviceSpec unterminated;
    unterminated.instanceId = kCardA;
    unterminated.hardwareIds = {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01"};
    unterminated.hardwareIdsUnterminated = true;
    sim::AddDevice(unterminated);
    sim::DeviceSpec shortUnterminated;
    shortUnterminated.instanceId = L"PCI\\VEN_1412&DEV_1724\\4&00000003&0&0003";
    shortUnterminated.hardwareIds = {L"PCI\\VEN_1412&DEV_1724"};
    shortUnterminated.hardwareIdsUnterminated = true;
    sim::AddDevice(shortUnterminated);

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

TEST_F(CardRegistryTest, ScanDropsACardWhoseIdReadFailsEndsAtTheFirstFailedEnumerationAndSurvivesAFailedSet)
{
    // The ID's length is read, the ID itself is not: the entry made for it
    // is dropped, unreported.
    UseFreshList();
    AddCard(kCardA);
    AddCard(kCardB);
    sim::FailCall("SetupDiGetDeviceInstanceIdW", 2);
    ScanPresentCards();
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].id, kCardB);
    EXPECT_EQ(TextsOf(MSG_DEVICE_FOUND), std::vector<std::wstring>{kCardB});

    ResetProcessState();
    FreshMachine();
    UseFreshList();
    AddCard(kCardA);
    AddCard(kCardB);
    sim::FailCall("SetupDiEnumDeviceInfo", 2);
    ScanPresentCards();
    cards = ListedCards();
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
    size_t firstOpen = ServiceCall("SetupDiGetClassDevsW", 0, With("Flags", sim::DigcfFlags(DIGCF_DEVICEINTERFACE)));
    ASSERT_NE(firstOpen, std::string::npos);
    EXPECT_LT(RecordCall(MSG_DEVICE_FOUND, kCardB), firstOpen);
    EXPECT_EQ(TextsOf(MSG_DEVICE_FOUND), (std::vector<std::wstring>{kCardA, kCardB}));

    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    auto calls = sim::Calls();
    const wchar_t *ids[] = {kCardA, kCardB};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(sim::Ascii(ids[i]));
        auto handles = sim::DeviceHandles(ids[i]);
        ASSERT_EQ(handles.size(), 1u);
        EXPECT_EQ(cards[i].deviceHandle, handles[0]);
        EXPECT_TRUE(sim::IsOpen(cards[i].deviceHandle, sim::Kind::File));
        EXPECT_EQ(cards[i].closed, 0u);

        // The instance ID is the enumerator, without DIGCF_PRESENT.
        size_t open = ServiceCall("SetupDiGetClassDevsW", 0, With("Enumerator", sim::Text(ids[i])));
        ASSERT_NE(open, std::string::npos);
        EXPECT_EQ(calls[open]["ClassGuid"], sim::Guid(&KSCATEGORY_AUDIO));
        EXPECT_EQ(calls[open]["Flags"], sim::DigcfFlags(DIGCF_DEVICEINTERFACE));
        size_t member = ServiceCall("SetupDiEnumDeviceInterfaces", open);
        ASSERT_NE(member, std::string::npos);
        EXPECT_EQ(calls[member]["DeviceInfoData"], sim::Handle(nullptr));
        EXPECT_EQ(calls[member]["InterfaceClassGuid"], sim::Guid(&KSCATEGORY_AUDIO));
        EXPECT_EQ(calls[member]["MemberIndex"], sim::Number(0));
        size_t create = ServiceCall("CreateFileW", open);
        ASSERT_NE(create, std::string::npos);
        EXPECT_EQ(calls[create]["lpFileName"], sim::Text(sim::SetupApiPath(ids[i]).c_str()));
        EXPECT_EQ(calls[create]["dwDesiredAccess"], sim::Access(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(calls[create]["dwShareMode"], sim::ShareMode(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(calls[create]["lpSecurityAttributes"], sim::Handle(nullptr));
        EXPECT_EQ(calls[create]["dwCreationDisposition"], sim::Disposition(OPEN_EXISTING));
        EXPECT_EQ(calls[create]["dwFlagsAndAttributes"], sim::Hex(0));
        EXPECT_EQ(calls[create]["hTemplateFile"], sim::Handle(nullptr));
        // The first open gives the set back before it registers the handle
        // notification (a reopen registers first).
        size_t destroy = ServiceCall("SetupDiDestroyDeviceInfoList", create);
        size_t notify = ServiceCall("RegisterDeviceNotificationW", create);
        ASSERT_NE(notify, std::string::npos);
        EXPECT_LT(member, create);
        EXPECT_LT(destroy, notify);
        EXPECT_EQ(calls[notify]["hRecipient"], sim::Handle(serviceStatusHandle));
        EXPECT_EQ(calls[notify]["dbch_devicetype"], sim::DeviceType(DBT_DEVTYP_HANDLE));
        EXPECT_EQ(calls[notify]["dbch_size"], sim::Number(sizeof(DEV_BROADCAST_HANDLE)));
        EXPECT_EQ(calls[notify]["dbch_handle"], sim::Handle(handles[0]));
        EXPECT_EQ(calls[notify]["Flags"], sim::NotifyFlags(DEVICE_NOTIFY_SERVICE_HANDLE));
        EXPECT_TRUE(sim::IsOpen(cards[i].notifyHandle, sim::Kind::DeviceNotification));
    }

    // The interface notification, before the listing (an interface arriving
    // meanwhile is announced, not missed): every class, Media's GUID in the
    // filter.
    size_t media = ServiceCall("SetupDiClassGuidsFromNameW");
    size_t interfaces = ServiceCall("RegisterDeviceNotificationW", 0,
                                    With("dbch_devicetype", sim::DeviceType(DBT_DEVTYP_DEVICEINTERFACE)));
    ASSERT_NE(media, std::string::npos);
    ASSERT_NE(interfaces, std::string::npos);
    EXPECT_EQ(calls[media]["ClassName"], sim::Text(L"Media"));
    EXPECT_EQ(calls[media]["ClassGuidListSize"], sim::Number(1));
    EXPECT_LT(media, interfaces);
    EXPECT_LT(interfaces, ServiceCall("SetupDiGetClassDevsW"));
    EXPECT_EQ(calls[interfaces]["hRecipient"], sim::Handle(serviceStatusHandle));
    EXPECT_EQ(calls[interfaces]["dbch_size"], sim::Number(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)));
    EXPECT_EQ(calls[interfaces]["dbcc_classguid"], sim::Guid(&kMediaClass));
    EXPECT_EQ(calls[interfaces]["Flags"],
              sim::NotifyFlags(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES));
    EXPECT_EQ(ServiceCalls("RegisterDeviceNotificationW").size(), 3u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::DeviceInfoSet), 0u);
    service.Stop();
}

TEST_F(CardRegistryTest, CardIsOpenedOnItsFirstActiveAudioInterfaceAtStartUpAndAtArrival)
{
    sim::AddDevice(WithStaleAudioInterfaceFirst(kCardA));
    sim::DeviceSpec arriving = WithStaleAudioInterfaceFirst(kCardB);
    arriving.present = false;
    sim::AddDevice(arriving);
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    sim::DeviceArrives(kCardB);

    // An arrival names the card as its broadcast path spells it.
    std::wstring arrived = Derived(sim::InterfacePath(kCardB, 1));
    EXPECT_EQ(RecordLines(),
              (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_DEVICE_ARRIVAL, arrived)}));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    for (const auto &card : cards) {
        SCOPED_TRACE(sim::Ascii(card.id));
        // One open, of the active interface; never of the stale one.
        auto opens =
            ServiceCalls("CreateFileW", 0, With("lpFileName", sim::Text(sim::SetupApiPath(card.id, 1).c_str())));
        EXPECT_EQ(opens.size(), 1u);
        EXPECT_EQ(ServiceCall("CreateFileW", 0, With("lpFileName", sim::Text(sim::SetupApiPath(card.id, 0).c_str()))),
                  std::string::npos);
        EXPECT_EQ(card.deviceHandle, LastHandleOf(card.id));
        EXPECT_TRUE(sim::IsOpen(card.deviceHandle, sim::Kind::File));
        EXPECT_TRUE(sim::IsOpen(card.notifyHandle, sim::Kind::DeviceNotification));
        EXPECT_EQ(CompanionStarts(card.id).size(), 1u);
    }
    service.Stop();
}

TEST_F(CardRegistryTest, CardWhoseInterfaceCannotBeOpenedStaysListedWithoutHandleOrNotification)
{
    // Five ways the interface cannot be had: the open fails, the device lists
    // no interface, the interface path cannot be read, the set cannot be made,
    // the device lists only an interface that is not active.
    for (int way = 0; way < 5; ++way) {
        SCOPED_TRACE(way);
        FreshMachine();
        sim::DeviceSpec spec = DeviceSpecOf(kCardA);
        spec.openFails = way == 0;
        spec.interfacePathUnreadable = way == 2;
        if (way == 4) {
            // Listed by the scan, but its interfaces are no longer active
            // when the open enumerates them.
            sim::OnCall("SetupDiEnumDeviceInterfaces", [](const sim::Call &) { sim::SetDevicePresent(kCardA, false); });
        }
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
        EXPECT_EQ(ServiceCall("UnregisterDeviceNotification", 0, With("Handle", sim::Handle(nullptr))),
                  std::string::npos);
        EXPECT_EQ(ServiceCall("CloseHandle", 0, With("hObject", sim::Handle(INVALID_HANDLE_VALUE))), std::string::npos);
    }
}

TEST_F(CardRegistryTest, FailedInterfaceRegistrationIsReportedOnceBeforeAnyListingAndStopsTheService)
{
    AddCard(kCardA);
    AddCard(kCardB);
    sim::FailCall("RegisterDeviceNotificationW", 1);
    ServiceProcess service;
    service.Start();
    ASSERT_TRUE(sim::WaitForState(SERVICE_STOPPED)) << "start-up went on";
    service.Join();
    EXPECT_EQ(service.exitCode, 0);

    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"RegisterDeviceNotification")}));
    EXPECT_EQ(sim::Events().back().type, EVENTLOG_ERROR_TYPE);
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports[1].dwWin32ExitCode, 0u);
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 0u);
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 0u);

    // Kept until the process ends: the stop event alone.
    EXPECT_EQ(sim::OpenHandles().size(), 1u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Event), 1u);
}

} // namespace
