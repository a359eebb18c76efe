// Fault-injection sweep: every scenario of the service's life runs once
// cleanly, then once more for every injectable Windows call of that clean run,
// with that call failing the way Windows fails it. After every run the
// invariants below must hold; every break is printed and counted.
//
//   faultsweep [--full] [--scenario NAME] [--verbose]
//
// Each position is also run with every call of its function failing. --full
// repeats the positional sweep twice more, to catch breaks that depend on
// thread timing, and once more by bare position.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../unit/fixture.h"

using namespace testing_support;

namespace
{

// Calls that are never failed: Windows does not fail them for the valid
// arguments the service passes, and each only releases or signals something
// the caller holds (or reports a status through the handle it was given).
const std::set<std::string> kNeverFailed = {
    "CloseHandle",                  // a valid handle of the caller's
    "SetEvent",                     // a valid event handle
    "SetServiceStatus",             // the handle RegisterServiceCtrlHandlerExW gave, a well-formed record
    "WaitForSingleObject",          // a valid event or process handle: it ends signalled or timed out
    "UnregisterDeviceNotification", // a notification the caller registered
    "DeregisterEventSource",        // a source the caller registered
    "SetupDiDestroyDeviceInfoList", // a set the caller got
    "CloseWindowStation",           // a station the caller opened and no longer uses (in use: modelled, not injected)
    "CloseDesktop",                 // a desktop the caller opened and no longer uses (in use: modelled, not injected)
};

// The record text a failing call may produce, as the record table names it.
std::wstring RecordTextFor(const sim::Call &call)
{
    const std::string &f = call.function;
    if (f == "StartServiceCtrlDispatcherW") {
        return L"StartServiceCtrlDispatcher";
    }
    if (f == "RegisterServiceCtrlHandlerExW") {
        return L"RegisterServiceCtrlHandler";
    }
    if (f == "EnumWindowStationsW") {
        return L"EnumWindowStations";
    }
    if (f == "RegisterDeviceNotificationW") {
        // Only the interface notification's failure is reported.
        return call.args.find("type 5") != std::string::npos ? L"RegisterDeviceNotification" : L"";
    }
    if (f == "OpenProcessToken" || f == "DuplicateTokenEx" || f == "SetTokenInformation") {
        return std::wstring(f.begin(), f.end());
    }
    if (f == "CreateProcessAsUserW" || f == "SHGetSpecialFolderPathW") {
        // A companion that cannot be started; a helper start is not reported.
        return L"CreateProcessAsUser";
    }
    if (f == "OpenWindowStationW") {
        return L"OpenWindowStation";
    }
    if (f == "OpenDesktopW") {
        return L"OpenDesktop";
    }
    return L"";
}

std::string Narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text) {
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return out;
}

const char *StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "start-pending";
    case SERVICE_STOP_PENDING:
        return "stop-pending";
    case SERVICE_RUNNING:
        return "running";
    }
    return "?";
}

bool IsKnownCard(const std::wstring &id)
{
    std::wstring upper;
    for (wchar_t c : id) {
        upper += (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 0x20) : c;
    }
    for (const wchar_t *card : {kCardA, kCardB, kCardC}) {
        if (upper == card) {
            return true;
        }
    }
    return false;
}

// One run of one scenario: drives the service and collects what breaks.
class Driver
{
  public:
    std::vector<std::string> breaks;
    bool running = false; // the service reported running
    bool startFailed = false;

    void Break(const std::string &what) { breaks.push_back(what); }

    ~Driver()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Starts the service process and waits until start-up has ended one way
    // or the other.
    void Start()
    {
        thread_ = std::thread([this] {
            exitCode_ = sim::RunMain(kServicePath);
            done_ = true;
        });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            auto reports = sim::StatusReports();
            if (!reports.empty() && reports.back().dwCurrentState == SERVICE_RUNNING) {
                running = true;
                break;
            }
            if (!reports.empty() && reports.back().dwCurrentState == SERVICE_STOPPED) {
                startFailed = true;
                break;
            }
            if (done_) {
                startFailed = true;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                Break("start-up did not end within 30 s");
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    // A control as the service control manager sends it (only when the last
    // report accepts it); checks the handler's answer.
    void Control(DWORD control, DWORD eventType = 0)
    {
        if (!running) {
            return;
        }
        DWORD answer = sim::SendControl(control, eventType, nullptr, true);
        CheckAnswer(control, answer, false);
    }

    void InterfaceBroadcast(DWORD eventType, const std::wstring &path)
    {
        if (!running) {
            return;
        }
        CheckAnswer(SERVICE_CONTROL_DEVICEEVENT, sim::SendInterfaceBroadcast(eventType, path), true);
    }

    // A handle broadcast on the newest handle the card's interface was opened
    // with; nothing is sent when no open ever succeeded.
    void HandleBroadcast(DWORD eventType, const std::wstring &card)
    {
        if (!running) {
            return;
        }
        auto handles = sim::DeviceHandles(card);
        if (handles.empty()) {
            return;
        }
        CheckAnswer(SERVICE_CONTROL_DEVICEEVENT, sim::SendHandleBroadcast(eventType, handles.back()), true);
    }

    // Sends stop (if running) and waits, bounded, for the process to end.
    void Stop()
    {
        if (running) {
            DWORD answer = sim::SendControl(SERVICE_CONTROL_STOP, 0, nullptr, true);
            if (answer != NO_ERROR) {
                Break("stop answered " + std::to_string(answer));
            }
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!done_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (!done_) {
            Break("the service process did not end within 90 s");
        }
        thread_.join();
        if (exitCode_ != 0) {
            Break("exit code " + std::to_string(exitCode_));
        }
    }

    // The list between two requests: the handler is idle and the service
    // thread waits for the stop, so the list is still while the lock is held.
    void CheckList(const char *when)
    {
        if (!running) {
            return;
        }
        AcquireSRWLockExclusive(&cardListLock);
        CheckListLocked(when, false);
        ReleaseSRWLockExclusive(&cardListLock);
    }

    void CheckListLocked(const char *when, bool stoppedAtStartup)
    {
        std::string at = std::string(" (") + when + ")";
        if (CardList == NULL) {
            Break("the list is gone while the service runs" + at);
            return;
        }
        std::set<std::wstring> seen;
        std::set<uintptr_t> files;
        std::set<uintptr_t> notifications;
        size_t count = 0;
        for (CardEntry *entry = CardList->next; entry != NULL; entry = entry->next) {
            if (++count > 16) {
                Break("the list does not end" + at);
                return;
            }
            std::wstring id = entry->instanceId;
            std::wstring key;
            for (wchar_t c : id) {
                key += (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 0x20) : c;
            }
            if (!IsKnownCard(id)) {
                Break("an entry names no card: " + Narrow(id) + at);
            }
            if (!seen.insert(key).second) {
                Break("a card is listed twice: " + Narrow(id) + at);
            }
            if (entry->closed > 1) {
                Break("closed holds " + std::to_string(entry->closed) + at);
            }
            HANDLE h = entry->deviceHandle;
            bool real = h != NULL && h != INVALID_HANDLE_VALUE;
            if (entry->closed == 0 && real && !sim::IsOpen(h)) {
                Break("an open entry holds a closed handle: " + Narrow(id) + at);
            }
            if (entry->closed == 1 && real && sim::IsOpen(h)) {
                Break("an entry marked closed still holds its handle open: " + Narrow(id) + at);
            }
            if (entry->closed == 0 && real) {
                files.insert(reinterpret_cast<uintptr_t>(h));
            }
            if (entry->notifyHandle != NULL) {
                notifications.insert(reinterpret_cast<uintptr_t>(entry->notifyHandle));
                bool found = false;
                for (const auto &n : sim::Notifications()) {
                    if (n.value == reinterpret_cast<uintptr_t>(entry->notifyHandle)) {
                        found = n.open && n.deviceType == DBT_DEVTYP_HANDLE && n.fileHandle == h;
                    }
                }
                if (!found) {
                    Break("an entry's notification is not registered on its handle: " + Narrow(id) + at);
                }
            }
        }
        // Every card handle and handle notification the service holds belongs
        // to an entry.
        for (const auto &open : sim::OpenHandles()) {
            if (open.process != sim::kServiceProcess) {
                continue;
            }
            if (open.kind == sim::Kind::File && files.count(open.value) == 0) {
                Break("a card handle no entry holds is open" + at);
            }
        }
        for (const auto &n : sim::Notifications()) {
            if (n.open && n.deviceType == DBT_DEVTYP_HANDLE && notifications.count(n.value) == 0) {
                Break("a handle notification no entry holds is registered" + at);
            }
            if (n.open && n.deviceType == DBT_DEVTYP_DEVICEINTERFACE && !running && !stoppedAtStartup) {
                Break("the interface notification is registered" + at);
            }
        }
    }

  private:
    void CheckAnswer(DWORD control, DWORD answer, bool mayBeUndelivered)
    {
        if (answer == sim::kNotDelivered) {
            if (!mayBeUndelivered) {
                Break("control " + std::to_string(control) + " was not delivered to a running service");
            }
            return;
        }
        DWORD expected = (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_INTERROGATE ||
                          control == SERVICE_CONTROL_DEVICEEVENT || control == SERVICE_CONTROL_SESSIONCHANGE)
                             ? NO_ERROR
                             : ERROR_CALL_NOT_IMPLEMENTED;
        if (answer != expected) {
            Break("control " + std::to_string(control) + " answered " + std::to_string(answer));
        }
    }

    std::thread thread_;
    std::atomic<bool> done_{false};
    int exitCode_ = -1;
};

struct Scenario {
    const char *name;
    std::function<void()> setup;
    std::function<void(Driver &)> drive; // null: the helper walk, run directly
};

void Sessions()
{
    sim::AddSession(0, WTSDisconnected);
    sim::AddSession(1);
    sim::SetConsoleSession(1);
}

std::wstring Path(const std::wstring &card, int index = 0)
{
    return sim::InterfacePath(card, index);
}

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> out;
    out.push_back({"no-card", [] { Sessions(); },
                   [](Driver &d) {
                       d.Start();
                       d.CheckList("running");
                       d.Stop();
                   }});
    out.push_back({"one-card",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.CheckList("running");
                       d.Stop();
                   }});
    out.push_back({"two-cards-one-unopenable",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       AddCard(kCardB, true);
                       sim::AddDevice(DeviceSpecOf(kOtherDevice));
                   },
                   [](Driver &d) {
                       d.Start();
                       d.CheckList("running");
                       d.Stop();
                   }});
    out.push_back({"arrival",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       sim::DeviceSpec c = DeviceSpecOf(kCardC);
                       c.audioInterfaces = 2;
                       c.present = false;
                       sim::AddDevice(c);
                   },
                   [](Driver &d) {
                       d.Start();
                       sim::SetDevicePresent(kCardC, true);
                       d.InterfaceBroadcast(DBT_DEVICEARRIVAL, Path(kCardC, 0));
                       d.CheckList("after the arrival");
                       d.InterfaceBroadcast(DBT_DEVICEARRIVAL, Path(kCardC, 1));
                       d.InterfaceBroadcast(DBT_DEVICEARRIVAL, Path(kOtherDevice));
                       d.CheckList("after the repeated arrival");
                       d.Stop();
                   }});
    out.push_back({"query-remove-then-removal",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the query-remove");
                       d.HandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA);
                       d.CheckList("after the removal");
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Path(kCardA));
                       d.Stop();
                   }});
    out.push_back({"query-remove-then-veto",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                   },
                   [](Driver &d) {
                       d.Start();
                       auto before = sim::DeviceHandles(kCardA);
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the query-remove");
                       if (!before.empty()) {
                           // The veto is announced on the handle the query-remove named.
                           if (d.running) {
                               DWORD answer = sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, before.back());
                               if (answer != NO_ERROR && answer != sim::kNotDelivered) {
                                   d.Break("veto answered " + std::to_string(answer));
                               }
                           }
                       }
                       d.CheckList("after the veto");
                       d.Stop();
                   }});
    out.push_back({"query-remove-twice-then-interface-removal",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       AddCard(kCardB);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the second query-remove");
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Path(kCardA));
                       d.CheckList("after the removal");
                       d.Stop();
                   }});
    out.push_back({"veto-without-query-remove",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA);
                       d.CheckList("after the veto");
                       d.Stop();
                   }});
    out.push_back({"surprise-removal-on-interface",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       AddCard(kCardB);
                   },
                   [](Driver &d) {
                       d.Start();
                       auto handles = sim::DeviceHandles(kCardA);
                       sim::SetDevicePresent(kCardA, false);
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Path(kCardA));
                       d.CheckList("after the removal");
                       d.HandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA);
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, Path(kCardA, 1));
                       d.CheckList("after the late announcements");
                       d.Stop();
                   }});
    out.push_back({"console-connect-and-logon",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       AddCard(kCardB);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.Control(SERVICE_CONTROL_INTERROGATE);
                       d.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT);
                       d.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON);
                       d.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK);
                       d.Control(SERVICE_CONTROL_PAUSE);
                       d.CheckList("after the session changes");
                       d.Stop();
                   }});
    out.push_back({"stop-with-helpers-that-never-end",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       AddCard(kCardB);
                       // Four sessions of 8 s each outlast a sweep's 20 s.
                       sim::AddSession(2);
                       sim::AddSession(3);
                       sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.Stop();
                   }});
    out.push_back({"stop-with-hung-companion-windows",
                   [] {
                       Sessions();
                       AddCard(kCardA);
                       sim::AddDesktop(1, L"WinSta0", L"Second");
                       for (const wchar_t *desktop : {L"Default", L"Second"}) {
                           sim::SetWindowHung(sim::AddWindow(1, L"WinSta0", desktop, kCardA), true);
                       }
                   },
                   [](Driver &d) {
                       d.Start();
                       d.Stop();
                   }});
    out.push_back({"helper-walk-two-stations-two-desktops",
                   [] {
                       sim::AddSession(1);
                       sim::AddDesktop(1, L"WinSta0", L"Winlogon");
                       sim::AddDesktop(1, L"Service-0x0-3e7$", L"Default");
                       sim::AddDesktop(1, L"Service-0x0-3e7$", L"Second");
                       sim::AddWindow(1, L"WinSta0", L"Default", L"OtherProperty");
                       sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
                       sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
                       sim::AddWindow(1, L"WinSta0", L"Winlogon", kCardA);
                       sim::AddWindow(1, L"Service-0x0-3e7$", L"Default", kCardA);
                       sim::AddWindow(1, L"Service-0x0-3e7$", L"Second", kCardA);
                   },
                   nullptr});
    return out;
}

// What a clean run produced, to judge the failing runs by.
struct Baseline {
    std::vector<std::string> calls; // injectable calls, in order
    std::vector<std::wstring> records;
};

// The failing run's records must be the clean run's records, some perhaps
// missing, in the same order, plus at most `extras` records `extra` (one per
// failed call that is reported), anywhere.
bool RecordsAllowed(const std::vector<std::wstring> &clean, const std::vector<std::wstring> &got,
                    const std::wstring &extra, size_t extras)
{
    const size_t none = static_cast<size_t>(-1);
    size_t m = clean.size();
    // fewest[j]: the fewest extras with which the lines so far match clean[0..j).
    std::vector<size_t> fewest(m + 1, 0);
    for (const auto &line : got) {
        std::vector<size_t> next(m + 1, none);
        for (size_t j = 0; j <= m; ++j) {
            if (fewest[j] == none) {
                continue;
            }
            for (size_t k = j; k < m; ++k) {
                if (clean[k] == line) {
                    next[k + 1] = std::min(next[k + 1], fewest[j]);
                    break; // the earliest match is never worse
                }
            }
            if (!extra.empty() && line == extra) {
                next[j] = std::min(next[j], fewest[j] + 1);
            }
        }
        for (size_t j = 1; j <= m; ++j) {
            next[j] = std::min(next[j], next[j - 1]); // clean lines may be missing
        }
        fewest = next;
    }
    return fewest[m] != none && fewest[m] <= extras;
}

void CheckStatus(Driver &d, bool helperOnly)
{
    auto reports = sim::StatusReports();
    if (helperOnly) {
        return;
    }
    DWORD previous = 0;
    int stopped = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
        const SERVICE_STATUS &s = reports[i];
        DWORD state = s.dwCurrentState;
        bool legal = false;
        if (i == 0) {
            legal = state == SERVICE_START_PENDING;
        } else if (state == previous) {
            legal = true; // an interrogate repeats the state
        } else {
            legal = (previous == SERVICE_START_PENDING && (state == SERVICE_RUNNING || state == SERVICE_STOPPED)) ||
                    (previous == SERVICE_RUNNING && state == SERVICE_STOP_PENDING) ||
                    (previous == SERVICE_STOP_PENDING && state == SERVICE_STOPPED);
        }
        if (!legal) {
            d.Break(std::string("status ") + StateName(previous) + " -> " + StateName(state));
        }
        if (previous == SERVICE_STOPPED && i > 0) {
            d.Break("a report after stopped");
        }
        if (s.dwWin32ExitCode != 0 || s.dwServiceSpecificExitCode != 0) {
            d.Break("a report with a non-zero exit code");
        }
        DWORD accepted = state == SERVICE_START_PENDING ? 0u : 0x81u;
        if (s.dwControlsAccepted != accepted || s.dwServiceType != SERVICE_WIN32_OWN_PROCESS) {
            d.Break(std::string("a ") + StateName(state) + " report with the wrong type or accepted controls");
        }
        bool counted = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        if ((counted && s.dwCheckPoint == 0) || (!counted && s.dwCheckPoint != 0)) {
            d.Break(std::string("a ") + StateName(state) + " report with checkpoint " + std::to_string(s.dwCheckPoint));
        }
        if (s.dwWaitHint != (i == 0 ? 3000u : 0u)) {
            d.Break("a report with wait hint " + std::to_string(s.dwWaitHint));
        }
        stopped += state == SERVICE_STOPPED ? 1 : 0;
        previous = state;
    }
    if (!reports.empty() && stopped != 1) {
        d.Break(std::to_string(stopped) + " stopped reports");
    }
    if (!reports.empty() && reports.back().dwCurrentState != SERVICE_STOPPED) {
        d.Break("the last report is not stopped");
    }
}

// Handles left open at the end: the service keeps only its stop event; a
// start-up that failed keeps what it had taken (the list's card handles and
// notifications, and the interface notification) until the process ends.
//
// A helper whose return to its own window station was failed is still attached
// to the station it visited and cannot close it, nor the desktop of that
// station its thread is on; those two stay open until the helper exits, when
// Windows closes them.
void CheckHandles(Driver &d, bool startFailed, const sim::Call &failed)
{
    bool restoreFailed = failed.function == "SetProcessWindowStation" || failed.function == "SetThreadDesktop";
    std::set<sim::Kind> stranded;
    std::set<uintptr_t> held;
    if (startFailed && CardList != NULL) {
        for (CardEntry *entry = CardList->next; entry != NULL; entry = entry->next) {
            if (entry->closed == 0) {
                held.insert(reinterpret_cast<uintptr_t>(entry->deviceHandle));
            }
            held.insert(reinterpret_cast<uintptr_t>(entry->notifyHandle));
        }
    }
    size_t events = 0;
    for (const auto &open : sim::OpenHandles()) {
        if (open.kind == sim::Kind::Event && open.process == sim::kServiceProcess &&
            reinterpret_cast<HANDLE>(open.value) == StopEvent) {
            ++events;
            continue;
        }
        if (held.count(open.value) != 0) {
            continue;
        }
        if (open.process != sim::kServiceProcess && restoreFailed &&
            (open.kind == sim::Kind::WindowStation || open.kind == sim::Kind::Desktop) &&
            stranded.insert(open.kind).second) {
            continue;
        }
        if (startFailed && open.kind == sim::Kind::DeviceNotification) {
            bool interface = false;
            for (const auto &n : sim::Notifications()) {
                interface = interface || (n.value == open.value && n.deviceType == DBT_DEVTYP_DEVICEINTERFACE);
            }
            if (interface) {
                continue;
            }
        }
        d.Break(std::string("leaked ") + sim::KindName(open.kind) + " handle opened by " + open.openedBy +
                (open.process == sim::kServiceProcess ? "" : " in a helper"));
    }
    if (events > 1) {
        d.Break("more than one stop event");
    }
    for (const auto &fault : sim::HandleFaults()) {
        d.Break("handle fault: " + fault);
    }
}

struct RunResult {
    std::string failedFunction; // the first call that was failed
    std::vector<std::string> breaks;
    std::vector<std::string> calls;
    std::vector<std::wstring> records;
};

// One run: fresh simulation and process state, the injection, the scenario,
// the invariants.
RunResult RunOnce(const Scenario &scenario, const std::function<void()> &inject, const Baseline *clean)
{
    ResetSimAndProcess();
    scenario.setup();
    inject();

    Driver d;
    int helperExit = 0;
    DWORD helperProcess = 0;
    if (scenario.drive) {
        scenario.drive(d);
    } else {
        helperProcess = sim::NewProcess(1);
        std::thread helper([&] { helperExit = sim::RunMain(kCardA, helperProcess); });
        helper.join();
        if (helperExit != 0) {
            d.Break("helper exit code " + std::to_string(helperExit));
        }
    }

    sim::Call failed{"", "", false, 0};
    std::wstring extra;
    size_t extras = 0;
    for (const auto &call : sim::Calls()) {
        if (call.injectedFailure) {
            if (!failed.injectedFailure) {
                failed = call;
            }
            std::wstring text = RecordTextFor(call);
            if (!text.empty()) {
                extra = Line(MSG_ERROR, text);
                ++extras;
            }
        }
    }
    for (const auto &hang : sim::HangFaults()) {
        d.Break("hang: " + hang);
    }
    bool helperOnly = !scenario.drive;
    CheckStatus(d, helperOnly);
    if (!helperOnly && d.startFailed && CardList != NULL) {
        d.CheckListLocked("after a failed start-up", true);
    }
    if (!helperOnly && !d.startFailed && CardList != NULL) {
        d.Break("the list was not freed at stop");
    }
    CheckHandles(d, d.startFailed, failed);
    if (!helperOnly && sim::RunningProcesses() != 0 && failed.function != "TerminateProcess") {
        d.Break("a started process is still running");
    }
    if (helperOnly) {
        DWORD process = helperProcess;
        bool restoreFailed = failed.function == "SetProcessWindowStation" || failed.function == "SetThreadDesktop";
        if (!restoreFailed && (sim::ProcessWindowStationName(process) != L"WinSta0" ||
                               sim::ThreadDesktopName(process) != L"WinSta0\\Default")) {
            d.Break("the helper did not end on its own window station and desktop");
        }
    }

    RunResult result;
    result.records = RecordLines();
    if (clean != nullptr) {
        if (!RecordsAllowed(clean->records, result.records, extra, extras)) {
            std::string got;
            for (const auto &line : result.records) {
                got += " [" + Narrow(line) + "]";
            }
            d.Break("records not allowed for this failure:" + got);
        }
    }
    result.calls = sim::InjectableCalls();
    result.failedFunction = failed.function;
    result.breaks = d.breaks;
    ResetProcessState();
    return result;
}

struct FunctionTally {
    size_t tried = 0;
    size_t broken = 0;
};

} // namespace

int main(int argc, char **argv)
{
    bool full = false;
    bool verbose = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--full") {
            full = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--scenario" && i + 1 < argc) {
            only = argv[++i];
        } else {
            fprintf(stderr, "usage: faultsweep [--full] [--scenario NAME] [--verbose]\n");
            return 2;
        }
    }

    auto started = std::chrono::steady_clock::now();
    size_t scenarios = 0;
    size_t positions = 0;
    size_t skipped = 0;
    size_t runs = 0;
    size_t brokenRuns = 0;
    size_t moved = 0;
    std::map<std::string, FunctionTally> byFunction;

    auto report = [&](const std::string &label, const RunResult &result, const std::string &function) {
        ++runs;
        if (!function.empty()) {
            auto &tally = byFunction[function];
            ++tally.tried;
            tally.broken += result.breaks.empty() ? 0 : 1;
        }
        if (!result.breaks.empty()) {
            ++brokenRuns;
            printf("BROKEN %s\n", label.c_str());
            for (const auto &b : result.breaks) {
                printf("    %s\n", b.c_str());
            }
        } else if (verbose) {
            printf("ok     %s\n", label.c_str());
        }
        fflush(stdout);
    };

    for (const Scenario &scenario : Scenarios()) {
        if (!only.empty() && only != scenario.name) {
            continue;
        }
        ++scenarios;
        RunResult clean = RunOnce(
            scenario, [] {}, nullptr);
        report(std::string(scenario.name) + " clean", clean, "");
        Baseline baseline{clean.calls, clean.records};

        // Every position of the clean run, named by function and ordinal: a
        // helper process runs beside the service thread for a moment after it
        // is started, so a bare position can land on another call in a run
        // whose threads interleave differently. --full repeats this twice more
        // (other interleavings) and adds one pass by bare position.
        std::set<std::string> functions;
        for (int pass = 0; pass < (full ? 4 : 1); ++pass) {
            bool byPosition = pass == 3;
            std::map<std::string, unsigned> ordinal;
            for (size_t k = 1; k <= baseline.calls.size(); ++k) {
                const std::string &function = baseline.calls[k - 1];
                unsigned nth = ++ordinal[function];
                if (kNeverFailed.count(function) != 0) {
                    skipped += pass == 0 ? 1 : 0;
                    continue;
                }
                functions.insert(function);
                positions += pass == 0 ? 1 : 0;
                std::function<void()> inject = [function, nth] { sim::FailCall(function, nth); };
                if (byPosition) {
                    inject = [k] { sim::FailAtPosition(k); };
                }
                RunResult result = RunOnce(scenario, inject, &baseline);
                if (byPosition && (result.failedFunction.empty() || kNeverFailed.count(result.failedFunction) != 0)) {
                    ++moved; // the position fell on a call that is never failed
                    continue;
                }
                std::string label = std::string(scenario.name) + " position " + std::to_string(k) + " (" + function +
                                    " #" + std::to_string(nth) + ")" + (byPosition ? " by position" : "");
                report(label, result, function);
            }
        }
        // Every call of one function failing: a failure that lasts.
        for (const auto &function : functions) {
            RunResult result = RunOnce(
                scenario, [function] { sim::FailCall(function, 0); }, &baseline);
            report(std::string(scenario.name) + " every " + function, result, function);
        }
    }
    sim::Reset();

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("\nnever failed (Windows does not fail them for valid arguments):");
    for (const auto &function : kNeverFailed) {
        printf(" %s", function.c_str());
    }
    printf("\nper function: runs with it failing (runs that broke an invariant)\n");
    for (const auto &entry : byFunction) {
        printf("  %-36s %5zu (%zu)\n", entry.first.c_str(), entry.second.tried, entry.second.broken);
    }
    if (full) {
        printf("by-position runs that fell on a never-failed call: %zu\n", moved);
    }
    printf("\nfaultsweep%s: %zu scenarios, %zu call positions tried (%zu more never failed), %zu runs, "
           "%zu runs broke an invariant, %.1f s\n",
           full ? " --full" : "", scenarios, positions, skipped, runs, brokenRuns, seconds);
    return brokenRuns == 0 ? 0 : 1;
}
