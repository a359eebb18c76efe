// Device events as Plug and Play delivers them to a running service: arrivals,
// query-removes, vetoed removals and completed removals.
#include <algorithm>
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

// The ID an arrival of the card's `index`-th interface names it by: the
// broadcast path's spelling.
std::wstring ArrivedAs(const std::wstring &id, size_t index = 0)
{
    LPWSTR derived = DeriveInstanceId(sim::InterfacePath(id, index).c_str());
    std::wstring out(derived);
    delete[] derived;
    return out;
}

// The service's waits on helpers (its wait on the stop event excluded).
std::vector<size_t> HelperWaits(size_t from)
{
    return ServiceCalls("WaitForSingleObject", from,
                        [](const sim::Call &call) { return call["dwMilliseconds"] != sim::Timeout(INFINITE); });
}

// The helpers that were started (the listener session refuses its start).
std::vector<sim::ProcessStart> StartedHelpers()
{
    std::vector<sim::ProcessStart> out;
    for (const auto &start : HelperStarts()) {
        if (start.started) {
            out.push_back(start);
        }
    }
    return out;
}

// The registrations made on the device's handles, in order, open or not.
std::vector<sim::Notification> RegistrationsOf(const std::wstring &id)
{
    std::vector<sim::Notification> out;
    for (const auto &n : sim::Notifications()) {
        if (n.deviceType == DBT_DEVTYP_HANDLE && n.device == id) {
            out.push_back(n);
        }
    }
    return out;
}

HDEVNOTIFY InterfaceRegistration()
{
    for (const auto &n : sim::Notifications()) {
        if (n.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
            return reinterpret_cast<HDEVNOTIFY>(n.value);
        }
    }
    return nullptr;
}

// A handle broadcast made by hand, of `size` bytes, in a buffer that holds a
// whole record: what lies past `size` is never to be read.
DEV_BROADCAST_HANDLE HandleRecord(HANDLE handle, HDEVNOTIFY registration, DWORD size)
{
    DEV_BROADCAST_HANDLE record;
    memset(&record, 0, sizeof record);
    record.dbch_size = size;
    record.dbch_devicetype = DBT_DEVTYP_HANDLE;
    record.dbch_handle = handle;
    record.dbch_hdevnotify = registration;
    return record;
}

DWORD SendHandleRecord(DWORD eventType, HANDLE handle, HDEVNOTIFY registration,
                       DWORD size = sizeof(DEV_BROADCAST_HANDLE))
{
    DEV_BROADCAST_HANDLE record = HandleRecord(handle, registration, size);
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
    // A card that is not present yet, for sim::DeviceArrives.
    void AddAbsentCard(const std::wstring &id)
    {
        sim::DeviceSpec spec = DeviceSpecOf(id);
        spec.present = false;
        sim::AddDevice(spec);
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
    AddCard(kCardB);
    AddAbsentCard(kCardA);
    ASSERT_TRUE(service_.StartRunning());
    size_t from = sim::Calls().size();

    // The whole card starts: its wave, render and topology interfaces arrive.
    sim::DeviceArrives(kCardA);

    const std::wstring id = ArrivedAs(kCardA);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardB), Line(MSG_DEVICE_ARRIVAL, id)}));
    EXPECT_EQ(sim::Events().back().type, EVENTLOG_INFORMATION_TYPE);
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[1].id, id); // at the tail
    ASSERT_EQ(sim::DeviceHandles(kCardA).size(), 1u);
    EXPECT_EQ(cards[1].deviceHandle, LastHandleOf(kCardA));
    EXPECT_TRUE(sim::IsOpen(cards[1].deviceHandle, sim::Kind::File));
    EXPECT_TRUE(sim::IsOpen(cards[1].notifyHandle, sim::Kind::DeviceNotification));
    EXPECT_EQ(cards[1].closed, 0u);
    // Recorded, then opened (the set given back before the handle
    // notification is registered), then the companion.
    size_t recorded = RecordCall(MSG_DEVICE_ARRIVAL, id, from);
    size_t opened = ServiceCall("CreateFileW", from);
    size_t destroyed = ServiceCall("SetupDiDestroyDeviceInfoList", opened);
    size_t registered = ServiceCall("RegisterDeviceNotificationW", opened);
    size_t started = ServiceCall("CreateProcessAsUserW", from);
    EXPECT_LT(recorded, opened);
    EXPECT_LT(destroyed, registered);
    EXPECT_LT(registered, started);
    ASSERT_NE(started, std::string::npos);
    ASSERT_EQ(CompanionStarts(id).size(), 1u);
    EXPECT_EQ(CompanionStarts(id)[0].session, kConsoleSession);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);

    // The card's interfaces again, and either card spelt in lower case.
    for (size_t index = 0; index < 3; ++index) {
        ExpectNothingHappens(
            [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(kCardA, index)); });
    }
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, Lower(sim::InterfacePath(kCardB))); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, Lower(sim::InterfacePath(kCardA, 1))); });
}

TEST_F(DeviceEventTest, ArrivalOfACardWhoseIdDiffersFromAListedOneOnlyOutsideAsciiLettersIsANewCard)
{
    // Instance parts that differ from a listed card's only in one of the
    // characters just outside A to Z and a to z, or in a letter outside ASCII.
    const struct {
        wchar_t listed;
        wchar_t arriving;
    } pairs[] = {{L'@', L'`'}, {L'[', L'{'}, {L'\u00C4', L'\u00E4'}, {L'\u0130', L'i'}};
    for (const auto &pair : pairs) {
        SCOPED_TRACE(sim::Ascii(std::wstring(1, pair.listed)));
        std::wstring head = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&";
        std::wstring listed = head + pair.listed;
        std::wstring arriving = head + pair.arriving;
        AddCard(listed);
        AddAbsentCard(arriving);
        ASSERT_TRUE(service_.StartRunning());
        sim::DeviceArrives(arriving);
        EXPECT_EQ(TextsOf(MSG_DEVICE_ARRIVAL), std::vector<std::wstring>{ArrivedAs(arriving)});
        EXPECT_EQ(ListedCards().size(), 2u);
        EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 2u);
        EXPECT_TRUE(service_.Stop());
        EXPECT_TRUE(sim::HandleFaults().empty());
        FreshMachine();
    }
}

TEST_F(DeviceEventTest, ArrivalWithNoConsoleSessionListsAndOpensTheCardWithoutCompanionOrError)
{
    sim::SetConsoleSession(sim::kNoConsole);
    AddAbsentCard(kCardA);
    ASSERT_TRUE(service_.StartRunning());
    sim::DeviceArrives(kCardA);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_ARRIVAL, ArrivedAs(kCardA))}));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_TRUE(sim::IsOpen(cards[0].deviceHandle, sim::Kind::File));
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
}

TEST_F(DeviceEventTest, BroadcastsThatNameNoTrackedCardOrAreNotActedOnDoNothing)
{
    ASSERT_TRUE(StartWithCardA(service_));
    AddAbsentCard(kOtherDevice);
    HANDLE a = LastHandleOf(kCardA);

    // Another device's interfaces.
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(kOtherDevice)); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kOtherDevice)); });
    // The card's handle through a registration that is not its own: the
    // registration, not the handle value, names the card.
    for (DWORD type : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE}) {
        ExpectNothingHappens([&] { return SendHandleRecord(type, a, InterfaceRegistration()); });
        ExpectNothingHappens([&] { return SendHandleRecord(type, a, reinterpret_cast<HDEVNOTIFY>(0x7770)); });
    }
    // Event types not acted on, with either broadcast for the card.
    for (DWORD type :
         std::initializer_list<DWORD>{DBT_DEVICEREMOVEPENDING, DBT_DEVICETYPESPECIFIC, DBT_CUSTOMEVENT, 0x0007}) {
        ExpectNothingHappens([&] { return sim::SendHandleBroadcast(type, kCardA); });
        ExpectNothingHappens([&] { return sim::SendInterfaceBroadcast(type, sim::InterfacePath(kCardA)); });
    }
    // Broadcast types not acted on for the event.
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEQUERYREMOVE, sim::InterfacePath(kCardA)); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEQUERYREMOVEFAILED, sim::InterfacePath(kCardA)); });
    ExpectNothingHappens([&] { return sim::SendHandleBroadcast(DBT_DEVICEARRIVAL, kCardA); });
    DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    ExpectNothingHappens(
        [&] { return sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, &port); });
    EXPECT_TRUE(sim::IsOpen(a, sim::Kind::File));
}

TEST_F(DeviceEventTest, MalformedBroadcastsAreIgnored)
{
    ASSERT_TRUE(StartWithCardA(service_));
    HANDLE a = LastHandleOf(kCardA);
    HDEVNOTIFY registration = ListedCards().at(0).notifyHandle;
    std::wstring path = sim::InterfacePath(kCardA);
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const size_t notificationOffset = offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify);

    for (DWORD type :
         {DBT_DEVICEARRIVAL, DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE}) {
        SCOPED_TRACE(type);
        ExpectNothingHappens([&] { return sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, type, nullptr); });
        // A record too small to hold any name, and a name never terminated.
        ExpectNothingHappens([&] { return SendRawInterfaceRecord(type, path, nameOffset); });
        ExpectNothingHappens(
            [&] { return SendRawInterfaceRecord(type, path, nameOffset + path.size() * sizeof(WCHAR)); });
        // Handle records that end before their handle, or before the end of
        // their registration (which the buffer holds beyond the record), and
        // no registration. Each is refused by the reading itself.
        const struct {
            HANDLE handle;
            HDEVNOTIFY registration;
            size_t size;
        } records[] = {
            {a, registration, offsetof(DEV_BROADCAST_HANDLE, dbch_handle)},
            {a, registration, notificationOffset},
            {a, registration, notificationOffset + sizeof(HDEVNOTIFY) - 1},
            {a, nullptr, sizeof(DEV_BROADCAST_HANDLE)},
        };
        for (const auto &r : records) {
            DEV_BROADCAST_HANDLE record = HandleRecord(r.handle, r.registration, static_cast<DWORD>(r.size));
            DeviceBroadcast read;
            EXPECT_FALSE(ReadDeviceBroadcast(&record, r.size, &read)) << r.size;
            ExpectNothingHappens(
                [&] { return SendHandleRecord(type, r.handle, r.registration, static_cast<DWORD>(r.size)); });
        }
        // Paths too short for their prefix, or too long to name a device.
        ExpectNothingHappens([&] { return sim::SendInterfaceBroadcast(type, L"\\\\?"); });
        ExpectNothingHappens([&] { return sim::SendInterfaceBroadcast(type, L""); });
        ExpectNothingHappens([&] {
            return sim::SendInterfaceBroadcast(type, L"\\\\?\\" + std::wstring(kCardA) + std::wstring(200, L'0') +
                                                         L"#{guid}");
        });
    }
    EXPECT_TRUE(sim::IsOpen(a, sim::Kind::File));
}

TEST_F(DeviceEventTest, QueryRemoveRecordsThenSweepsEverySessionOneHelperAtATimeThenClosesTheHandle)
{
    ASSERT_TRUE(StartWithCardA(service_));
    HANDLE a = LastHandleOf(kCardA);
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
    size_t from = sim::Calls().size();

    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), std::vector<std::wstring>{kCardA});
    // A helper in the services' and the console's session; the listener
    // session refuses its start.
    auto helpers = HelperStarts();
    ASSERT_EQ(helpers.size(), 3u);
    const DWORD sessions[] = {kServicesSession, kConsoleSession, kListenerSession};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(helpers[i].session, sessions[i]);
        EXPECT_EQ(helpers[i].commandLine, kCardA);
        EXPECT_EQ(helpers[i].started, i < 2);
    }
    // The record first (its time is when the step began); each helper is
    // started and waited for before the next; the card's handle is closed
    // only after the last wait.
    auto creates = ServiceCalls("CreateProcessAsUserW", from);
    auto waits = HelperWaits(from);
    ASSERT_EQ(creates.size(), 3u);
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_LT(RecordCall(MSG_QUERY_REMOVE, kCardA, from), creates[0]);
    EXPECT_LT(creates[0], waits[0]);
    EXPECT_LT(waits[0], creates[1]);
    EXPECT_LT(creates[1], waits[1]);
    size_t close = ServiceCall("CloseHandle", waits[1], With("hObject", sim::Handle(a)));
    ASSERT_NE(close, std::string::npos);
    EXPECT_GT(close, creates[2]);
    EXPECT_EQ(sim::RunningProcesses(), 0u);

    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].closed, 1u);
    EXPECT_EQ(cards[0].deviceHandle, a); // the old value, by which later broadcasts find it
    EXPECT_FALSE(sim::IsOpen(a, sim::Kind::File));
    EXPECT_EQ(cards[0].notifyHandle, notification);
    EXPECT_TRUE(sim::IsOpen(notification, sim::Kind::DeviceNotification));

    // A second query-remove on the closed entry is recorded and swept again,
    // but the stored value (handed out meanwhile to the sweep's own handles)
    // is not closed a second time.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), (std::vector<std::wstring>{kCardA, kCardA}));
    EXPECT_EQ(StartedHelpers().size(), 4u);
    EXPECT_TRUE(sim::HandleFaults().empty());
    EXPECT_EQ(ListedCards().at(0).closed, 1u);
}

TEST_F(DeviceEventTest, VetoedRemovalRecordsThenReopensReregistersAndRestartsTheCompanion)
{
    ASSERT_TRUE(StartWithCardA(service_));
    HDEVNOTIFY oldNotification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    size_t from = sim::Calls().size();

    // The notification on the closed handle still announces the veto.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_QUERY_REMOVE, kCardA),
                                                        Line(MSG_QUERY_REMOVE_FAILED, kCardA)}));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    ASSERT_EQ(sim::DeviceHandles(kCardA).size(), 2u);
    HANDLE reopened = LastHandleOf(kCardA);
    EXPECT_EQ(cards[0].deviceHandle, reopened);
    EXPECT_TRUE(sim::IsOpen(reopened, sim::Kind::File));
    EXPECT_EQ(cards[0].closed, 0u);
    // The old registration is gone; the one open registration is the entry's,
    // on the new handle.
    auto registrations = RegistrationsOf(kCardA);
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_FALSE(registrations[0].open);
    EXPECT_TRUE(registrations[1].open);
    EXPECT_EQ(registrations[1].fileHandle, reopened);
    EXPECT_EQ(reinterpret_cast<HDEVNOTIFY>(registrations[1].value), cards[0].notifyHandle);
    // Recorded first; then open, the old notification goes, the new one is
    // registered, and only then is the set released. Nothing is closed
    // before the open: the query-remove closed the old handle.
    size_t record = RecordCall(MSG_QUERY_REMOVE_FAILED, kCardA, from);
    size_t open = ServiceCall("CreateFileW", from);
    size_t unregister = ServiceCall("UnregisterDeviceNotification", from, With("Handle", sim::Handle(oldNotification)));
    size_t registered = ServiceCall("RegisterDeviceNotificationW", from, With("dbch_handle", sim::Handle(reopened)));
    ASSERT_NE(registered, std::string::npos);
    EXPECT_LT(record, open);
    EXPECT_LT(open, unregister);
    EXPECT_LT(unregister, registered);
    EXPECT_LT(registered, ServiceCall("SetupDiDestroyDeviceInfoList", open));
    EXPECT_GT(ServiceCall("CloseHandle", from), open);
    EXPECT_EQ(CompanionStarts(kCardA).size(), 2u);
    EXPECT_EQ(sim::ProcessStarts().back().application, kCompanionPath);

    // The new handle's notification now carries the card's removal.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE).size(), 2u);
    EXPECT_FALSE(sim::IsOpen(reopened, sim::Kind::File));
    EXPECT_EQ(ListedCards().at(0).closed, 1u);
}

TEST_F(DeviceEventTest, VetoOfAnOpenCardClosesItsHandleBeforeReopening)
{
    ASSERT_TRUE(StartWithCardA(service_));
    HANDLE old = LastHandleOf(kCardA);
    size_t from = sim::Calls().size();
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE_FAILED), std::vector<std::wstring>{kCardA});
    size_t close = ServiceCall("CloseHandle", from, With("hObject", sim::Handle(old)));
    ASSERT_NE(close, std::string::npos);
    EXPECT_LT(close, ServiceCall("CreateFileW", from));
    ASSERT_EQ(sim::DeviceHandles(kCardA).size(), 2u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 1u);
    EXPECT_EQ(ListedCards().at(0).deviceHandle, LastHandleOf(kCardA));
    EXPECT_EQ(ListedCards().at(0).closed, 0u);
    EXPECT_TRUE(HelperStarts().empty()); // a veto sweeps nothing
}

TEST_F(DeviceEventTest, RemoveCompleteAfterQueryRemoveRecordsThenReleasesWithoutASecondSweepOrClose)
{
    ASSERT_TRUE(StartWithCardA(service_));
    HANDLE a = LastHandleOf(kCardA);
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    size_t from = sim::Calls().size();

    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_QUERY_REMOVE, kCardA),
                                                        Line(MSG_REMOVE_COMPLETE, kCardA)}));
    EXPECT_EQ(StartedHelpers().size(), 2u);
    EXPECT_TRUE(ServiceCalls("CloseHandle", from).empty());
    size_t unregister = ServiceCall("UnregisterDeviceNotification", from, With("Handle", sim::Handle(notification)));
    ASSERT_NE(unregister, std::string::npos);
    EXPECT_LT(RecordCall(MSG_REMOVE_COMPLETE, kCardA, from), unregister);
    EXPECT_TRUE(ListedCards().empty());
    // With the notification gone nothing more is announced on the handle, and
    // the card's interfaces find nothing.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA), sim::kNotDelivered);
    ExpectNothingHappens([&] { return SendHandleRecord(DBT_DEVICEREMOVECOMPLETE, a, notification); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA)); });
}

TEST_F(DeviceEventTest, RemoveCompleteOnAnInterfaceOfAClosedCardOnlyUnregistersAndForgetsIt)
{
    ASSERT_TRUE(StartWithCardA(service_));
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    size_t from = sim::Calls().size();
    EXPECT_EQ(sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Lower(sim::InterfacePath(kCardA, 0))),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), std::vector<std::wstring>{kCardA}); // as the entry spells it
    EXPECT_TRUE(HelperWaits(from).empty());
    EXPECT_TRUE(ServiceCalls("CloseHandle", from).empty());
    EXPECT_FALSE(sim::IsOpen(notification, sim::Kind::DeviceNotification));
    EXPECT_TRUE(ListedCards().empty());
}

TEST_F(DeviceEventTest, VetoWhoseReopenFailsLeavesTheCardListedWithoutHandleOrNotification)
{
    ASSERT_TRUE(StartWithCardA(service_));
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    sim::SetDevicePresent(kCardA, false); // the interface cannot be opened now
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA), static_cast<DWORD>(NO_ERROR));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(cards[0].notifyHandle, nullptr);
    EXPECT_EQ(cards[0].closed, 0u);
    auto registrations = RegistrationsOf(kCardA);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_FALSE(registrations[0].open);
    EXPECT_EQ(CompanionStarts(kCardA).size(), 2u); // started again all the same
    // No registration announces anything on the card now; the stop releases
    // it without closing or unregistering anything bogus.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA), sim::kNotDelivered);
    service_.Stop();
    EXPECT_EQ(ServiceCall("CloseHandle", 0, With("hObject", sim::Handle(INVALID_HANDLE_VALUE))), std::string::npos);
    EXPECT_EQ(ServiceCall("UnregisterDeviceNotification", 0, With("Handle", sim::Handle(nullptr))), std::string::npos);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::DeviceNotification), 0u);
}

TEST_F(DeviceEventTest, SurpriseRemovalRecordsThenSweepsClosesUnregistersAndForgetsTheRightCard)
{
    ASSERT_TRUE(StartWithCardsAB(service_));
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
    EXPECT_LT(RecordCall(MSG_REMOVE_COMPLETE, kCardA, from), ServiceCall("CreateProcessAsUserW", from));
    size_t close = ServiceCall("CloseHandle", waits.back(), With("hObject", sim::Handle(a)));
    size_t unregister = ServiceCall("UnregisterDeviceNotification", from, With("Handle", sim::Handle(notifyA)));
    ASSERT_NE(close, std::string::npos);
    ASSERT_NE(unregister, std::string::npos);
    EXPECT_GT(unregister, close);
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].id, kCardB);
    // The later announcements of A find nothing.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA), sim::kNotDelivered);
    ExpectNothingHappens([&] { return SendHandleRecord(DBT_DEVICEREMOVECOMPLETE, a, notifyA); });
    ExpectNothingHappens(
        [&] { return sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA, 1)); });

    // B goes as Plug and Play removes a device: its handle first, then each
    // of its interfaces. The last entry goes, once.
    sim::DeviceRemoved(kCardB);
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), (std::vector<std::wstring>{kCardA, kCardB}));
    EXPECT_EQ(StartedHelpers().size(), 4u);
    EXPECT_FALSE(sim::IsOpen(b, sim::Kind::File));
    EXPECT_FALSE(sim::IsOpen(notifyB, sim::Kind::DeviceNotification));
    EXPECT_TRUE(ListedCards().empty());

    // A card that comes back is a new arrival.
    sim::SetDevicePresent(kCardA, false);
    sim::DeviceArrives(kCardA);
    EXPECT_EQ(TextsOf(MSG_DEVICE_ARRIVAL), std::vector<std::wstring>{ArrivedAs(kCardA)});
    EXPECT_EQ(ListedCards().size(), 1u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 1u);
}

TEST_F(DeviceEventTest, RemovalOfACardWhoseHandleValueWasReusedForAnotherCardForgetsOnlyItself)
{
    // Broadcasts that carry the registered value, which now names A's handle.
    sim::SetBroadcastHandle(sim::BroadcastHandle::Registered);
    ASSERT_TRUE(StartWithCardsAB(service_));
    HANDLE b = LastHandleOf(kCardB);
    HDEVNOTIFY notifyB = ListedCards().at(1).notifyHandle;
    // Both query-removed; A's removal is vetoed and A is reopened on the
    // value B's handle had (the most recently freed).
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardB), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(LastHandleOf(kCardA), b);
    size_t from = sim::Calls().size();

    // B's removal completes, announced through B's registration on its old
    // (closed) handle.
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardB), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), std::vector<std::wstring>{kCardB});
    EXPECT_TRUE(HelperWaits(from).empty());
    EXPECT_TRUE(ServiceCalls("CloseHandle", from).empty());
    EXPECT_FALSE(sim::IsOpen(notifyB, sim::Kind::DeviceNotification));
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].id, kCardA);
    EXPECT_EQ(cards[0].deviceHandle, b);
    EXPECT_EQ(cards[0].closed, 0u);
    EXPECT_TRUE(sim::IsOpen(b, sim::Kind::File));
    auto registrations = RegistrationsOf(kCardA);
    ASSERT_FALSE(registrations.empty());
    EXPECT_TRUE(registrations.back().open);
    EXPECT_EQ(registrations.back().fileHandle, b);
    EXPECT_EQ(reinterpret_cast<HDEVNOTIFY>(registrations.back().value), cards[0].notifyHandle);

    // A's own removal still finds A.
    sim::DeviceRemoved(kCardA);
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), (std::vector<std::wstring>{kCardB, kCardA}));
    EXPECT_TRUE(ListedCards().empty());
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 0u);
}

TEST_F(DeviceEventTest, CardWhoseAudioInterfaceArrivesAfterItsOthersIsOpenedWhenItArrives)
{
    // The driver registers the render and topology filters before the
    // audio one: the card is listed at its first interface, and opened once
    // its audio interface is active.
    sim::DeviceSpec spec = DeviceSpecOf(kCardA);
    std::rotate(spec.interfaces.begin(), spec.interfaces.begin() + 1, spec.interfaces.end());
    ASSERT_EQ(sim::Guid(&spec.interfaces.back().classGuid), sim::Guid(&KSCATEGORY_AUDIO));
    spec.present = false;
    sim::AddDevice(spec);
    ASSERT_TRUE(service_.StartRunning());

    sim::DeviceArrives(kCardA);

    const std::wstring id = ArrivedAs(kCardA);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_DEVICE_ARRIVAL, id)}));
    EXPECT_EQ(CompanionStarts(id).size(), 1u);
    auto cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    ASSERT_EQ(sim::DeviceHandles(kCardA).size(), 1u);
    EXPECT_EQ(cards[0].deviceHandle, LastHandleOf(kCardA));
    EXPECT_TRUE(sim::IsOpen(cards[0].deviceHandle, sim::Kind::File));
    EXPECT_EQ(cards[0].closed, 0u);
    auto registrations = RegistrationsOf(kCardA);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_TRUE(registrations[0].open);
    EXPECT_EQ(registrations[0].fileHandle, cards[0].deviceHandle);
    EXPECT_EQ(ServiceCall("CloseHandle", 0, With("hObject", sim::Handle(INVALID_HANDLE_VALUE))), std::string::npos);
    EXPECT_EQ(ServiceCall("UnregisterDeviceNotification", 0, With("Handle", sim::Handle(nullptr))), std::string::npos);

    // Its handle notification carries the query-remove: swept, then closed.
    size_t from = sim::Calls().size();
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), std::vector<std::wstring>{id});
    auto waits = HelperWaits(from);
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_NE(ServiceCall("CloseHandle", waits.back(), With("hObject", sim::Handle(cards[0].deviceHandle))),
              std::string::npos);
    EXPECT_EQ(ListedCards().at(0).closed, 1u);
}

TEST_F(DeviceEventTest, CardWhoseOpenFailedIsReleasedWithoutClosingOrUnregisteringNothing)
{
    AddCard(kCardA, true);
    ASSERT_TRUE(service_.StartRunning());
    ASSERT_EQ(ListedCards().at(0).deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CompanionStarts(kCardA).size(), 1u); // started like any other
    EXPECT_EQ(sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA)),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_REMOVE_COMPLETE), std::vector<std::wstring>{kCardA});
    EXPECT_EQ(StartedHelpers().size(), 2u);
    EXPECT_TRUE(ListedCards().empty());
    EXPECT_EQ(ServiceCall("CloseHandle", 0, With("hObject", sim::Handle(INVALID_HANDLE_VALUE))), std::string::npos);
    EXPECT_EQ(ServiceCall("UnregisterDeviceNotification", 0, With("Handle", sim::Handle(nullptr))), std::string::npos);
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
    HANDLE a = LastHandleOf(kCardA);
    HDEVNOTIFY notification = ListedCards().at(0).notifyHandle;
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
    handleRecord.dbch_hdevnotify = notification;
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
