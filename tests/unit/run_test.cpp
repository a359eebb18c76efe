// The life of the service thread: start-up, running, and the card-by-card
// release at stop; every start-up failure ends in one stopped report.
#include "fixture.h"

#include <atomic>

using namespace testing_support;

namespace
{

// The service's registration for the interfaces of every class.
HDEVNOTIFY InterfaceNotification()
{
    for (const auto &n : sim::Notifications()) {
        if (n.deviceType == DBT_DEVTYP_DEVICEINTERFACE && n.process == sim::kServiceProcess) {
            return reinterpret_cast<HDEVNOTIFY>(n.value);
        }
    }
    return nullptr;
}

bool IsInterfaceRegistration(const sim::Call &call)
{
    return call["dbch_devicetype"] == sim::DeviceType(DBT_DEVTYP_DEVICEINTERFACE);
}

// The one stopped report that ends a failed start-up, right after start-pending.
void ExpectStoppedAtStartUp()
{
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(sim::ServiceState(reports[0].dwCurrentState), sim::ServiceState(SERVICE_START_PENDING));
    const SERVICE_STATUS &s = reports[1];
    EXPECT_EQ(sim::ServiceState(s.dwCurrentState), sim::ServiceState(SERVICE_STOPPED));
    EXPECT_EQ(sim::Hex(s.dwControlsAccepted), sim::Hex(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE));
    EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, 0u);
    EXPECT_TRUE(sim::DispatcherReturned());
}

// The names of the service's calls from `from` up to `to`, in order.
std::vector<std::string> CallsBetween(size_t from, size_t to)
{
    std::vector<std::string> out;
    auto calls = sim::Calls();
    for (size_t i = from; i < to && i < calls.size(); ++i) {
        if (calls[i].process == sim::kServiceProcess) {
            out.push_back(calls[i].function);
        }
    }
    return out;
}

// A broadcast sent from a thread of its own while the service thread is at a
// point of its start-up: the service thread goes on only once the control is
// being handled and its handler waits for the card list, or has been handled.
class BroadcastDuringStartUp
{
  public:
    explicit BroadcastDuringStartUp(std::function<void()> send) : send_(std::move(send)) {}
    ~BroadcastDuringStartUp() { Join(); }

    // Called on the service thread, from a hook.
    void SendAndWait()
    {
        if (started_.exchange(true)) {
            return;
        }
        thread_ = std::thread([this] {
            send_();
            done_ = true;
        });
        handlerWaited_ = sim::WaitUntil([this] { return done_ || sim::LockWaiters(&cardListLock) > 0; }, 10000);
    }
    bool Join()
    {
        bool ended = !started_ || sim::WaitUntil([this] { return done_.load(); }, 30000);
        if (thread_.joinable()) {
            thread_.join();
        }
        return ended && handlerWaited_;
    }

  private:
    std::function<void()> send_;
    std::atomic<bool> started_{false}, done_{false};
    bool handlerWaited_ = false;
    std::thread thread_;
};

class RunSequenceTest : public ServiceProcessTest
{
  protected:
    void TearDown() override
    {
        sim::AfterCall("RegisterDeviceNotificationW", nullptr);
        ServiceProcessTest::TearDown();
    }

    // Starts the service with `broadcast` sent from the service thread right
    // after a registration of `deviceType` (the interfaces', or a card's
    // handle) has taken effect. True when the service runs and the broadcast
    // was handled.
    bool StartWithBroadcastAfterRegistration(DWORD deviceType, BroadcastDuringStartUp &broadcast)
    {
        sim::AfterCall("RegisterDeviceNotificationW", [&](const sim::Call &call) {
            if (call["dbch_devicetype"] == sim::DeviceType(deviceType)) {
                broadcast.SendAndWait();
            }
        });
        bool running = service_.StartRunning();
        sim::AfterCall("RegisterDeviceNotificationW", nullptr);
        return broadcast.Join() && running;
    }

    // Runs a service that is expected to stop on its own during start-up.
    void RunToFailure()
    {
        service_.Start();
        // Bounded: a start-up that goes on running is stopped by TearDown.
        ASSERT_TRUE(sim::WaitForState(SERVICE_STOPPED)) << "start-up went on";
        EXPECT_TRUE(service_.Join());
        EXPECT_EQ(service_.exitCode, 0);
        ExpectStoppedAtStartUp();
        EXPECT_TRUE(sim::ProcessStarts().empty());
    }
};

TEST_F(RunSequenceTest, WithNoCardTheServiceStillRegistersPreparesTheConsoleTokenAndStopsCleanly)
{
    ASSERT_TRUE(service_.StartRunning());
    HDEVNOTIFY interfaces = InterfaceNotification();
    ASSERT_NE(interfaces, nullptr);
    auto registration = sim::Calls("RegisterDeviceNotificationW");
    ASSERT_EQ(registration.size(), 1u);
    EXPECT_EQ(registration[0]["hRecipient"], sim::Handle(serviceStatusHandle));
    EXPECT_EQ(registration[0]["Flags"],
              sim::NotifyFlags(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES));
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 1u);
    auto session = sim::Calls("SetTokenInformation");
    ASSERT_EQ(session.size(), 1u);
    EXPECT_EQ(session[0]["TokenInformation"], sim::SessionId(kConsoleSession));
    EXPECT_TRUE(sim::ProcessStarts().empty());
    // Running is reported once both console tokens are closed again.
    size_t running = ServiceCall("SetServiceStatus", 0, With("dwCurrentState", sim::ServiceState(SERVICE_RUNNING)));
    size_t tokensReady = ServiceCall("SetTokenInformation");
    EXPECT_LT(ServiceCall("CloseHandle", tokensReady, With("hObject", session[0]["TokenHandle"])), running);
    EXPECT_LT(ServiceCall("CloseHandle", tokensReady,
                          With("hObject", sim::Calls("DuplicateTokenEx").at(0)["hExistingToken"])),
              running);

    EXPECT_TRUE(service_.Stop());
    EXPECT_EQ(service_.exitCode, 0);
    EXPECT_EQ(sim::CallCount("WTSEnumerateSessionsW"), 0u); // nothing to sweep
    EXPECT_FALSE(sim::IsOpen(interfaces, sim::Kind::DeviceNotification));
    EXPECT_EQ(CardList, nullptr);
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::ServiceState(sim::StatusReports().back().dwCurrentState), sim::ServiceState(SERVICE_STOPPED));
    EXPECT_EQ(OpenKinds(), (std::map<sim::Kind, size_t>{{sim::Kind::Event, 1}}));
}

TEST_F(RunSequenceTest, TwoCardsStartWithOneTokenAndAreSweptAndReleasedCardByCardAtStop)
{
    ASSERT_TRUE(StartWithCardsAB(service_));

    EXPECT_EQ(RecordLines(),
              (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_DEVICE_FOUND, kCardB)}));
    auto listed = ListedCards();
    ASSERT_EQ(listed.size(), 2u);
    HANDLE a = listed[0].deviceHandle;
    HANDLE b = listed[1].deviceHandle;
    HDEVNOTIFY interfaces = InterfaceNotification();
    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].commandLine, kCardA);
    EXPECT_EQ(starts[1].commandLine, kCardB);
    EXPECT_EQ(starts[0].token, starts[1].token);
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 1u);
    size_t firstCompanion = ServiceCall("CreateProcessAsUserW");
    EXPECT_LT(ServiceCall("RegisterDeviceNotificationW", 0, IsInterfaceRegistration), firstCompanion);
    EXPECT_LT(ServiceCall("CreateProcessAsUserW", firstCompanion + 1),
              ServiceCall("SetServiceStatus", 0, With("dwCurrentState", sim::ServiceState(SERVICE_RUNNING))));

    size_t stopAt = sim::Calls().size();
    EXPECT_TRUE(service_.Stop());
    EXPECT_EQ(service_.exitCode, 0);

    // Sweep A over every session, release A, then sweep B, release B, then
    // the interface notification, then stopped.
    auto sweepA = HelperStartsFor(kCardA, stopAt);
    auto sweepB = HelperStartsFor(kCardB, stopAt);
    ASSERT_EQ(sweepA.size(), 3u); // sessions 0, 1 and the listener, where the start fails
    ASSERT_EQ(sweepB.size(), 3u);
    size_t sweepEndA = ServiceCall("WTSFreeMemory", sweepA.back());
    size_t closeA = ServiceCall("CloseHandle", stopAt, With("hObject", sim::Handle(a)));
    size_t unregisterA =
        ServiceCall("UnregisterDeviceNotification", stopAt, With("Handle", sim::Handle(listed[0].notifyHandle)));
    size_t closeB = ServiceCall("CloseHandle", stopAt, With("hObject", sim::Handle(b)));
    size_t unregisterB =
        ServiceCall("UnregisterDeviceNotification", stopAt, With("Handle", sim::Handle(listed[1].notifyHandle)));
    size_t unregisterInterfaces =
        ServiceCall("UnregisterDeviceNotification", stopAt, With("Handle", sim::Handle(interfaces)));
    size_t stopped =
        ServiceCall("SetServiceStatus", stopAt, With("dwCurrentState", sim::ServiceState(SERVICE_STOPPED)));
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
    AddCard(kCardA);
    AddCard(kCardB, true); // its interface cannot be opened
    sim::DeviceSpec c = DeviceSpecOf(kCardC);
    c.present = false;
    sim::AddDevice(c);
    ASSERT_TRUE(service_.StartRunning());
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    sim::DeviceArrives(kCardC);
    auto listed = ListedCards();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].closed, 1u);
    EXPECT_EQ(listed[1].deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(listed[1].notifyHandle, nullptr);
    HANDLE cHandle = listed[2].deviceHandle;
    ASSERT_TRUE(sim::IsOpen(cHandle, sim::Kind::File));
    // An arrived card is named as its interface path spells it.
    const std::wstring cId = listed[2].id;
    for (const std::wstring &card : {std::wstring(kCardA), std::wstring(kCardB), cId}) {
        EXPECT_EQ(CompanionStarts(card).size(), 1u) << sim::Ascii(card);
    }

    size_t stopAt = sim::Calls().size();
    EXPECT_TRUE(service_.Stop());
    auto sweepA = HelperStartsFor(kCardA, stopAt);
    auto sweepB = HelperStartsFor(kCardB, stopAt);
    auto sweepC = HelperStartsFor(cId, stopAt);
    ASSERT_EQ(sweepA.size(), 3u);
    ASSERT_EQ(sweepB.size(), 3u);
    ASSERT_EQ(sweepC.size(), 3u);
    // Each release lies between the end of its card's sweep and the next
    // sweep: A, closed at the query-remove, only gives its notification back
    // (its old handle value may name another object by now); B, never opened,
    // has nothing to give back; C gives both.
    size_t endA = ServiceCall("WTSFreeMemory", sweepA.back());
    size_t endB = ServiceCall("WTSFreeMemory", sweepB.back());
    size_t endC = ServiceCall("WTSFreeMemory", sweepC.back());
    size_t interfacesGone =
        ServiceCall("UnregisterDeviceNotification", endC + 1, With("Handle", sim::Handle(InterfaceNotification())));
    EXPECT_EQ(CallsBetween(endA + 1, ServiceCall("WTSEnumerateSessionsW", endA)),
              std::vector<std::string>{"UnregisterDeviceNotification"});
    EXPECT_TRUE(CallsBetween(endB + 1, ServiceCall("WTSEnumerateSessionsW", endB)).empty());
    EXPECT_EQ(CallsBetween(endC + 1, interfacesGone),
              (std::vector<std::string>{"CloseHandle", "UnregisterDeviceNotification"}));
    EXPECT_EQ(ServiceCall("CloseHandle", endC),
              ServiceCall("CloseHandle", endC, With("hObject", sim::Handle(cHandle))));
    EXPECT_FALSE(sim::IsOpen(cHandle, sim::Kind::File));
    size_t given = 0; // A, C, the interfaces; B's registration on no handle was refused
    for (const auto &n : sim::Notifications()) {
        given += n.value != 0 ? 1 : 0;
        EXPECT_FALSE(n.open);
    }
    EXPECT_EQ(given, 3u);
    EXPECT_EQ(ServiceCall("CloseHandle", 0, With("hObject", sim::Handle(INVALID_HANDLE_VALUE))), std::string::npos);
    EXPECT_EQ(ServiceCall("UnregisterDeviceNotification", 0, With("Handle", sim::Handle(nullptr))), std::string::npos);
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
        for (DWORD console : {kConsoleSession, sim::kNoConsole}) {
            std::string name(failing);
            // With no console the session is never set, and start-up goes on.
            if (name == "SetTokenInformation" && console == sim::kNoConsole) {
                continue;
            }
            SCOPED_TRACE(name + " " + sim::Render(sim::SessionId(console)));
            EXPECT_TRUE(service_.Stop());
            FreshMachine();
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
    sim::SetConsoleSession(sim::kNoConsole);
    AddCard(kCardA);
    ASSERT_TRUE(service_.StartRunning());
    EXPECT_EQ(RecordLines(), std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA)});
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 1u);
    EXPECT_EQ(sim::CallCount("SetTokenInformation"), 0u);
    // The card is still swept in every session at stop.
    EXPECT_TRUE(service_.Stop());
    EXPECT_EQ(HelperStartsFor(kCardA).size(), 3u);
    EXPECT_EQ(OpenKinds(), (std::map<sim::Kind, size_t>{{sim::Kind::Event, 1}}));
}

TEST_F(RunSequenceTest, CardArrivingAfterTheInterfaceRegistrationIsListedOnceWithOneCompanion)
{
    // Card C arrives the moment the interface registration exists, before
    // start-up lists the cards: the listing sees it, and the arrival, which
    // waits for the list, finds it listed under the broadcast's spelling of
    // its ID. It is seen twice and listed, opened and started once.
    AddCard(kCardA);
    sim::DeviceSpec c = DeviceSpecOf(kCardC);
    c.present = false;
    sim::AddDevice(c);
    BroadcastDuringStartUp arrival([] { sim::DeviceArrives(kCardC); });
    ASSERT_TRUE(StartWithBroadcastAfterRegistration(DBT_DEVTYP_DEVICEINTERFACE, arrival));

    auto listed = ListedCards();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].id, kCardC);
    EXPECT_TRUE(sim::IsOpen(listed[1].deviceHandle, sim::Kind::File));
    EXPECT_EQ(sim::DeviceHandles(kCardC).size(), 1u);
    EXPECT_EQ(CompanionStarts(kCardA).size(), 1u);
    EXPECT_EQ(CompanionStarts(kCardC).size(), 1u);
    EXPECT_EQ(RecordLines(),
              (std::vector<std::wstring>{Line(MSG_DEVICE_FOUND, kCardA), Line(MSG_DEVICE_FOUND, kCardC)}));
}

TEST_F(RunSequenceTest, CardQueryRemovedDuringStartUpGetsNoCompanionAfterItsHandleIsClosed)
{
    // A query-remove of a card found at start-up comes as soon as its handle
    // notification exists: it waits for the list, so the companion start-up
    // gives the card comes before the sweep and the close. Its time counts
    // from its arrival at the handler, so the slow companion starts it waits
    // for, and helpers that never end, still leave it answered within the
    // sweep's 20 s, the 1 s for the helper ended last and one process start.
    const ULONGLONG startMs = 2000;
    sim::Costs costs;
    costs.createProcess = startMs;
    sim::SetCosts(costs);
    sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
    AddCard(kCardA);
    AddCard(kCardB);
    AddCard(kCardC);
    DWORD answer = sim::kNotDelivered;
    ULONGLONG sent = 0;
    BroadcastDuringStartUp queryRemove([&] {
        sent = sim::Now();
        answer = sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
    });
    ASSERT_TRUE(StartWithBroadcastAfterRegistration(DBT_DEVTYP_HANDLE, queryRemove));
    EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR));

    HANDLE a = LastHandleOf(kCardA);
    size_t close = ServiceCall("CloseHandle", 0, With("hObject", sim::Handle(a)));
    ASSERT_NE(close, std::string::npos);
    auto companions = ServiceCalls("CreateProcessAsUserW", 0, With("lpApplicationName", sim::Text(kCompanionPath)));
    ASSERT_EQ(companions.size(), 3u);
    EXPECT_LT(companions.back(), RecordCall(MSG_QUERY_REMOVE, kCardA));
    EXPECT_LT(companions.back(), close);
    EXPECT_LE(sim::Calls()[close].at - sent, 20000 + 1000 + startMs);
    auto listed = ListedCards();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].closed, 1u);
}

} // namespace
