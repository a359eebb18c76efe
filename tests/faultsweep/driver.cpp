#include "driver.h"

#include "invariants.h"

using namespace testing_support;

namespace faultsweep
{

std::wstring Upper(const std::wstring &text)
{
    std::wstring out(text);
    for (auto &c : out) {
        c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 0x20) : c;
    }
    return out;
}

void Driver::Start()
{
    started_ = true;
    service_.Start();
    running = service_.StartedUp();
    startFailed = !running;
}

void Driver::CheckAnswer(DWORD control, DWORD answer, bool mayBeUndelivered)
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

void Driver::Timed(const char *what, bool limited, const std::function<void()> &send)
{
    ULONGLONG before = sim::Now();
    send();
    ULONGLONG took = sim::Now() - before;
    if (limited && took > kAnswerLimitMs) {
        Break(std::string(what) + " was answered after " + std::to_string(took) + " ms");
    }
}

void Driver::Control(DWORD control, DWORD eventType)
{
    if (running) {
        CheckAnswer(control, service_.Control(control, eventType, nullptr, true), false);
    }
}

void Driver::InterfaceBroadcast(DWORD eventType, const std::wstring &path)
{
    if (running) {
        Timed("an interface removal", eventType == DBT_DEVICEREMOVECOMPLETE,
              [&] { CheckAnswer(SERVICE_CONTROL_DEVICEEVENT, sim::SendInterfaceBroadcast(eventType, path), true); });
    }
}

void Driver::HandleBroadcast(DWORD eventType, const std::wstring &card)
{
    if (running) {
        bool limited = eventType == DBT_DEVICEQUERYREMOVE || eventType == DBT_DEVICEREMOVECOMPLETE;
        Timed(eventType == DBT_DEVICEQUERYREMOVE ? "a query-remove" : "a removal on the handle", limited,
              [&] { CheckAnswer(SERVICE_CONTROL_DEVICEEVENT, sim::SendHandleBroadcast(eventType, card), true); });
    }
}

void Driver::Arrive(const std::wstring &card)
{
    removed.erase(Upper(card));
    sim::DeviceArrives(card);
}

void Driver::Remove(const std::wstring &card)
{
    removed.insert(Upper(card));
    Timed("a removal", true, [&] { sim::DeviceRemoved(card); });
}

void Driver::Gone(const std::wstring &card)
{
    removed.insert(Upper(card));
    sim::SetDevicePresent(card, false);
}

void Driver::Stop()
{
    if (!started_ || stopped_) {
        return;
    }
    stopped_ = true;
    Control(SERVICE_CONTROL_STOP);
    if (!service_.Join()) {
        Break("the service process did not end within the bound");
    }
    if (service_.exitCode != 0) {
        Break("exit code " + std::to_string(service_.exitCode));
    }
}

void Driver::RunHelper(const std::wstring &commandLine, DWORD session)
{
    int exitCode = sim::RunProcess(commandLine, session);
    helperProcess = sim::Processes().back().id;
    if (exitCode != 0) {
        Break("helper exit code " + std::to_string(exitCode));
    }
}

void Driver::CheckList(const char *when)
{
    if (!running) {
        return;
    }
    // Between two requests the handler is idle and the service thread waits
    // for the stop: the list holds still while its lock is held.
    AcquireSRWLockExclusive(&cardListLock);
    CheckListLocked(*this, when);
    ReleaseSRWLockExclusive(&cardListLock);
}

RunResult RunOnce(const Scenario &scenario, const std::function<void()> &inject, const Baseline *clean)
{
    FreshMachine();
    scenario.setup();
    inject();

    RunResult result;
    {
        Driver d;
        scenario.drive(d);
        d.Stop();

        auto calls = sim::Calls();
        for (const auto &call : calls) {
            if (call.injectedFailure) {
                result.failedFunction = call.function;
                break;
            }
        }
        for (const auto &hang : sim::HangFaults()) {
            d.Break("hang: " + hang);
        }
        for (const auto &call : sim::CallsAfterStopped()) {
            d.Break(call);
        }
        CheckStatus(d);
        if (d.startFailed && CardList != NULL) {
            CheckListLocked(d, "after a failed start-up");
        }
        if (d.running && CardList != NULL) {
            d.Break("the list was not freed at stop");
        }
        CheckHandles(d, calls);
        CheckProcesses(d, calls);
        CheckSweepTimes(d, calls);
        result.records = RecordLines();
        CheckRecords(d, calls, result.records, clean != nullptr ? &clean->records : nullptr);
        if (clean == nullptr) {
            for (const auto &what : d.unmet) {
                d.Break("the run without failures does not show: " + what);
            }
        }
        result.calls = sim::InjectableCalls();
        result.breaks = d.breaks;
    }
    ResetProcessState();
    return result;
}

} // namespace faultsweep
