// The card list and the status record under concurrent use: storms of device
// broadcasts and session changes from several threads while the service thread
// starts up and shuts down, many times over. Built under ThreadSanitizer by the
// sim-tsan preset; every wait is bounded.
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "../unit/fixture.h"

using namespace testing_support;

namespace
{

class ConcurrencyTest : public SimTest
{
  protected:
    void Fresh()
    {
        ResetSimAndProcess();
        sim::AddSession(0, WTSDisconnected);
        sim::AddSession(1);
        sim::SetConsoleSession(1);
        AddCard(kCardA);
        AddCard(kCardB);
        sim::DeviceSpec c = DeviceSpecOf(kCardC);
        c.audioInterfaces = 2;
        sim::AddDevice(c);
        sim::SetDevicePresent(kCardC, false);
        sim::AddDevice(DeviceSpecOf(kOtherDevice));
    }
};

bool WaitUntil(const std::function<bool()> &done, std::chrono::seconds bound)
{
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// One storm thread: random broadcasts and session changes until told to stop.
// Every answer is NO_ERROR, or "not delivered" when nothing is registered for
// the broadcast or the service no longer runs.
void Storm(unsigned seed, const std::atomic<bool> &stop, std::atomic<int> &badAnswers, std::atomic<int> &delivered)
{
    std::mt19937 random(seed);
    const std::wstring cards[] = {kCardA, kCardB, kCardC};
    while (!stop.load()) {
        const std::wstring &card = cards[random() % 3];
        DWORD answer = sim::kNotDelivered;
        switch (random() % 8) {
        case 0:
            answer = sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(card, random() % 2));
            break;
        case 1:
            answer = sim::SendInterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(kOtherDevice));
            break;
        case 2:
        case 3:
        case 4: {
            static const DWORD types[] = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE};
            auto handles = sim::DeviceHandles(card);
            if (!handles.empty()) {
                answer = sim::SendHandleBroadcast(types[random() % 3], handles[random() % handles.size()]);
            }
            break;
        }
        case 5:
            answer = sim::SendInterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(card));
            break;
        case 6:
            answer = sim::SendControl(SERVICE_CONTROL_SESSIONCHANGE,
                                      random() % 2 ? WTS_CONSOLE_CONNECT : WTS_SESSION_LOGON, nullptr, true);
            break;
        case 7:
            answer = sim::SendControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, true);
            break;
        }
        if (answer == NO_ERROR) {
            ++delivered;
        } else if (answer != sim::kNotDelivered) {
            ++badAnswers;
            fprintf(stderr, "an answer of %lu\n", static_cast<unsigned long>(answer));
        }
        if (random() % 4 == 0) {
            sim::SetDevicePresent(kCardC, random() % 2 == 0);
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
    EXPECT_EQ(reports.front().dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    int stopped = 0;
    for (size_t i = 1; i < reports.size(); ++i) {
        DWORD from = reports[i - 1].dwCurrentState;
        DWORD to = reports[i].dwCurrentState;
        bool legal = from == to || (from == SERVICE_START_PENDING && to == SERVICE_RUNNING) ||
                     (from == SERVICE_START_PENDING && to == SERVICE_STOPPED) ||
                     (from == SERVICE_RUNNING && to == SERVICE_STOP_PENDING) ||
                     (from == SERVICE_STOP_PENDING && to == SERVICE_STOPPED);
        EXPECT_TRUE(legal) << "report " << i << ": " << from << " -> " << to;
        EXPECT_NE(from, static_cast<DWORD>(SERVICE_STOPPED)) << "a report after stopped";
    }
    for (const auto &report : reports) {
        stopped += report.dwCurrentState == SERVICE_STOPPED ? 1 : 0;
        EXPECT_EQ(report.dwWin32ExitCode, 0u);
    }
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ConcurrencyTest, StormsOfEventsWhileTheServiceStartsAndStops)
{
    const int rounds = 60;
    int deliveredInAll = 0;
    for (int round = 0; round < rounds; ++round) {
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
        bool startedUp = WaitUntil(
            [] {
                auto reports = sim::StatusReports();
                return !reports.empty() && (reports.back().dwCurrentState == SERVICE_RUNNING ||
                                            reports.back().dwCurrentState == SERVICE_STOPPED);
            },
            std::chrono::seconds(60));
        EXPECT_TRUE(startedUp);
        // Let the storm run against the running service for a moment that
        // differs from round to round, then stop it in the middle of the storm.
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        DWORD stopAnswer = sim::SendControl(SERVICE_CONTROL_STOP, 0, nullptr, true);
        EXPECT_TRUE(stopAnswer == NO_ERROR || stopAnswer == sim::kNotDelivered);
        bool ended = WaitUntil([] { return sim::DispatcherReturned(); }, std::chrono::seconds(120));
        EXPECT_TRUE(ended) << "the service did not stop";
        // The storm goes on a little after the stop: nothing reaches the service.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopStorm = true;
        for (auto &storm : storms) {
            storm.join();
        }
        service.Join();
        deliveredInAll += delivered;

        EXPECT_EQ(service.exitCode, 0);
        EXPECT_EQ(badAnswers.load(), 0);
        ExpectLegalReports();
        EXPECT_EQ(CardList, nullptr) << "the list was not freed at stop";
        EXPECT_TRUE(sim::HangFaults().empty()) << sim::HangFaults().front();
        EXPECT_TRUE(sim::HandleFaults().empty()) << sim::HandleFaults().front();
        // Only the stop event is left, by design, until the process ends.
        for (const auto &open : sim::OpenHandles()) {
            EXPECT_TRUE(open.kind == sim::Kind::Event && reinterpret_cast<HANDLE>(open.value) == StopEvent)
                << "leaked " << sim::KindName(open.kind) << " handle opened by " << open.openedBy;
        }
        EXPECT_EQ(sim::RunningProcesses(), 0u);
        if (HasFailure()) {
            break;
        }
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
    ASSERT_TRUE(StartOneSessionWithCardA(service));
    HANDLE oldHandle = sim::DeviceHandles(kCardA).front();
    std::wstring path = sim::InterfacePath(kCardA);
    service.Stop();
    ASSERT_EQ(CardList, nullptr);

    size_t calls = sim::Calls().size();
    size_t records = sim::Events().size();
    size_t reports = sim::StatusReports().size();

    std::vector<unsigned char> arrival(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * sizeof(WCHAR));
    auto *iface = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(arrival.data());
    iface->dbcc_size = static_cast<DWORD>(arrival.size());
    iface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    wmemcpy(iface->dbcc_name, path.c_str(), path.size() + 1);
    DEV_BROADCAST_HANDLE handle;
    memset(&handle, 0, sizeof handle);
    handle.dbch_size = sizeof handle;
    handle.dbch_devicetype = DBT_DEVTYP_HANDLE;
    handle.dbch_handle = oldHandle;

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
    // A stop that raced the stopped report signals the event again but reports
    // no stop-pending after stopped.
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::StatusReports().size(), reports);
}

// Two sweeps at once: the stop sweeps the cards on the service thread while a
// query-remove sweeps on the main thread. Each card is swept and released once,
// whichever comes first, and nothing is closed twice.
TEST_F(ConcurrencyTest, QueryRemovesDuringTheStopSweeps)
{
    const int rounds = 30;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Fresh();
        ServiceProcess service;
        ASSERT_TRUE(service.StartRunning());
        std::vector<HANDLE> handles = {sim::DeviceHandles(kCardA).front(), sim::DeviceHandles(kCardB).front()};
        std::atomic<bool> go{false};
        std::vector<std::thread> senders;
        for (HANDLE h : handles) {
            senders.emplace_back([h, &go] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, h);
                sim::SendHandleBroadcast(DBT_DEVICEREMOVECOMPLETE, h);
            });
        }
        go = true;
        sim::SendControl(SERVICE_CONTROL_STOP, 0, nullptr, true);
        for (auto &sender : senders) {
            sender.join();
        }
        ASSERT_TRUE(WaitUntil([] { return sim::DispatcherReturned(); }, std::chrono::seconds(120)));
        service.Join();
        EXPECT_EQ(service.exitCode, 0);
        ExpectLegalReports();
        EXPECT_EQ(CardList, nullptr);
        EXPECT_TRUE(sim::HangFaults().empty()) << sim::HangFaults().front();
        EXPECT_TRUE(sim::HandleFaults().empty()) << sim::HandleFaults().front();
        EXPECT_EQ(sim::OpenHandles().size(), 1u); // the stop event
        for (HANDLE h : handles) {
            EXPECT_FALSE(sim::IsOpen(h));
        }
    }
}

} // namespace

namespace
{

// The handler can be asked to interrogate as soon as it is registered, before
// ServiceMain has made its first report: there is no state to report yet.
TEST_F(ConcurrencyTest, AnInterrogateBeforeTheFirstReportReportsNothing)
{
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::CallCount("SetServiceStatus"), 0u);
    EXPECT_EQ(checkPointCounter, 1u);
}

} // namespace
