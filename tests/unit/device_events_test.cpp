// Device events as Plug and Play delivers them to a running service: arrivals,
// query-removes, vetoed removals and completed removals.
#include <cstddef>

#include "fixture.h"

using namespace testing_support;

namespace
{

std::wstring Lower(std::wstring text)
{
    for (auto &c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + 0x20);
        }
    }
    return text;
}

// The service's waits on helpers (its wait on the stop event excluded).
std::vector<size_t> HelperWaits(size_t from)
{
    std::vector<size_t> out;
    auto calls = sim::Calls();
    for (size_t i : ServiceCalls("WaitForSingleObject", from)) {
        if (calls[i].args.find(", 4294967295") == std::string::npos) {
            out.push_back(i);
        }
    }
    return out;
}

// A handle broadcast made by hand, for handles no notification is registered on.
DWORD SendHandleRecord(DWORD eventType, HANDLE handle, DWORD size = sizeof(DEV_BROADCAST_HANDLE))
{
    DEV_BROADCAST_HANDLE record;
    memset(&record, 0, sizeof record);
    record.dbch_size = size;
    record.dbch_devicetype = DBT_DEVTYP_HANDLE;
    record.dbch_handle = handle;
    return sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, eventType, &record);
}

// An interface broadcast of exactly `size` bytes whose name holds `name`
// without any terminator of its own.
DWORD SendRawInterfaceRecord(DWORD eventType, const std::wstring &name, size_t size)
{
    std::vector<unsigned char> buffer(size);
    auto *header = reinterpret_cast<DEV_BROADCAST_HDR *>(buffer.data());
    header->dbch_size = static_cast<DWORD>(size);
    header->dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    size_t room = size > offset ? (size - offset) / sizeof(WCHAR) : 0;
    memcpy(buffer.data() + offset, name.data(), std::min(room, name.size()) * sizeof(WCHAR));
    return sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, eventType, buffer.data());
}

class DeviceEventTest : public ServiceProcessTest
{
  protected:
    // Three sessions, the first on the console, and card A present.
    void StartWithCardA(bool openFails = false)
    {
        for (DWORD session = 1; session <= 3; ++session) {
            sim::AddSession(session);
        }
        sim::SetConsoleSession(1);
        AddCard(kCardA, openFails);
        ASSERT_TRUE(service_.StartRunning());
    }

    HANDLE HandleOfA()
    {
        auto handles = sim::DeviceHandles(kCardA);
        return handles.empty() ? nullptr : handles.back();
    }

    DWORD Arrive(const std::wstring &id, int index = 0)
    {
        return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(id, index));
    }

    // Nothing observable changes across `send`: no record, no process, no
    // open, close or (un)registration, and the list is as it was.
    template <typename Send> void ExpectNothingHappens(Send send)
    {
        auto before = ListedCards();
        size_t records = sim::Events().size();
        size_t starts = sim::ProcessStarts().size();
        size_t opens = sim::CallCount("CreateFileW");
        size_t closes = sim::CallCount("CloseHandle");
        size_t registers = sim::CallCount("RegisterDeviceNotificationW");
        size_t unregisters = sim::CallCount("UnregisterDeviceNotification");
        EXPECT_EQ(send(), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(sim::Events().size(), records);
        EXPECT_EQ(sim::ProcessStarts().size(), starts);
        EXPECT_EQ(sim::CallCount("CreateFileW"), opens);
        EXPECT_EQ(sim::CallCount("CloseHandle"), closes);
        EXPECT_EQ(sim::CallCount("RegisterDeviceNotificationW"), registers);
        EXPECT_EQ(sim::CallCount("UnregisterDeviceNotification"), unregisters);
        auto after = ListedCards();
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); ++i) {
            EXPECT_EQ(after[i].id, before[i].id);
            EXPECT_EQ(after[i].deviceHandle, before[i].deviceHandle);
            EXPECT_EQ(after[i].notifyHandle, before[i].notifyHandle);
            EXPECT_EQ(after[i].closed, before[i].closed);
        }
    }
};

TEST_F(DeviceEventTest, FirstInterfaceOfANewCardAddsOpensAndStartsOneCompanionAndLaterOnesDoNothing)
{
    sim::AddSession(1);
    sim::SetConsoleSession(1);
    AddCard(kCardB);
    ASSERT_TRUE(service_.StartRunning());
    sim::DeviceSpec spec = DeviceSpecOf(kCardA);
    spec.audioInterfaces = 3;
    sim::AddDevice(spec);
    size_t recordsBefore = sim::Events().size();

    EXPECT_EQ(Arrive(kCardA, 1), static_cast<DWORD>(NO_ERROR));

    auto records = RecordLines();
    ASSERT_EQ(records.size(), recordsBefore + 1);
    EXPECT_EQ(records.back(), Line(MSG_DEVICE_ARRIVAL, kCardA));
    EXPECT_EQ(sim::Events().back().type, EVENTLOG_INFORMATION_TYPE);
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[1].id, kCardA); // at the tail
    ASSERT_EQ(sim::DeviceHandles(kCardA).size(), 1u);
    EXPECT_EQ(cards[1].deviceHandle, HandleOfA());
    EXPECT_TRUE(sim::IsOpen(cards[1].deviceHandle));
    EXPECT_NE(cards[1].notifyHandle, nullptr);
    EXPECT_TRUE(sim::IsOpen(reinterpret_cast<HANDLE>(cards[1].notifyHandle)));
    EXPECT_EQ(cards[1].closed, 0u);
    // Recorded, then opened, then the companion.
    size_t recorded = sim::FindCall("ReportEventW", HexOf(reinterpret_cast<void *>(MSG_DEVICE_ARRIVAL)));
    size_t opened = sim::FindCall("CreateFileW", "", recorded);
    size_t started = sim::FindCall("CreateProcessAsUserW", "", opened);
    EXPECT_LT(recorded, opened);
    EXPECT_NE(started, std::string::npos);
    ASSERT_EQ(CompanionStarts(kCardA).size(), 1u);
    EXPECT_EQ(sim::ProcessStarts().back().session, 1u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);

    // The card's other interfaces, and either card spelt in lower case.
    ExpectNothingHappens([&] { return Arrive(kCardA, 0); });
    ExpectNothingHappens([&] { return Arrive(kCardA, 2); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, Lower(sim::InterfacePath(kCardB))); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, Lower(sim::InterfacePath(kCardA, 1))); });
}

TEST_F(DeviceEventTest, ArrivalWithNoConsoleSessionListsAndOpensTheCardWithoutCompanionOrError)
{
    ASSERT_TRUE(service_.StartRunning());
    AddCard(kCardA);
    EXPECT_EQ(Arrive(kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_ARRIVAL, kCardA)}));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_TRUE(sim::IsOpen(cards[0].deviceHandle));
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
}

TEST_F(DeviceEventTest, BroadcastsThatNameNoTrackedCardOrAreNotActedOnDoNothing)
{
    StartWithCardA();
    AddCard(kOtherDevice);
    HANDLE a = HandleOfA();

    ExpectNothingHappens([&] { return Arrive(kOtherDevice); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kOtherDevice)); });
    // Handles no entry holds.
    HANDLE unknown = reinterpret_cast<HANDLE>(0x7770);
    for (DWORD type : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE}) {
        ExpectNothingHappens([&] { return SendHandleRecord(type, unknown); });
    }
    // Event types not acted on, with either broadcast for the card.
    for (DWORD type :
         std::initializer_list<DWORD>{DBT_DEVICEREMOVEPENDING, DBT_DEVICETYPESPECIFIC, DBT_CUSTOMEVENT, 0x0007}) {
        ExpectNothingHappens([&] { return sim::SendHandleBroadcast(type, a); });
        ExpectNothingHappens([&] { return sim::SendInterfaceBroadcast(type, sim::InterfacePath(kCardA)); });
    }
    // Broadcast types not acted on for the event.
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEQUERYREMOVE, sim::InterfacePath(kCardA)); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEQUERYREMOVEFAILED, sim::InterfacePath(kCardA)); });
    ExpectNothingHappens([&] { return sim::SendHandleBroadcast(DBT_DEVICEARRIVAL, a); });
    DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    ExpectNothingHappens(
        [&] { return sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, &port); });
    EXPECT_TRUE(sim::IsOpen(a));
}

TEST_F(DeviceEventTest, MalformedBroadcastsAreIgnored)
{
    StartWithCardA();
    HANDLE a = HandleOfA();
    std::wstring path = sim::InterfacePath(kCardA);
    size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

    for (DWORD type : {DBT_DEVICEARRIVAL, DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVECOMPLETE}) {
        SCOPED_TRACE(type);
        ExpectNothingHappens([&] { return sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, type, nullptr); });
        // A record too small to hold any name, and a name never terminated.
        ExpectNothingHappens([&] { return SendRawInterfaceRecord(type, path, nameOffset); });
        ExpectNothingHappens(
            [&] { return SendRawInterfaceRecord(type, path, nameOffset + path.size() * sizeof(WCHAR)); });
        // A handle record cut before its handle, and handles that cannot be open.
        ExpectNothingHappens(
            [&] { return SendHandleRecord(type, a, static_cast<DWORD>(offsetof(DEV_BROADCAST_HANDLE, dbch_handle))); });
        ExpectNothingHappens([&] { return SendHandleRecord(type, nullptr); });
        ExpectNothingHappens([&] { return SendHandleRecord(type, INVALID_HANDLE_VALUE); });
        // Paths too short for their prefix, or too long to name a device.
        ExpectNothingHappens([&] { return sim::SendInterfaceBroadcast(type, L"\\\\?"); });
        ExpectNothingHappens([&] { return sim::SendInterfaceBroadcast(type, L""); });
        ExpectNothingHappens([&] {
            return sim::SendInterfaceBroadcast(type, L"\\\\?\\" + std::wstring(kCardA) + std::wstring(200, L'0') +
                                                         L"#{guid}");
        });
    }
    EXPECT_TRUE(sim::IsOpen(a));
}

TEST_F(DeviceEventTest, QueryRemoveSweepsEverySessionOneHelperAtATimeThenClosesTheHandleBeforeAnswering)
{
    StartWithCardA();
    HANDLE a = HandleOfA();
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
    size_t from = sim::Calls().size();

    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, a), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), std::vector<std::wstring>{kCardA});
    auto helpers = HelperStarts();
    ASSERT_EQ(helpers.size(), 3u);
    for (DWORD i = 0; i < 3; ++i) {
        EXPECT_EQ(helpers[i].session, i + 1);
        EXPECT_EQ(helpers[i].commandLine, kCardA);
    }
    // Each helper is started and waited for before the next; the card's
    // handle is closed only after the last wait.
    auto creates = ServiceCalls("CreateProcessAsUserW", from);
    auto waits = HelperWaits(from);
    ASSERT_EQ(creates.size(), 3u);
    ASSERT_EQ(waits.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_LT(creates[i], waits[i]);
        if (i + 1 < 3) {
            EXPECT_LT(waits[i], creates[i + 1]);
        }
    }
    size_t close = sim::FindCall("CloseHandle", HexOf(a), from);
    ASSERT_NE(close, std::string::npos);
    EXPECT_GT(close, waits.back());
    EXPECT_EQ(sim::RunningProcesses(), 0u);

    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].closed, 1u);
    EXPECT_EQ(cards[0].deviceHandle, a); // the old value, by which later broadcasts find it
    EXPECT_FALSE(sim::IsOpen(a));
    EXPECT_EQ(cards[0].notifyHandle, notification);
    EXPECT_TRUE(sim::IsOpen(reinterpret_cast<HANDLE>(notification)));

    // A second query-remove on the closed entry is recorded and swept again,
    // but the stored value is not closed a second time.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, a), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), (std::vector<std::wstring>{kCardA, kCardA}));
    EXPECT_EQ(HelperStarts().size(), 6u);
    size_t closesOfA = 0;
    for (const auto &call : sim::Calls("CloseHandle")) {
        closesOfA += call.args == HexOf(a) ? 1 : 0;
    }
    EXPECT_EQ(closesOfA, 1u);
    EXPECT_EQ(ListedCards().at(0).closed, 1u);
}

TEST_F(DeviceEventTest, VetoedRemovalReopensReregistersAndRestartsTheCompanion)
{
    StartWithCardA();
    HANDLE old = HandleOfA();
    HDEVNOTIFY oldNotification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, old), static_cast<DWORD>(NO_ERROR));
    size_t from = sim::Calls().size();

    // The notification on the closed handle still announces the veto.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, old), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_QUERY_REMOVE, kCardA),
                                                        Line(MSG_QUERY_REMOVE_FAILED, kCardA)}));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    HANDLE reopened = HandleOfA();
    EXPECT_NE(reopened, old);
    EXPECT_EQ(cards[0].deviceHandle, reopened);
    EXPECT_TRUE(sim::IsOpen(reopened));
    EXPECT_EQ(cards[0].closed, 0u);
    EXPECT_NE(cards[0].notifyHandle, oldNotification);
    EXPECT_FALSE(sim::IsOpen(reinterpret_cast<HANDLE>(oldNotification)));
    for (const auto &n : sim::Notifications()) {
        if (n.value == reinterpret_cast<uintptr_t>(cards[0].notifyHandle)) {
            EXPECT_EQ(n.fileHandle, reopened);
            EXPECT_TRUE(n.open);
        }
    }
    // Open, then the old notification goes, then the new one is registered.
    size_t open = sim::FindCall("CreateFileW", "", from);
    size_t unregister = sim::FindCall("UnregisterDeviceNotification", HexOf(oldNotification), from);
    size_t registered = sim::FindCall("RegisterDeviceNotificationW", "handle " + HexOf(reopened), from);
    EXPECT_LT(open, unregister);
    EXPECT_LT(unregister, registered);
    // The new registration comes before the set is released.
    EXPECT_LT(registered, sim::FindCall("SetupDiDestroyDeviceInfoList", "", from));
    EXPECT_EQ(sim::FindCall("CloseHandle", HexOf(old), from), std::string::npos); // no second close
    EXPECT_EQ(CompanionStarts(kCardA).size(), 2u);
    EXPECT_EQ(sim::ProcessStarts().back().application, sim::CompanionPath());

    // The new handle's notification now carries the card's removal.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, reopened), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE).size(), 2u);
    EXPECT_FALSE(sim::IsOpen(reopened));
}

TEST_F(DeviceEventTest, VetoOfAnOpenCardClosesItsHandleBeforeReopening)
{
    StartWithCardA();
    HANDLE old = HandleOfA();
    size_t from = sim::Calls().size();
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, old), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE_FAILED), std::vector<std::wstring>{kCardA});
    size_t close = sim::FindCall("CloseHandle", HexOf(old), from);
    ASSERT_NE(close, std::string::npos);
    EXPECT_LT(close, sim::FindCall("CreateFileW", "", from));
    EXPECT_FALSE(sim::IsOpen(old));
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 1u);
    EXPECT_EQ(ListedCards().at(0).deviceHandle, HandleOfA());
    EXPECT_EQ(ListedCards().at(0).closed, 0u);
    EXPECT_TRUE(HelperStarts().empty()); // a veto sweeps nothing
}

TEST_F(DeviceEventTest, RemoveCompleteAfterQueryRemoveReleasesWithoutASecondSweepOrClose)
{
    StartWithCardA();
    HANDLE a = HandleOfA();
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, a), static_cast<DWORD>(NO_ERROR));
    size_t from = sim::Calls().size();

    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, a), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_QUERY_REMOVE, kCardA),
                                                        Line(MSG_REMOVE_COMPLETE, kCardA)}));
    EXPECT_EQ(HelperStarts().size(), 3u);
    EXPECT_EQ(sim::FindCall("CloseHandle", HexOf(a), from), std::string::npos);
    EXPECT_NE(sim::FindCall("UnregisterDeviceNotification", HexOf(notification), from), std::string::npos);
    EXPECT_TRUE(ListedCards().empty());
    // With the notification gone nothing more is announced on the handle, and
    // the card's interfaces find nothing.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, a), sim::kNotDelivered);
    ExpectNothingHappens([&] { return SendHandleRecord(DBT_DEVICEREMOVECOMPLETE, a); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA)); });
}

TEST_F(DeviceEventTest, RemoveCompleteOnAnInterfaceOfAClosedCardOnlyUnregistersAndForgetsIt)
{
    StartWithCardA();
    HANDLE a = HandleOfA();
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, a), static_cast<DWORD>(NO_ERROR));
    size_t from = sim::Calls().size();
    EXPECT_EQ(sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Lower(sim::InterfacePath(kCardA, 0))),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), std::vector<std::wstring>{kCardA}); // as the entry spells it
    EXPECT_TRUE(HelperWaits(from).empty());
    EXPECT_EQ(sim::FindCall("CloseHandle", HexOf(a), from), std::string::npos);
    EXPECT_FALSE(sim::IsOpen(reinterpret_cast<HANDLE>(notification)));
    EXPECT_TRUE(ListedCards().empty());
}

TEST_F(DeviceEventTest, VetoWhoseReopenFailsLeavesTheCardListedWithoutHandleOrNotification)
{
    StartWithCardA();
    HANDLE old = HandleOfA();
    HDEVNOTIFY oldNotification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, old), static_cast<DWORD>(NO_ERROR));
    sim::SetDevicePresent(kCardA, false); // the interface cannot be opened now
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, old), static_cast<DWORD>(NO_ERROR));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(cards[0].notifyHandle, nullptr);
    EXPECT_EQ(cards[0].closed, 0u);
    EXPECT_FALSE(sim::IsOpen(reinterpret_cast<HANDLE>(oldNotification)));
    EXPECT_EQ(CompanionStarts(kCardA).size(), 2u); // started again all the same
    // The old handle's announcements no longer reach it; the stop releases
    // it without closing or unregistering anything bogus.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, old), sim::kNotDelivered);
    service_.Stop();
    EXPECT_EQ(sim::FindCall("CloseHandle", "0xffffffffffffffff"), std::string::npos);
    EXPECT_EQ(sim::FindCall("UnregisterDeviceNotification", "0x0"), std::string::npos);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::DeviceNotification), 0u);
}

TEST_F(DeviceEventTest, SurpriseRemovalSweepsClosesUnregistersAndForgetsTheRightCard)
{
    ASSERT_TRUE(StartTwoSessionsWithCardsAB(service_));
    HANDLE a = sim::DeviceHandles(kCardA).at(0);
    HANDLE b = sim::DeviceHandles(kCardB).at(0);
    HDEVNOTIFY notifyA = ListedCards().at(0).notifyHandle;
    HDEVNOTIFY notifyB = ListedCards().at(1).notifyHandle;

    // Announced first on one of A's interfaces: the first entry goes.
    size_t from = sim::Calls().size();
    EXPECT_EQ(sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA)),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), std::vector<std::wstring>{kCardA});
    auto waits = HelperWaits(from);
    ASSERT_EQ(waits.size(), 2u);
    size_t close = sim::FindCall("CloseHandle", HexOf(a), from);
    size_t unregister = sim::FindCall("UnregisterDeviceNotification", HexOf(notifyA), from);
    EXPECT_GT(close, waits.back());
    EXPECT_GT(unregister, close);
    EXPECT_NE(unregister, std::string::npos);
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].id, kCardB);
    // The later announcements of A find nothing.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, a), sim::kNotDelivered);
    ExpectNothingHappens([&] { return SendHandleRecord(DBT_DEVICEREMOVECOMPLETE, a); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA, 1)); });

    // Announced first on B's handle: the last entry goes.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, b), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), (std::vector<std::wstring>{kCardA, kCardB}));
    EXPECT_EQ(HelperStarts().size(), 4u);
    EXPECT_FALSE(sim::IsOpen(b));
    EXPECT_FALSE(sim::IsOpen(reinterpret_cast<HANDLE>(notifyB)));
    EXPECT_TRUE(ListedCards().empty());
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Lower(sim::InterfacePath(kCardB))); });

    // A card that comes back is a new arrival.
    EXPECT_EQ(Arrive(kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_DEVICE_ARRIVAL), std::vector<std::wstring>{kCardA});
    EXPECT_EQ(ListedCards().size(), 1u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 1u);
}

TEST_F(DeviceEventTest, CardWhoseOpenFailedIsReleasedWithoutClosingOrUnregisteringNothing)
{
    StartWithCardA(true);
    ASSERT_EQ(ListedCards().at(0).deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CompanionStarts(kCardA).size(), 1u); // started like any other
    EXPECT_EQ(sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA)),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), std::vector<std::wstring>{kCardA});
    EXPECT_EQ(HelperStarts().size(), 3u);
    EXPECT_TRUE(ListedCards().empty());
    EXPECT_EQ(sim::FindCall("CloseHandle", "0xffffffffffffffff"), std::string::npos);
    EXPECT_EQ(sim::FindCall("UnregisterDeviceNotification", "0x0"), std::string::npos);
}

TEST_F(DeviceEventTest, EventsBeforeTheListExistsOrAfterTheStopFreedItDoNothing)
{
    AddCard(kCardA);
    std::wstring path = sim::InterfacePath(kCardA);
    std::vector<unsigned char> buffer(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                      (path.size() + 1) * sizeof(WCHAR));
    auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(buffer.data());
    record->dbcc_size = static_cast<DWORD>(buffer.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    wmemcpy(record->dbcc_name, path.c_str(), path.size() + 1);

    HandleDeviceEvent(DBT_DEVICEARRIVAL, record);
    HandleSessionChange(WTS_CONSOLE_CONNECT);
    EXPECT_EQ(CardList, nullptr);

    ASSERT_TRUE(service_.StartRunning());
    HANDLE a = HandleOfA();
    service_.Stop();
    ASSERT_EQ(CardList, nullptr);
    size_t calls = sim::Calls().size();
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, record, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, record, nullptr),
              static_cast<DWORD>(NO_ERROR));
    DEV_BROADCAST_HANDLE handleRecord;
    memset(&handleRecord, 0, sizeof handleRecord);
    handleRecord.dbch_size = sizeof handleRecord;
    handleRecord.dbch_devicetype = DBT_DEVTYP_HANDLE;
    handleRecord.dbch_handle = a;
    for (DWORD type : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE}) {
        EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, type, &handleRecord, nullptr),
                  static_cast<DWORD>(NO_ERROR));
    }
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(CardList, nullptr);
    EXPECT_EQ(TextsOf(MSG_DEVICE_ARRIVAL).size(), 0u);
    // Only the lock was taken: no platform call at all.
    EXPECT_EQ(sim::Calls().size(), calls);
}

} // namespace
