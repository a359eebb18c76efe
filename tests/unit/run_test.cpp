// The life of the service thread: start-up, running, and the card-by-card
// release at stop; every start-up failure ends in one stopped report.
#include "fixture.h"

using namespace testing_support;

namespace
{

HDEVNOTIFY InterfaceNotification()
{
    for (const auto &n : sim::Notifications()) {
        if (n.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
            return reinterpret_cast<HDEVNOTIFY>(n.value);
        }
    }
    return nullptr;
}

HDEVNOTIFY NotificationOn(HANDLE handle)
{
    for (const auto &n : sim::Notifications()) {
        if (n.deviceType == DBT_DEVTYP_HANDLE && n.fileHandle == handle) {
            return reinterpret_cast<HDEVNOTIFY>(n.value);
        }
    }
    return nullptr;
}

// The one stopped report that ends a failed start-up, right after start-pending.
void ExpectStoppedAtStartUp()
{
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    const SERVICE_STATUS &s = reports[1];
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(s.dwControlsAccepted, 0x81u);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, 0u);
    EXPECT_TRUE(sim::DispatcherReturned());
}

class RunSequenceTest : public ServiceProcessTest
{
  protected:
    // Runs a service that is expected to stop on its own during start-up.
    void RunToFailure()
    {
        service_.Start();
        // Bounded: a start-up that goes on running is stopped by TearDown.
        ASSERT_TRUE(sim::WaitForState(SERVICE_STOPPED)) << "start-up went on";
        service_.Join();
        EXPECT_EQ(service_.exitCode, 0);
        ExpectStoppedAtStartUp();
        EXPECT_TRUE(sim::ProcessStarts().empty());
    }
};

TEST_F(RunSequenceTest, WithNoCardTheServiceStillRegistersPreparesTheConsoleTokenAndStopsCleanly)
{
    sim::AddSession(1);
    sim::SetConsoleSession(1);
    ASSERT_TRUE(service_.StartRunning());
    HDEVNOTIFY interfaces = InterfaceNotification();
    ASSERT_NE(interfaces, nullptr);
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 1u);
    EXPECT_EQ(sim::CallCount("SetTokenInformation"), 1u);
    EXPECT_TRUE(sim::ProcessStarts().empty());
    // Running is reported once the console token is closed again.
    EXPECT_LT(sim::FindCall("CloseHandle"), sim::FindCall("SetServiceStatus", "state 4"));

    service_.Stop();
    EXPECT_EQ(service_.exitCode, 0);
    EXPECT_EQ(sim::CallCount("WTSEnumerateSessionsW"), 0u); // nothing to sweep
    EXPECT_FALSE(sim::IsOpen(reinterpret_cast<HANDLE>(interfaces)));
    EXPECT_EQ(CardList, nullptr);
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::StatusReports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(OpenKinds(), (std::map<sim::Kind, size_t>{{sim::Kind::Event, 1}}));
}

TEST_F(RunSequenceTest, TwoCardsStartWithOneTokenAndAreSweptAndReleasedCardByCardAtStop)
{
    ASSERT_TRUE(StartTwoSessionsWithCardsAB(service_));

    EXPECT_EQ(RecordLines(),
              (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_DEVICE_FOUND, kCardB)}));
    HANDLE a = sim::DeviceHandles(kCardA).at(0);
    HANDLE b = sim::DeviceHandles(kCardB).at(0);
    HDEVNOTIFY notifyA = NotificationOn(a);
    HDEVNOTIFY notifyB = NotificationOn(b);
    HDEVNOTIFY interfaces = InterfaceNotification();
    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].commandLine, kCardA);
    EXPECT_EQ(starts[1].commandLine, kCardB);
    EXPECT_EQ(starts[0].token, starts[1].token);
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 1u);
    EXPECT_LT(sim::FindCall("RegisterDeviceNotificationW", "type 5"), sim::FindCall("CreateProcessAsUserW"));
    size_t secondCompanion = sim::FindCall("CreateProcessAsUserW", "", sim::FindCall("CreateProcessAsUserW") + 1);
    EXPECT_LT(secondCompanion, sim::FindCall("SetServiceStatus", "state 4"));

    size_t stopAt = sim::Calls().size();
    service_.Stop();
    EXPECT_EQ(service_.exitCode, 0);

    // Sweep A over both sessions, release A, then sweep B, release B, then
    // the interface notification, then stopped.
    auto sweepA = HelperStartsFor(kCardA, stopAt);
    auto sweepB = HelperStartsFor(kCardB, stopAt);
    ASSERT_EQ(sweepA.size(), 2u);
    ASSERT_EQ(sweepB.size(), 2u);
    size_t sweepEndA = sim::FindCall("WTSFreeMemory", "", sweepA.back());
    size_t closeA = sim::FindCall("CloseHandle", HexOf(a), stopAt);
    size_t unregisterA = sim::FindCall("UnregisterDeviceNotification", HexOf(notifyA), stopAt);
    size_t closeB = sim::FindCall("CloseHandle", HexOf(b), stopAt);
    size_t unregisterB = sim::FindCall("UnregisterDeviceNotification", HexOf(notifyB), stopAt);
    size_t unregisterInterfaces = sim::FindCall("UnregisterDeviceNotification", HexOf(interfaces), stopAt);
    size_t stopped = sim::FindCall("SetServiceStatus", "state 1", stopAt);
    EXPECT_LT(sweepA.back(), sweepEndA);
    EXPECT_LT(sweepEndA, closeA);
    EXPECT_LT(closeA, unregisterA);
    EXPECT_LT(unregisterA, sweepB.front());
    EXPECT_LT(sweepB.back(), closeB);
    EXPECT_LT(closeB, unregisterB);
    EXPECT_LT(unregisterB, unregisterInterfaces);
    EXPECT_LT(unregisterInterfaces, stopped);
    EXPECT_NE(stopped, std::string::npos);

    // Stopping writes no record of its own.
    EXPECT_EQ(sim::Events().size(), 2u);
    EXPECT_EQ(CardList, nullptr);
    EXPECT_EQ(OpenKinds(), (std::map<sim::Kind, size_t>{{sim::Kind::Event, 1}}));
}

TEST_F(RunSequenceTest, CardsClosedOrArrivedWhileRunningAreSweptAndReleasedOnceAtStop)
{
    sim::AddSession(1);
    sim::SetConsoleSession(1);
    AddCard(kCardA);
    AddCard(kCardB, true); // its interface cannot be opened
    ASSERT_TRUE(service_.StartRunning());
    HANDLE a = sim::DeviceHandles(kCardA).at(0);
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, a), static_cast<DWORD>(NO_ERROR));
    AddCard(kCardC);
    ASSERT_EQ(sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(kCardC)), static_cast<DWORD>(NO_ERROR));
    HANDLE c = sim::DeviceHandles(kCardC).at(0);
    EXPECT_EQ(sim::ProcessStarts().size(), 4u); // A, B, A's helper, C

    size_t stopAt = sim::Calls().size();
    service_.Stop();
    EXPECT_EQ(HelperStartsFor(kCardA, stopAt).size(), 1u);
    EXPECT_EQ(HelperStartsFor(kCardB, stopAt).size(), 1u);
    EXPECT_EQ(HelperStartsFor(kCardC, stopAt).size(), 1u);
    EXPECT_EQ(sim::FindCall("CloseHandle", HexOf(a), stopAt), std::string::npos); // closed at the query-remove
    EXPECT_LT(HelperStartsFor(kCardC, stopAt).at(0), sim::FindCall("CloseHandle", HexOf(c), stopAt));
    EXPECT_FALSE(sim::IsOpen(c));
    EXPECT_EQ(sim::Notifications().size(), 3u); // A, C, the interfaces; B had none
    for (const auto &n : sim::Notifications()) {
        EXPECT_FALSE(n.open);
    }
    EXPECT_EQ(sim::FindCall("CloseHandle", "0xffffffffffffffff"), std::string::npos);
    EXPECT_EQ(sim::FindCall("UnregisterDeviceNotification", "0x0"), std::string::npos);
    EXPECT_EQ(OpenKinds(), (std::map<sim::Kind, size_t>{{sim::Kind::Event, 1}}));
}

TEST_F(RunSequenceTest, FailedStopEventStopsAtOnceWithNothingAcquired)
{
    AddCard(kCardA);
    sim::FailCall("CreateEventW");
    RunToFailure();
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 0u);
    EXPECT_EQ(sim::CallCount("RegisterDeviceNotificationW"), 0u);
    EXPECT_EQ(CardList, nullptr);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(RunSequenceTest, FailedConsoleTokenIsReportedOnceThenStoppedKeepingWhatWasAcquired)
{
    for (const char *failing : {"OpenProcessToken", "DuplicateTokenEx", "SetTokenInformation"}) {
        for (DWORD console : {1u, 0xFFFFFFFFu}) {
            std::string name(failing);
            // With no console the session is never set, and start-up goes on.
            if (name == "SetTokenInformation" && console == 0xFFFFFFFF) {
                continue;
            }
            SCOPED_TRACE(name + " console " + std::to_string(console));
            service_.Stop();
            ResetSimAndProcess();
            sim::AddSession(1);
            sim::SetConsoleSession(console);
            AddCard(kCardA);
            sim::FailCall(failing);
            RunToFailure();
            EXPECT_EQ(RecordLines(),
                      (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA),
                                                 Line(MSG_ERROR, std::wstring(name.begin(), name.end()))}));
            // Kept until the process ends: the stop event, the card's handle
            // and notification, and the interface notification.
            EXPECT_EQ(OpenKinds(),
                      (std::map<sim::Kind, size_t>{
                          {sim::Kind::Event, 1}, {sim::Kind::File, 1}, {sim::Kind::DeviceNotification, 2}}));
            EXPECT_TRUE(sim::HandleFaults().empty());
        }
    }
}

TEST_F(RunSequenceTest, NoConsoleSessionAtStartUpStillRunsWithoutCompanionOrRecord)
{
    sim::AddSession(1);
    AddCard(kCardA);
    ASSERT_TRUE(service_.StartRunning());
    EXPECT_EQ(RecordLines(), std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA)});
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 1u);
    // The card is still swept in every session at stop.
    service_.Stop();
    EXPECT_EQ(HelperStartsFor(kCardA, 0).size(), 1u);
    EXPECT_EQ(OpenKinds(), (std::map<sim::Kind, size_t>{{sim::Kind::Event, 1}}));
}

} // namespace
