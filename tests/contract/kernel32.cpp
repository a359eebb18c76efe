// kernel32: handles, events and waits, processes, the module path.
#include "tests/contract/arrange.h"

using arrange::Program;

// The Old New Thing, "Kernel handles are not reference-counted" (2007-08-29):
// a closed handle value is invalid and "available to be recycled"; the handle
// table hands out the most recently freed entry. So a value alone never names
// an object for long. Windows hands it out again "usually at once": of a few
// opens, one gets it.
FACT(HandleValuesAreReusedAfterClose, kAlsoWine, "The Old New Thing, 2007-08-29 (kernel handles)")
{
    HANDLE first = CreateEventW(NULL, TRUE, FALSE, NULL);
    REQUIRE(first != NULL);
    CHECK(CloseHandle(first));
    std::vector<HANDLE> later;
    for (int i = 0; i < 8 && (later.empty() || later.back() != first); ++i) {
        later.push_back(CreateEventW(NULL, TRUE, FALSE, NULL));
    }
    CHECK_EQ(later.back(), first);
    for (HANDLE handle : later) {
        CloseHandle(handle);
    }
}

// CloseHandle page: a handle value that is not valid makes it fail (and throw
// under a debugger); the error is ERROR_INVALID_HANDLE, as Wine's
// dlls/user32/tests/winstation.c (test_handles) checks for a value CloseHandle
// cannot close.
FACT(CloseHandleOfAClosedHandleFailsWithInvalidHandle, kAlsoWine, "CloseHandle page; Wine winstation.c test_handles")
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
