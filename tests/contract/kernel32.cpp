// kernel32: handles, events and waits, processes, the module path.
#include "tests/contract/arrange.h"

using arrange::Program;

// The Old New Thing, "Kernel handles are not reference-counted" (2007-08-29):
// a closed handle value is invalid and "available to be recycled", so a
// value alone never names an object for long. In which order Windows hands
// freed values out it documents nowhere (Wine gives the lowest free one at
// once), so the simulation takes the harsher side.
ASSUMED(FreedHandleValuesComeBackLastFreedFirst,
        "the simulation hands out the value freed last first, so a closed value names the next object at once: "
        "Windows documents no order (Wine gives the lowest free value; an NT-style table may give it much later), "
        "and a stale value must be harmless whichever way")
{
    HANDLE first = CreateEventW(NULL, TRUE, FALSE, NULL);
    REQUIRE(first != NULL);
    CHECK(CloseHandle(first));
    HANDLE next = CreateEventW(NULL, TRUE, FALSE, NULL);
    CHECK_EQ(next, first);
    CloseHandle(next);
}

// The CloseHandle page says only that under a debugger a value that is not
// valid raises an exception; Wine's winstation.c test_handles checks
// ERROR_INVALID_HANDLE for handles CloseHandle refuses, which are open. For a
// value closed already, and perhaps handed out again, no source says.
ASSUMED(CloseHandleOfAClosedValueFails,
        "CloseHandle of a value closed already fails with ERROR_INVALID_HANDLE and is a fault in every test: "
        "no source says what Windows does (the value may name another object by then, which it would close), "
        "so the service must never close a value twice")
{
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    REQUIRE(event != NULL);
    CHECK(CloseHandle(event));
    SetLastError(0);
    CHECK(!CloseHandle(event));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// WaitForSingleObject page: WAIT_TIMEOUT "The time-out interval elapsed, and
// the object's state is nonsignaled."
FACT(WaitOnAnUnsetEventTimesOut, kAlsoWine, "WaitForSingleObject page, Return value")
{
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    REQUIRE(event != NULL);
    CHECK_EQ(WaitForSingleObject(event, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

// CreateEventW page: a manual-reset event "requires the use of the ResetEvent
// function to set the event state to nonsignaled".
FACT(ManualResetEventStaysSet, kAlsoWine, "CreateEventW page, bManualReset")
{
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    REQUIRE(event != NULL);
    CHECK(SetEvent(event));
    CHECK_EQ(WaitForSingleObject(event, 10), static_cast<DWORD>(WAIT_OBJECT_0));
    CHECK_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(event);
}

// TerminateProcess page: "TerminateProcess is asynchronous; it initiates
// termination and returns immediately. If you need to be sure the process has
// terminated, call the WaitForSingleObject function with a handle to the
// process."
FACT(TerminatedProcessIsGoneOnceItsHandleIsSignalled, kAlsoWine, "TerminateProcess page, Remarks")
{
    PROCESS_INFORMATION process{};
    REQUIRE(contract::StartProcess(arrange::ProgramPath(Program::NeverEnds), arrange::CommandLine(Program::NeverEnds),
                                   &process));
    CloseHandle(process.hThread);
    CHECK_EQ(WaitForSingleObject(process.hProcess, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK(TerminateProcess(process.hProcess, 1));
    CHECK_EQ(WaitForSingleObject(process.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(process.hProcess);
}

// TerminateProcess page: "After a process has terminated, call to
// TerminateProcess with open handles to the process fails with
// ERROR_ACCESS_DENIED (5) error code." Wine's conformance tests do not try
// it; Wine 8 reports success.
FACT(TerminateProcessOfAnEndedProcessFailsWithAccessDenied, kWineDiffers, "TerminateProcess page, Remarks")
{
    PROCESS_INFORMATION process{};
    REQUIRE(
        contract::StartProcess(arrange::ProgramPath(Program::Exits), arrange::CommandLine(Program::Exits), &process));
    CloseHandle(process.hThread);
    CHECK_EQ(WaitForSingleObject(process.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    SetLastError(0);
    BOOL terminated = TerminateProcess(process.hProcess, 1);
    WINE_DIFFERS(!terminated && GetLastError() == ERROR_ACCESS_DENIED, terminated);
    CloseHandle(process.hProcess);
}

// GetModuleFileNameW page: "If the buffer is too small to hold the module
// name, the string is truncated to nSize characters including the terminating
// null character, the function returns nSize, and the function sets the last
// error to ERROR_INSUFFICIENT_BUFFER". Wine 8 does what the page says of
// Windows XP: "truncated to nSize characters and is not null-terminated".
FACT(ModuleFileNameInASmallBufferIsCutAndReportsInsufficientBuffer, kWineDiffers, "GetModuleFileNameW page")
{
    WCHAR whole[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, whole, MAX_PATH);
    REQUIRE(length > 4 && length < MAX_PATH);
    WCHAR cut[MAX_PATH];
    wmemset(cut, L'x', MAX_PATH);
    SetLastError(0);
    CHECK_EQ(GetModuleFileNameW(NULL, cut, 4), 4u);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    WINE_DIFFERS(std::wstring(cut) == std::wstring(whole, 3), std::wstring(cut, 5) == std::wstring(whole, 4) + L"x");
}
