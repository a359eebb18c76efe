// What must hold after every run of the fault sweep, whatever call failed.
// Each check adds a break to the driver for everything it finds wrong.
#pragma once

#include <string>
#include <vector>

#include "driver.h"

namespace faultsweep
{

// The card list: no card twice, every entry a known card, closed 0 or 1, the
// open entries' handles open and distinct, every open card handle and handle
// notification of the service held by an entry, every entry's notification
// registered on its handle for its card. After a failed start-up the list is
// still there, and the same holds.
void CheckListLocked(Driver &d, const std::string &when);

// Status reports: a legal sequence of states with the right fields, one
// stopped report, the last.
void CheckStatus(Driver &d);

// Records: every one of the service's fields and of a type that fits its ID;
// a removal names only a card that was taken away; and, against the clean
// run, nothing but the clean run's records (some perhaps missing) and one
// record per failed call that is reported.
void CheckRecords(Driver &d, const std::vector<sim::Call> &calls, const std::vector<std::wstring> &records,
                  const std::vector<std::wstring> *clean);

// Handles left open at the end, handle faults, and the order in which a
// started process's handles are closed: its thread's first.
void CheckHandles(Driver &d, const std::vector<sim::Call> &calls);

// Processes: never two helpers at once (one is created only after the one
// before it is gone); none left running, unless TerminateProcess failed and
// the service reported it; every helper ends on its own window station and
// desktop.
void CheckProcesses(Driver &d, const std::vector<sim::Call> &calls);

// Every sweep of the service (a query-remove's, a removal's, the stop's for
// one card) ends within the time the service control manager allows a
// handler.
void CheckSweepTimes(Driver &d, const std::vector<sim::Call> &calls);

} // namespace faultsweep
