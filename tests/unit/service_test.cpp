// Status reports, the control handler and the life of the service process.
#include <atomic>

#include "fixture.h"

using namespace testing_support;

namespace
{

class ServiceTest : public SimTest
{
};

constexpr DWORD kAcceptsStopAndSessionChange = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;

void ExpectStatus(const SERVICE_STATUS &s, DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint)
{
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(sim::ServiceState(s.dwCurrentState), sim::ServiceState(state));
    EXPECT_EQ(sim::Hex(s.dwControlsAccepted), sim::Hex(accepted));
    EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
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
        EXPECT_EQ(report.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(report.dwServiceSpecificExitCode, 0u);
    }
    EXPECT_EQ(stopped, 1u);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(sim::ServiceState(reports.back().dwCurrentState), sim::ServiceState(SERVICE_STOPPED));
}

// The position of the service's status report of `state` with `checkPoint`.
size_t ReportCall(DWORD state, DWORD checkPoint)
{
    return ServiceCall("SetServiceStatus", 0, [=](const sim::Call &call) {
        return call["dwCurrentState"] == sim::ServiceState(state) && call["dwCheckPoint"] == sim::Number(checkPoint);
    });
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

// Waits (bounded) until the service thread waits for the card list.
bool WaitForTheList()
{
    return sim::WaitUntil([] { return sim::LockWaiters(&cardListLock) > 0; }, 10000);
}

// Waits (bounded) until the call log holds `count` calls of `function`.
bool WaitForCalls(const std::string &function, size_t count)
{
    return sim::WaitUntil([&] { return sim::CallCount(function) >= count; }, 5000);
}

TEST_F(ServiceTest, FreshServiceRunsAndStopsWithTheExactReports)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    EXPECT_TRUE(service.Stop());
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
    ExpectStatus(reports[1], SERVICE_RUNNING, kAcceptsStopAndSessionChange, 0, 0);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 2, 0);
    ExpectStatus(reports[3], SERVICE_STOPPED, kAcceptsStopAndSessionChange, 0, 0);
    EXPECT_TRUE(sim::Events().empty());
    ExpectEndsStoppedOnce(reports);
    auto registration = sim::Calls("RegisterServiceCtrlHandlerExW");
    ASSERT_EQ(registration.size(), 1u);
    EXPECT_EQ(registration[0]["lpServiceName"], sim::Text(L"HexlornS"));
    EXPECT_EQ(registration[0]["lpContext"], sim::Handle(nullptr));
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
    ASSERT_TRUE(WaitForTheList());
    EXPECT_EQ(checkPointCounter, 2u);

    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(NO_ERROR));
    hold.Release();
    // Started up: the running report is out, not merely received (an
    // interrogate answered while it is on its way goes out merged with it).
    ASSERT_TRUE(service.StartedUp());
    EXPECT_EQ(checkPointCounter, 4u);

    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(checkPointCounter, 4u);
    EXPECT_TRUE(service.Stop());
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 7u);
    ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
    ExpectStatus(reports[1], SERVICE_START_PENDING, 0, 2, 0);
    ExpectStatus(reports[2], SERVICE_START_PENDING, 0, 3, 0);
    ExpectStatus(reports[3], SERVICE_RUNNING, kAcceptsStopAndSessionChange, 0, 0);
    ExpectStatus(reports[4], SERVICE_RUNNING, kAcceptsStopAndSessionChange, 0, 0);
    ExpectStatus(reports[5], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 4, 0);
    ExpectStatus(reports[6], SERVICE_STOPPED, kAcceptsStopAndSessionChange, 0, 0);
}

TEST_F(ServiceTest, StopReportsBeforeSignallingAndRepeatsWhileStopPending)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    {
        CardListHold hold; // the stop waits for the card list: it stays pending
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
        EXPECT_TRUE(WaitForTheList());
        EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
        EXPECT_FALSE(sim::DispatcherReturned());
    }
    EXPECT_TRUE(service.Join());
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 6u);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 2, 0);
    ExpectStatus(reports[3], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 3, 0);
    ExpectStatus(reports[4], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 4, 0);
    ExpectStatus(reports[5], SERVICE_STOPPED, kAcceptsStopAndSessionChange, 0, 0);

    // Each stop is reported first and signalled second, on the one event.
    auto setEvents = sim::Calls("SetEvent");
    ASSERT_EQ(setEvents.size(), 2u);
    EXPECT_EQ(setEvents[0]["hEvent"], sim::Handle(StopEvent));
    EXPECT_EQ(setEvents[1]["hEvent"], sim::Handle(StopEvent));
    size_t firstSignal = ServiceCall("SetEvent");
    size_t secondSignal = ServiceCall("SetEvent", firstSignal + 1);
    EXPECT_LT(ReportCall(SERVICE_STOP_PENDING, 2), firstSignal);
    EXPECT_LT(ReportCall(SERVICE_STOP_PENDING, 4), secondSignal);
    EXPECT_LT(firstSignal, ReportCall(SERVICE_STOP_PENDING, 4));
    EXPECT_EQ(sim::CallCount("CreateEventW"), 1u);
    auto creation = sim::Calls("CreateEventW")[0];
    EXPECT_EQ(creation["bManualReset"], sim::Bool(TRUE));
    EXPECT_EQ(creation["bInitialState"], sim::Bool(FALSE));
    EXPECT_EQ(creation["lpName"], sim::Text(nullptr));
}

TEST_F(ServiceTest, UnknownControlsAreRefusedAndChangeNothing)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    ASSERT_TRUE(WaitForCalls("WaitForSingleObject", 1)); // the service thread is idle
    size_t callsBefore = sim::Calls().size();
    const DWORD unknown[] = {SERVICE_CONTROL_PAUSE, 3, SERVICE_CONTROL_SHUTDOWN, 0, 6, 15, 200, 0xFFFFFFFF};
    for (DWORD control : unknown) {
        EXPECT_EQ(service.Control(control, 1, nullptr), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << control;
    }
    EXPECT_EQ(sim::Calls().size(), callsBefore);
    EXPECT_EQ(sim::StatusReports().size(), 2u);
    EXPECT_EQ(checkPointCounter, 2u);
    EXPECT_EQ(sim::ServiceState(serviceStatus.dwCurrentState), sim::ServiceState(SERVICE_RUNNING));
    EXPECT_TRUE(service.Stop());
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 2, 0);
    ExpectEndsStoppedOnce(reports);
}

TEST_F(ServiceTest, SessionChangesAndDeviceEventsAreForwardedAndAnsweredZero)
{
    ServiceProcess service;
    ASSERT_TRUE(StartWithCardA(service));
    ASSERT_EQ(StartsOf(kCompanionPath).size(), 1u); // at start-up

    // The session-change type decides: console connect and logon start the
    // companion again, the others do nothing; all are answered NO_ERROR.
    struct {
        DWORD cbSize;
        DWORD dwSessionId;
    } notification{8, kConsoleSession};
    const std::pair<DWORD, size_t> sessionChanges[] = {
        {WTS_CONSOLE_CONNECT, 2},
        {WTS_CONSOLE_DISCONNECT, 2},
        {WTS_SESSION_LOGON, 3},
        {WTS_SESSION_LOGOFF, 3},
        {0xFFFF, 3},
        {0, 3},
    };
    for (const auto &change : sessionChanges) {
        EXPECT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, change.first, &notification),
                  static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(StartsOf(kCompanionPath).size(), change.second) << change.first;
    }

    // Device events with no data or of any type are answered NO_ERROR; one
    // that names the card reaches the device-event handling with its data.
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, 0x1234, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_CUSTOMEVENT, &notification),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(TextsOf(MSG_QUERY_REMOVE).empty());
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(TextsOf(MSG_QUERY_REMOVE), (std::vector<std::wstring>{kCardA}));

    // None of it is a status report.
    EXPECT_EQ(sim::StatusReports().size(), 2u);
    EXPECT_TRUE(service.Stop());
    EXPECT_EQ(service.exitCode, 0);
    ExpectEndsStoppedOnce(sim::StatusReports());
}

TEST_F(ServiceTest, FailedHandlerRegistrationWritesOneRecordAndReportsNothing)
{
    sim::FailCall("RegisterServiceCtrlHandlerExW");
    ServiceProcess service;
    service.Start();
    EXPECT_TRUE(service.Join());
    EXPECT_EQ(service.exitCode, 0);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"RegisterServiceCtrlHandler")}));
    EXPECT_EQ(sim::CallCount("SetServiceStatus"), 0u);
    EXPECT_EQ(sim::CallCount("CreateEventW"), 0u); // the run sequence never began
    EXPECT_EQ(serviceStatusHandle, nullptr);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(ServiceTest, EveryStartEndsInOneStoppedReportWithExitCodeZero)
{
    // Start-up failures, and a status report that Windows refused, all end the
    // same way; the counter moves on even for the refused report.
    const char *failures[] = {"CreateEventW", "RegisterDeviceNotificationW", "SetServiceStatus"};
    for (const char *failure : failures) {
        SCOPED_TRACE(failure);
        FreshMachine();
        sim::FailCall(failure, 1);
        ServiceProcess service;
        service.Start();
        bool refusedReport = std::string(failure) == "SetServiceStatus";
        if (refusedReport) {
            ASSERT_TRUE(sim::WaitForState(SERVICE_RUNNING));
            service.Control(SERVICE_CONTROL_STOP);
        }
        EXPECT_TRUE(service.Join());
        EXPECT_EQ(service.exitCode, 0);
        auto reports = sim::StatusReports();
        ExpectEndsStoppedOnce(reports);
        if (refusedReport) {
            ASSERT_EQ(reports.size(), 3u);
            ExpectStatus(reports[1], SERVICE_STOP_PENDING, kAcceptsStopAndSessionChange, 2, 0);
        } else {
            ASSERT_EQ(reports.size(), 2u);
            ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
            ExpectStatus(reports[1], SERVICE_STOPPED, kAcceptsStopAndSessionChange, 0, 0);
        }
        EXPECT_TRUE(sim::HandleFaults().empty());
        EXPECT_TRUE(sim::HangFaults().empty());
    }
}

} // namespace

namespace
{

// The dispatcher runs every handler call under a lock of its own, which the
// stopped report also needs (as Wine's does): a handler that waited for a lock
// the reporting thread held across SetServiceStatus would never return. An
// interrogate taken by the handler just as the service thread reports stopped
// must return, and nothing is reported after stopped.
TEST_F(ServiceTest, AnInterrogateTakenAsTheServiceReportsStoppedReturns)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    std::thread interrogator;
    std::atomic<DWORD> answer{sim::kNotDelivered};
    std::atomic<bool> answered{false};
    sim::OnCall("SetServiceStatus", [&](const sim::Call &call) {
        if (call["dwCurrentState"] != sim::ServiceState(SERVICE_STOPPED) || interrogator.joinable()) {
            return;
        }
        // The stop's own handler call may still be returning: the
        // interrogate is the next call.
        EXPECT_TRUE(sim::WaitUntil([] { return !sim::HandlerRunning(); }, 10000));
        interrogator = std::thread([&] {
            answer = sim::SendControl(SERVICE_CONTROL_INTERROGATE);
            answered = true;
        });
        // The stopped report goes on once the handler is running the
        // interrogate (or has run it already).
        EXPECT_TRUE(sim::WaitUntil([&] { return sim::HandlerRunning() || answered; }, 10000));
    });
    EXPECT_TRUE(service.Stop());
    ASSERT_TRUE(interrogator.joinable());
    interrogator.join();
    EXPECT_EQ(answer.load(), static_cast<DWORD>(NO_ERROR));
    ExpectEndsStoppedOnce(sim::StatusReports());
    EXPECT_TRUE(sim::HangFaults().empty()) << sim::HangFaults().front();
}

} // namespace
