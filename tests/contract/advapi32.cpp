// advapi32: the event log, the service control manager, tokens.
#include "tests/contract/arrange.h"

// RegisterEventSourceW page: "If the source name cannot be found, the event
// logging service uses the Application log. Although events will be reported,
// the events will not include descriptions".
FACT(EventSourceOfAnUnregisteredNameOpens, kAlsoWine, "RegisterEventSourceW page, Remarks")
{
    HANDLE source = RegisterEventSourceW(NULL, L"ContractNeverRegisteredSource");
    REQUIRE(source != NULL);
    LPCWSTR strings[] = {L"contract"};
    CHECK(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL));
    CHECK(DeregisterEventSource(source));
}

// StartServiceCtrlDispatcherW page, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
// "This error is returned if the program is being run as a console
// application rather than as a service."
FACT(DispatcherOutsideTheServiceManagerFails, kAlsoWine, "StartServiceCtrlDispatcherW page, Return value")
{
    static WCHAR name[] = L"ContractService";
    SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR *) {}}, {NULL, NULL}};
    SetLastError(0);
    CHECK(!StartServiceCtrlDispatcherW(table));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

// DuplicateTokenEx page: TokenPrimary "The new token is a primary token that
// you can use in the CreateProcessAsUser function"; CreateProcessAsUserW
// page: hToken is "A handle to the primary token that represents a user".
FACT(DuplicatedProcessTokenIsAPrimaryTokenThatStartsAProcess, kAlsoWine, "DuplicateTokenEx, CreateProcessAsUserW pages")
{
    PROCESS_INFORMATION process{};
    REQUIRE(contract::StartProcess(arrange::ProgramPath(arrange::Program::Exits),
                                   arrange::CommandLine(arrange::Program::Exits), &process));
    CHECK_EQ(WaitForSingleObject(process.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
