// Status reports, the control handler and the life of the service process.
#include "fixture.h"

#include <chrono>

using namespace testing_support;

namespace
{

class ServiceTest : public SimTest
{
};

void ExpectStatus(const SERVICE_STATUS &s, DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint)
{
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwCurrentState, state);
    EXPECT_EQ(s.dwControlsAccepted, accepted);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, checkPoint);
    EXPECT_EQ(s.dwWaitHint, waitHint);
}

// Every life of the service ends in exactly one stopped report, its last.
void ExpectEndsStoppedOnce(const std::vector<SERVICE_STATUS> &reports)
{
    size_t stopped = 0;
    for (const auto &report : reports) {
        stopped += report.dwCurrentState == SERVICE_STOPPED ? 1 : 0;
        EXPECT_EQ(report.dwWin32ExitCode, 0u);
        EXPECT_EQ(report.dwServiceSpecificExitCode, 0u);
    }
    EXPECT_EQ(stopped, 1u);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

// Holds the card list's lock from the test thread, so that the service thread
// waits inside its start-up or its stop; released on scope exit at the latest.
class CardListHold
{
  public:
    CardListHold() { AcquireSRWLockExclusive(&cardListLock); }
    ~CardListHold() { Release(); }
    void Release()
    {
        if (held_) {
            held_ = false;
            ReleaseSRWLockExclusive(&cardListLock);
        }
    }

  private:
    bool held_ = true;
};

// Waits (bounded) until the call log holds `count` calls of `function`.
bool WaitForCalls(const std::string &function, size_t count)
{
    for (int i = 0; i < 1000; ++i) {
        if (sim::CallCount(function) >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_F(ServiceTest, FreshServiceRunsAndStopsWithTheExactReports)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    service.Stop();
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
    ExpectStatus(reports[1], SERVICE_RUNNING, 0x81, 0, 0);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, 0x81, 2, 0);
    ExpectStatus(reports[3], SERVICE_STOPPED, 0x81, 0, 0);
    EXPECT_TRUE(sim::Events().empty());
    ExpectEndsStoppedOnce(reports);
    // Only the stop event is left, by design, until the process ends.
    auto open = sim::OpenHandles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].kind, sim::Kind::Event);
}

TEST_F(ServiceTest, InterrogatesDuringStartUpAndWhileRunning)
{
    ServiceProcess service;
    CardListHold hold; // start-up waits for the card list: it stays pending
    service.Start();
    ASSERT_TRUE(sim::WaitForState(SERVICE_START_PENDING));
    ASSERT_TRUE(WaitForCalls("CreateEventW", 1));
    EXPECT_EQ(checkPointCounter, 2u);

    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), 0u);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), 0u);
    hold.Release();
    ASSERT_TRUE(sim::WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(checkPointCounter, 4u);

    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), 0u);
    EXPECT_EQ(checkPointCounter, 4u);
    service.Stop();
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 7u);
    ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
    ExpectStatus(reports[1], SERVICE_START_PENDING, 0, 2, 0);
    ExpectStatus(reports[2], SERVICE_START_PENDING, 0, 3, 0);
    ExpectStatus(reports[3], SERVICE_RUNNING, 0x81, 0, 0);
    ExpectStatus(reports[4], SERVICE_RUNNING, 0x81, 0, 0);
    ExpectStatus(reports[5], SERVICE_STOP_PENDING, 0x81, 4, 0);
    ExpectStatus(reports[6], SERVICE_STOPPED, 0x81, 0, 0);
}

TEST_F(ServiceTest, StopReportsBeforeSignallingAndRepeatsWhileStopPending)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    {
        CardListHold hold; // the stop waits for the card list: it stays pending
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), 0u);
        EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), 0u);
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), 0u);
        EXPECT_FALSE(sim::DispatcherReturned());
    }
    service.Join();
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 6u);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, 0x81, 2, 0);
    ExpectStatus(reports[3], SERVICE_STOP_PENDING, 0x81, 3, 0);
    ExpectStatus(reports[4], SERVICE_STOP_PENDING, 0x81, 4, 0);
    ExpectStatus(reports[5], SERVICE_STOPPED, 0x81, 0, 0);

    // Each stop is reported first and signalled second, on the one event.
    std::string stopEvent = HexOf(StopEvent);
    auto setEvents = sim::Calls("SetEvent");
    ASSERT_EQ(setEvents.size(), 2u);
    EXPECT_EQ(setEvents[0].args, stopEvent);
    EXPECT_EQ(setEvents[1].args, stopEvent);
    size_t firstReport = sim::FindCall("SetServiceStatus", "state 3, checkpoint 2");
    size_t firstSignal = sim::FindCall("SetEvent");
    size_t secondReport = sim::FindCall("SetServiceStatus", "state 3, checkpoint 4");
    EXPECT_LT(firstReport, firstSignal);
    EXPECT_LT(secondReport, sim::FindCall("SetEvent", "", firstSignal + 1));
    EXPECT_EQ(sim::CallCount("CreateEventW"), 1u);
}

TEST_F(ServiceTest, UnknownControlsAreRefusedAndChangeNothing)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    ASSERT_TRUE(WaitForCalls("WaitForSingleObject", 1)); // the service thread is idle
    size_t callsBefore = sim::Calls().size();
    for (DWORD control : {2u, 3u, 5u, 0u, 6u, 15u, 200u, 0xFFFFFFFFu}) {
        EXPECT_EQ(service.Control(control, 1, nullptr), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << control;
    }
    EXPECT_EQ(sim::Calls().size(), callsBefore);
    EXPECT_EQ(sim::StatusReports().size(), 2u);
    EXPECT_EQ(checkPointCounter, 2u);
    EXPECT_EQ(serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    service.Stop();
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, 0x81, 2, 0);
    ExpectEndsStoppedOnce(reports);
}

TEST_F(ServiceTest, SessionChangesAndDeviceEventsAreForwardedAndAnsweredZero)
{
    ServiceProcess service;
    ASSERT_TRUE(StartOneSessionWithCardA(service));
    ASSERT_EQ(sim::ProcessStarts().size(), 1u); // the companion, at start-up

    // The session-change type decides: console connect and logon start the
    // companion again, the others do nothing; all are answered 0.
    struct {
        DWORD cbSize;
        DWORD dwSessionId;
    } notification{8, 1};
    const std::pair<DWORD, size_t> sessionChanges[] = {
        {WTS_CONSOLE_CONNECT, 2},
        {WTS_CONSOLE_DISCONNECT, 2},
        {WTS_SESSION_LOGON, 3},
        {WTS_SESSION_LOGOFF, 3},
        {0xFFFF, 3},
        {0, 3},
    };
    for (const auto &change : sessionChanges) {
        EXPECT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, change.first, &notification), 0u);
        EXPECT_EQ(sim::ProcessStarts().size(), change.second) << change.first;
    }

    // Device events with no data or of any type are answered 0; one that
    // names the card reaches the device-event handling with its data.
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, nullptr), 0u);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, 0x1234, nullptr), 0u);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_CUSTOMEVENT, &notification), 0u);
    EXPECT_TRUE(TextsOf(MSG_QUERY_REMOVE).empty());
    ASSERT_EQ(sim::DeviceHandles(kCardA).size(), 1u);
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, sim::DeviceHandles(kCardA)[0]), 0u);
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), (std::vector<std::wstring>{kCardA}));

    // None of it is a status report.
    EXPECT_EQ(sim::StatusReports().size(), 2u);
    service.Stop();
    EXPECT_EQ(service.exitCode, 0);
    ExpectEndsStoppedOnce(sim::StatusReports());
}

TEST_F(ServiceTest, FailedHandlerRegistrationWritesOneRecordAndReportsNothing)
{
    sim::FailCall("RegisterServiceCtrlHandlerExW");
    ServiceProcess service;
    service.Start();
    service.Join();
    EXPECT_EQ(service.exitCode, 0);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"RegisterServiceCtrlHandler")}));
    EXPECT_EQ(sim::Events()[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(sim::CallCount("SetServiceStatus"), 0u);
    EXPECT_EQ(sim::CallCount("CreateEventW"), 0u); // the run sequence never began
    EXPECT_EQ(serviceStatusHandle, nullptr);
    auto registration = sim::Calls("RegisterServiceCtrlHandlerExW");
    ASSERT_EQ(registration.size(), 1u);
    EXPECT_EQ(registration[0].args.substr(0, 10), "\"HexlornS\"");
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(ServiceTest, EveryStartEndsInOneStoppedReportWithExitCodeZero)
{
    // Start-up failures, and a status report that Windows refused, all end the
    // same way; the counter moves on even for the refused report.
    const char *failures[] = {"CreateEventW", "RegisterDeviceNotificationW", "SetServiceStatus"};
    for (const char *failure : failures) {
        SCOPED_TRACE(failure);
        ResetSimAndProcess();
        sim::FailCall(failure, 1);
        ServiceProcess service;
        service.Start();
        if (std::string(failure) == "SetServiceStatus") {
            ASSERT_TRUE(sim::WaitForState(SERVICE_RUNNING));
            service.Control(SERVICE_CONTROL_STOP);
        }
        service.Join();
        EXPECT_EQ(service.exitCode, 0);
        auto reports = sim::StatusReports();
        ExpectEndsStoppedOnce(reports);
        if (std::string(failure) == "SetServiceStatus") {
            ASSERT_EQ(reports.size(), 3u);
            ExpectStatus(reports[1], SERVICE_STOP_PENDING, 0x81, 2, 0);
        } else {
            ASSERT_EQ(reports.size(), 2u);
            ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
            ExpectStatus(reports[1], SERVICE_STOPPED, 0x81, 0, 0);
        }
        EXPECT_TRUE(sim::HandleFaults().empty());
        EXPECT_TRUE(sim::HangFaults().empty());
    }
}

} // namespace
