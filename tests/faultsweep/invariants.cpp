#include "invariants.h"

#include "eventlog/eventlog.h"

#include <algorithm>
#include <set>
#include <utility>

using namespace testing_support;

namespace faultsweep
{
namespace
{

bool IsKnownCard(const std::wstring &id)
{
    for (const wchar_t *card : {kCardA, kCardB, kCardC}) {
        if (Upper(id) == Upper(card)) {
            return true;
        }
    }
    return false;
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

// The record a failing call may produce, as the record table names it.
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
        return call["dbch_devicetype"] == sim::DeviceType(DBT_DEVTYP_DEVICEINTERFACE) ? L"RegisterDeviceNotification"
                                                                                      : L"";
    }
    if (f == "OpenProcessToken" || f == "DuplicateTokenEx" || f == "SetTokenInformation" || f == "TerminateProcess") {
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

bool RestoreFailed(const std::vector<sim::Call> &calls)
{
    for (const auto &call : calls) {
        if (call.injectedFailure &&
            (call.function == "SetProcessWindowStation" || call.function == "SetThreadDesktop")) {
            return true;
        }
    }
    return false;
}

bool Failed(const std::vector<sim::Call> &calls, const std::string &function)
{
    for (const auto &call : calls) {
        if (call.injectedFailure && call.function == function) {
            return true;
        }
    }
    return false;
}

bool IsHelper(const sim::ProcessLife &life)
{
    return Upper(life.application) == Upper(kServicePath);
}

// The first close of `handle` by `process` after the call at `from`: the
// close of the handle given out there, since no open handle held its value.
size_t FirstClose(const std::vector<sim::Call> &calls, HANDLE handle, size_t from, DWORD process)
{
    for (size_t i = from + 1; i < calls.size(); ++i) {
        if (calls[i].function == "CloseHandle" && calls[i].process == process &&
            calls[i]["hObject"] == sim::Handle(handle)) {
            return i;
        }
    }
    return calls.size();
}

} // namespace

void CheckListLocked(Driver &d, const std::string &when)
{
    std::string at = " (" + when + ")";
    if (CardList == NULL) {
        d.Break("the list is gone while the service runs" + at);
        return;
    }
    auto notifications = sim::Notifications();
    std::set<std::wstring> seen;
    std::set<uintptr_t> files;         // the open entries' card handles
    std::set<uintptr_t> registrations; // the entries' handle notifications
    size_t count = 0;
    for (CardEntry *entry = CardList->next; entry != NULL; entry = entry->next) {
        if (++count > 16) {
            d.Break("the list does not end" + at);
            return;
        }
        std::wstring id = entry->instanceId;
        if (!IsKnownCard(id)) {
            d.Break("an entry names no card: " + sim::Ascii(id) + at);
        }
        if (!seen.insert(Upper(id)).second) {
            d.Break("a card is listed twice: " + sim::Ascii(id) + at);
        }
        if (entry->closed > 1) {
            d.Break("closed holds " + std::to_string(entry->closed) + at);
        }
        HANDLE h = entry->deviceHandle;
        if (entry->closed == 0 && IsOpenHandle(h)) {
            if (!sim::IsOpen(h, sim::Kind::File)) {
                d.Break("an open entry's card handle is not open: " + sim::Ascii(id) + at);
            }
            if (!files.insert(reinterpret_cast<uintptr_t>(h)).second) {
                d.Break("two open entries hold the same card handle" + at);
            }
        }
        if (entry->notifyHandle == NULL) {
            continue;
        }
        uintptr_t value = reinterpret_cast<uintptr_t>(entry->notifyHandle);
        registrations.insert(value);
        // A value is handed out again once unregistered: the registration is
        // the open one of that value in the service.
        bool found = false;
        for (const auto &n : notifications) {
            found = found || (n.open && n.value == value && n.process == sim::kServiceProcess &&
                              n.deviceType == DBT_DEVTYP_HANDLE && n.fileHandle == h && Upper(n.device) == Upper(id));
        }
        if (!found) {
            d.Break("an entry's notification is not registered on its handle for its card: " + sim::Ascii(id) + at);
        }
    }
    // A card handle that is still open but no open entry holds: one a
    // query-remove should have closed, or one an open replaced.
    for (const auto &open : sim::OpenHandles()) {
        if (open.process == sim::kServiceProcess && open.kind == sim::Kind::File && files.count(open.value) == 0) {
            d.Break("a card handle no open entry holds is open" + at);
        }
    }
    for (const auto &n : notifications) {
        if (n.open && n.process == sim::kServiceProcess && n.deviceType == DBT_DEVTYP_HANDLE &&
            registrations.count(n.value) == 0) {
            d.Break("a handle notification no entry holds is registered" + at);
        }
    }
}

void CheckStatus(Driver &d)
{
    auto reports = sim::StatusReports();
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

void CheckRecords(Driver &d, const std::vector<sim::Call> &calls, const std::vector<std::wstring> &records,
                  const std::vector<std::wstring> *clean)
{
    for (const auto &record : sim::Events()) {
        std::string line = sim::Ascii(Line(record.id, record.strings.size() > 1 ? record.strings[1] : L""));
        bool information = record.id >= MSG_DEVICE_ARRIVAL && record.id <= MSG_DEVICE_FOUND;
        if (record.id == MSG_ERROR ? record.type != EVENTLOG_ERROR_TYPE
                                   : (!information || record.type != EVENTLOG_INFORMATION_TYPE)) {
            d.Break("a record of type " + sim::Render(sim::EventType(record.type)) + " with ID " +
                    sim::Render(sim::Hex(record.id)) + ": " + line);
        }
        if (record.source != SERVICE_NAME || record.category != 0 || record.userSid || record.dataSize != 0 ||
            record.rawData || record.strings.size() != 2 || record.strings[0] != SERVICE_NAME) {
            d.Break("a record whose source, category, SID, data or first string is not the service's: " + line);
        }
        if (record.id == MSG_REMOVE_COMPLETE && record.strings.size() > 1 &&
            d.removed.count(Upper(record.strings[1])) == 0) {
            d.Break("a removal names a card that is still there: " + line);
        }
    }
    if (clean == nullptr) {
        return;
    }
    // One function fails in a run (at one call or at every call), so every
    // reported failure has the same text.
    std::wstring extra;
    size_t extras = 0;
    for (const auto &call : calls) {
        std::wstring text = call.injectedFailure ? RecordTextFor(call) : L"";
        if (!text.empty()) {
            extra = Line(MSG_ERROR, text);
            ++extras;
        }
    }
    if (!RecordsAllowed(*clean, records, extra, extras)) {
        std::string got;
        for (const auto &line : records) {
            got += " [" + sim::Ascii(line) + "]";
        }
        d.Break("records not allowed for this failure:" + got);
    }
}

void CheckHandles(Driver &d, const std::vector<sim::Call> &calls)
{
    // A start-up that failed keeps what the run sequence had taken until the
    // process ends: the listed cards' handles and notifications, and the
    // interface notification.
    std::set<std::pair<sim::Kind, uintptr_t>> held;
    if (d.startFailed && CardList != NULL) {
        for (CardEntry *entry = CardList->next; entry != NULL; entry = entry->next) {
            if (entry->closed == 0) {
                held.insert({sim::Kind::File, reinterpret_cast<uintptr_t>(entry->deviceHandle)});
            }
            held.insert({sim::Kind::DeviceNotification, reinterpret_cast<uintptr_t>(entry->notifyHandle)});
        }
        for (const auto &n : sim::Notifications()) {
            if (n.open && n.process == sim::kServiceProcess && n.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
                held.insert({sim::Kind::DeviceNotification, n.value});
            }
        }
    }
    // A helper whose return to its own window station was failed is still
    // attached to the station it visited and cannot close it, nor the desktop
    // of that station its thread is on; Windows closes the two when it exits.
    bool restoreFailed = RestoreFailed(calls);
    std::set<std::pair<DWORD, sim::Kind>> stranded;
    // A helper the service could not end is kept, its process handle open,
    // until it is gone.
    bool unended = Failed(calls, "TerminateProcess");
    size_t events = 0;
    for (const auto &open : sim::OpenHandles()) {
        bool service = open.process == sim::kServiceProcess;
        if (service && unended && open.kind == sim::Kind::Process && open.openedBy == "CreateProcessAsUserW") {
            unended = false; // one such handle
            continue;
        }
        if (service && open.kind == sim::Kind::Event && reinterpret_cast<HANDLE>(open.value) == StopEvent) {
            ++events;
            continue;
        }
        if (service && held.count({open.kind, open.value}) != 0) {
            continue;
        }
        if (!service && restoreFailed && (open.kind == sim::Kind::WindowStation || open.kind == sim::Kind::Desktop) &&
            stranded.insert({open.process, open.kind}).second) {
            continue;
        }
        d.Break(std::string("leaked ") + sim::KindName(open.kind) + " handle opened by " + open.openedBy +
                (service ? "" : " in a helper"));
    }
    if (events > 1) {
        d.Break("more than one stop event");
    }
    for (const auto &start : sim::ProcessStarts()) {
        if (start.started && start.call < calls.size() &&
            FirstClose(calls, start.threadHandle, start.call, calls[start.call].process) >
                FirstClose(calls, start.processHandle, start.call, calls[start.call].process)) {
            d.Break("the process handle of " + sim::Ascii(start.application) + " closed before its thread handle");
        }
    }
    for (const auto &fault : sim::HandleFaults()) {
        d.Break("handle fault: " + fault);
    }
}

void CheckProcesses(Driver &d, const std::vector<sim::Call> &calls)
{
    bool reported = false;
    for (const auto &text : TextsOf(MSG_ERROR)) {
        reported = reported || text == L"TerminateProcess";
    }
    // A helper that could not be ended, when the service said so, is the one
    // process that may be left running.
    bool mayRun = Failed(calls, "TerminateProcess") && reported;
    auto lives = sim::Processes(); // in order of creation
    std::string overlap = HelpersOverlap();
    if (!overlap.empty()) {
        d.Break(overlap);
    }
    for (const auto &life : lives) {
        if (life.ended == sim::kForever && !mayRun) {
            d.Break("a started process is still running: " + sim::Ascii(life.application) +
                    (Failed(calls, "TerminateProcess") ? " (TerminateProcess failed, unreported)" : ""));
        }
    }
    if (RestoreFailed(calls)) {
        return;
    }
    for (const auto &life : lives) {
        if ((IsHelper(life) || life.id == d.helperProcess) && !sim::ThreadDesktopName(life.id).empty() &&
            (sim::ProcessWindowStationName(life.id) != L"WinSta0" ||
             sim::ThreadDesktopName(life.id) != L"WinSta0\\Default")) {
            d.Break("a helper did not end on its own window station and desktop");
        }
    }
}

void CheckSweepTimes(Driver &d, const std::vector<sim::Call> &calls)
{
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].function != "WTSEnumerateSessionsW" || calls[i].process != sim::kServiceProcess) {
            continue;
        }
        for (size_t j = i + 1; j < calls.size(); ++j) {
            if (calls[j].function == "WTSFreeMemory" && calls[j].process == sim::kServiceProcess) {
                if (calls[j].at - calls[i].at > kAnswerLimitMs) {
                    d.Break("a sweep took " + std::to_string(calls[j].at - calls[i].at) + " ms");
                }
                break;
            }
        }
    }
}

} // namespace faultsweep
