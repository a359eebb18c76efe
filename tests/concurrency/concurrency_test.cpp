// The card list and the status record under concurrent use: storms of device
// broadcasts, cards coming and going, and session changes from several
// threads while the service thread starts up and shuts down, many times over.
// Built under ThreadSanitizer by the sim-tsan preset; every wait is bounded.
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "../unit/fixture.h"

using namespace testing_support;

namespace
{

class ConcurrencyTest : public SimTest
{
  protected:
    // Cards A and B present, card C known but not present, and a device that
    // is not a card.
    void Fresh()
    {
        FreshMachine();
        AddCard(kCardA);
        AddCard(kCardB);
        sim::DeviceSpec c = DeviceSpecOf(kCardC);
        c.present = false;
        sim::AddDevice(c);
        sim::AddDevice(DeviceSpecOf(kOtherDevice));
    }
};

// One storm thread: random broadcasts, cards arriving and going, and session
// changes until told to stop. Every answer is NO_ERROR, or "not delivered"
// when nothing is registered for the broadcast or the service no longer runs.
void Storm(unsigned seed, const std::atomic<bool> &stop, std::atomic<int> &badAnswers, std::atomic<int> &delivered)
{
    std::mt19937 random(seed);
    const std::wstring cards[] = {kCardA, kCardB, kCardC};
    static const DWORD handleEvents[] = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE};
    while (!stop.load()) {
        const std::wstring &card = cards[random() % 3];
        DWORD answer = sim::kNotDelivered;
        switch (random() % 9) {
        case 0:
            sim::DeviceArrives(card);
            break;
        case 1:
            sim::DeviceRemoved(card);
            break;
        case 2:
            answer = sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(kOtherDevice));
            break;
        case 3:
        case 4:
        case 5:
            answer = sim::SendHandleBroadcast(handleEvents[random() % 3], card);
            break;
        case 6:
            answer = sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(card, random() % 3));
            break;
        case 7:
            answer = sim::SendControl(SERVICE_CONTROL_SESSIONCHANGE,
                                      random() % 2 ? WTS_CONSOLE_CONNECT : WTS_SESSION_LOGON, nullptr, true);
            break;
        case 8:
            answer = sim::SendControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, true);
            break;
        }
        if (answer == NO_ERROR) {
            ++delivered;
        } else if (answer != sim::kNotDelivered) {
            ++badAnswers;
            fprintf(stderr, "an answer of %lu\n", static_cast<unsigned long>(answer));
        }
        std::this_thread::yield();
    }
}

// The reports form a legal sequence: start-pending, then running or stopped;
// running, then stop-pending; stop-pending, then stopped; interrogate repeats.
void ExpectLegalReports()
{
    auto reports = sim::StatusReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(sim::ServiceState(reports.front().dwCurrentState), sim::ServiceState(SERVICE_START_PENDING));
    int stopped = 0;
    for (size_t i = 1; i < reports.size(); ++i) {
        DWORD from = reports[i - 1].dwCurrentState;
        DWORD to = reports[i].dwCurrentState;
        bool legal = from == to || (from == SERVICE_START_PENDING && to == SERVICE_RUNNING) ||
                     (from == SERVICE_START_PENDING && to == SERVICE_STOPPED) ||
                     (from == SERVICE_RUNNING && to == SERVICE_STOP_PENDING) ||
                     (from == SERVICE_STOP_PENDING && to == SERVICE_STOPPED);
        EXPECT_TRUE(legal) << "report " << i << ": " << sim::Render(sim::ServiceState(from)) << " -> "
                           << sim::Render(sim::ServiceState(to));
        EXPECT_NE(from, static_cast<DWORD>(SERVICE_STOPPED)) << "a report after stopped";
    }
    for (const auto &report : reports) {
        stopped += report.dwCurrentState == SERVICE_STOPPED ? 1 : 0;
        EXPECT_EQ(report.dwWin32ExitCode, 0u);
    }
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(sim::ServiceState(reports.back().dwCurrentState), sim::ServiceState(SERVICE_STOPPED));
}

// What every round ends with: the process ended, the list freed, only the stop
// event left open (by design, until the process ends), nothing closed twice,
// nothing hung, no call after the stopped report, no process left running.
void ExpectCleanEnd(const ServiceProcess &service)
{
    EXPECT_EQ(service.exitCode, 0);
    ExpectLegalReports();
    EXPECT_EQ(CardList, nullptr) << "the list was not freed at stop";
    EXPECT_TRUE(sim::HangFaults().empty()) << sim::HangFaults().front();
    EXPECT_TRUE(sim::HandleFaults().empty()) << sim::HandleFaults().front();
    EXPECT_TRUE(sim::CallsAfterStopped().empty()) << sim::CallsAfterStopped().front();
    for (const auto &open : sim::OpenHandles()) {
        EXPECT_TRUE(open.kind == sim::Kind::Event && open.process == sim::kServiceProcess &&
                    reinterpret_cast<HANDLE>(open.value) == StopEvent)
            << "leaked " << sim::KindName(open.kind) << " handle opened by " << open.openedBy;
    }
    EXPECT_EQ(sim::RunningProcesses(), 0u);
    // Sweeps on the service thread (the stop) and on the main thread (device
    // events) take turns: a helper starts only after the one before it is gone.
    EXPECT_EQ(HelpersOverlap(), "");
}

TEST_F(ConcurrencyTest, StormsOfEventsWhileTheServiceStartsAndStops)
{
    const int rounds = 60;
    int deliveredInAll = 0;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Fresh();
        std::atomic<bool> stopStorm{false};
        std::atomic<int> badAnswers{0};
        std::atomic<int> delivered{0};
        ServiceProcess service;
        service.Start();
        // The storms begin as soon as the handler is registered, while the
        // service thread is still starting up.
        ASSERT_TRUE(sim::WaitForHandler());
        std::vector<std::thread> storms;
        for (unsigned t = 0; t < 3; ++t) {
            storms.emplace_back(Storm, round * 7 + t, std::cref(stopStorm), std::ref(badAnswers), std::ref(delivered));
        }
        EXPECT_TRUE(service.StartedUp());
        // Let the storm run against the running service for a moment that
        // differs from round to round, then stop it in the middle of the storm.
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        DWORD stopAnswer = service.Control(SERVICE_CONTROL_STOP, 0, nullptr, true);
        EXPECT_TRUE(stopAnswer == NO_ERROR || stopAnswer == sim::kNotDelivered);
        EXPECT_TRUE(service.Join()) << "the service did not stop";
        // The storm goes on a little after the stop: nothing reaches the service.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopStorm = true;
        for (auto &storm : storms) {
            storm.join();
        }
        deliveredInAll += delivered;
        EXPECT_EQ(badAnswers.load(), 0);
        ExpectCleanEnd(service);
    }
    // The storms did reach the service, not only a stopped one.
    EXPECT_GT(deliveredInAll, 0);
}

// After the stop has freed the list, requests that still reach the handler
// (as they can between the release and the stopped report) find nothing: no
// platform call, no record, NO_ERROR. Several threads at once exercise the
// lock that guards the freed list.
TEST_F(ConcurrencyTest, EventsAfterTheListIsFreedFindNothing)
{
    ServiceProcess service;
    ASSERT_TRUE(StartWithCardA(service));
    std::vector<EntryView> cards = ListedCards();
    ASSERT_EQ(cards.size(), 1u);
    std::wstring path = sim::InterfacePath(kCardA);
    ASSERT_TRUE(service.Stop());
    ASSERT_EQ(CardList, nullptr);

    size_t calls = sim::Calls().size();
    size_t records = sim::Events().size();
    size_t reports = sim::StatusReports().size();

    std::vector<unsigned char> arrival(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * sizeof(WCHAR));
    auto *iface = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(arrival.data());
    iface->dbcc_size = static_cast<DWORD>(arrival.size());
    iface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    wmemcpy(iface->dbcc_name, path.c_str(), path.size() + 1);
    // A handle broadcast as the card's registration carried it while listed.
    DEV_BROADCAST_HANDLE handle;
    memset(&handle, 0, sizeof handle);
    handle.dbch_size = sizeof handle;
    handle.dbch_devicetype = DBT_DEVTYP_HANDLE;
    handle.dbch_handle = cards[0].deviceHandle;
    handle.dbch_hdevnotify = cards[0].notifyHandle;

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                wrong += ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, iface, NULL) != NO_ERROR;
                wrong += ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, iface, NULL) !=
                         NO_ERROR;
                for (DWORD type : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE}) {
                    wrong += ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, type, &handle, NULL) != NO_ERROR;
                }
                wrong +=
                    ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, NULL, NULL) != NO_ERROR;
                // Stopped was the last report: an interrogate that raced it reports nothing.
                wrong += ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, NULL, NULL) != NO_ERROR;
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sim::Calls().size(), calls);
    EXPECT_EQ(sim::Events().size(), records);
    EXPECT_EQ(CardList, nullptr);
    // A stop that raced the stopped report neither reports stop-pending after
    // stopped nor signals the event: the process may have ended already.
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::StatusReports().size(), reports);
    EXPECT_EQ(sim::Calls().size(), calls);
}

// Two sweeps at once: the stop sweeps the cards on the service thread while a
// query-remove and a removal sweep on the main thread. Each card is swept and
// released once, whichever comes first, and nothing is closed twice.
TEST_F(ConcurrencyTest, QueryRemovesDuringTheStopSweeps)
{
    const int rounds = 30;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Fresh();
        ServiceProcess service;
        ASSERT_TRUE(service.StartRunning());
        std::atomic<bool> go{false};
        std::vector<std::thread> senders;
        for (const wchar_t *card : {kCardA, kCardB}) {
            senders.emplace_back([card, &go] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, card);
                sim::DeviceRemoved(card);
            });
        }
        go = true;
        service.Control(SERVICE_CONTROL_STOP, 0, nullptr, true);
        for (auto &sender : senders) {
            sender.join();
        }
        EXPECT_TRUE(service.Join()) << "the service did not stop";
        ExpectCleanEnd(service);
    }
}

// The handler can be asked to interrogate as soon as it is registered, before
// ServiceMain has made its first report: there is no state to report yet.
TEST_F(ConcurrencyTest, AnInterrogateBeforeTheFirstReportReportsNothing)
{
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::CallCount("SetServiceStatus"), 0u);
    EXPECT_EQ(checkPointCounter, 1u);
}

} // namespace
