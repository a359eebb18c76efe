// The fault sweep's driver: runs one scenario once, with one injection, on
// the service process of the support library, and collects what breaks.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "../support/support.h"

namespace faultsweep
{

// How long the service control manager lets a handler take to answer a
// device event before it gives up on it, in simulated time.
constexpr ULONGLONG kAnswerLimitMs = 30000;

// An instance ID with its ASCII letters in upper case, the way IDs compare.
std::wstring Upper(const std::wstring &text);

class Driver
{
  public:
    std::vector<std::string> breaks;
    // What the scenario expects of a run in which nothing fails; judged only
    // for the clean run (a failure may rightly change it).
    std::vector<std::string> unmet;
    bool running = false;     // the service reported running
    bool startFailed = false; // start-up ended without running
    DWORD helperProcess = 0;  // a helper run directly by the scenario
    // Cards the scenario has taken away: the only ones a removal may name.
    std::set<std::wstring> removed;

    void Break(const std::string &what) { breaks.push_back(what); }
    void Expect(bool holds, const std::string &what)
    {
        if (!holds) {
            unmet.push_back(what);
        }
    }

    // Starts the service process and waits until start-up has ended.
    void Start();
    // A control as the service control manager sends it: only when the last
    // report accepts it. Checks the handler's answer.
    void Control(DWORD control, DWORD eventType = 0);
    // Broadcasts, as the Plug and Play manager sends them; each answer is
    // checked, and a query-remove or removal must be answered in time.
    void InterfaceBroadcast(DWORD eventType, const std::wstring &path);
    void HandleBroadcast(DWORD eventType, const std::wstring &card);
    // The card starts (its interfaces arrive in its driver's order), or goes
    // (remove-complete on its handle, then on each interface).
    void Arrive(const std::wstring &card);
    void Remove(const std::wstring &card);
    // The card is gone from the machine; nothing is broadcast yet.
    void Gone(const std::wstring &card);
    // Sends stop and waits, bounded, for the service process to end.
    void Stop();
    // Runs the executable as a helper in `session`, as a sweep would.
    void RunHelper(const std::wstring &commandLine, DWORD session);
    // The card list between two requests, under its lock.
    void CheckList(const char *when);

  private:
    void CheckAnswer(DWORD control, DWORD answer, bool mayBeUndelivered);
    void Timed(const char *what, bool limited, const std::function<void()> &send);

    testing_support::ServiceProcess service_;
    bool started_ = false;
    bool stopped_ = false;
};

struct Scenario {
    const char *name;
    std::function<void()> setup; // on the fresh machine, before the injection
    std::function<void(Driver &)> drive;
};

// What a clean run produced, to judge the failing runs by.
struct Baseline {
    std::vector<std::string> calls; // injectable calls, in order
    std::vector<std::wstring> records;
};

struct RunResult {
    std::string failedFunction; // the first call that was failed
    std::vector<std::string> breaks;
    std::vector<std::string> calls;
    std::vector<std::wstring> records;
};

// One run: a fresh machine, the scenario's setup, the injection, the drive,
// and every invariant. `clean` is null for the clean run itself.
RunResult RunOnce(const Scenario &scenario, const std::function<void()> &inject, const Baseline *clean);

} // namespace faultsweep
