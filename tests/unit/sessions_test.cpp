// The session launcher: session tokens, the companion on the console, the
// force-close helper in every session, its bounds, and session changes.
#include "fixture.h"

using namespace testing_support;

namespace
{

const wchar_t kCompanionTail[] = L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe";

std::vector<DWORD> SessionsOf(const std::vector<sim::ProcessStart> &starts)
{
    std::vector<DWORD> out;
    for (const auto &start : starts) {
        out.push_back(start.session);
    }
    return out;
}

void ExpectNothingLeftOpen()
{
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Process), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Thread), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::SessionArray), 0u);
    EXPECT_EQ(sim::RunningProcesses(), 0u);
}

class SessionLauncherTest : public ServiceProcessTest
{
  protected:
    // An entry of a list of the test's own, for the operations that need no service.
    CardEntry *Entry(const std::wstring &id)
    {
        if (CardList == nullptr) {
            CardList = NewCardList();
        }
        CardEntry *entry = AppendCard(id.size() + 1);
        wmemcpy(entry->instanceId, id.c_str(), id.size() + 1);
        return entry;
    }

    DWORD SessionChange(DWORD type) { return service_.Control(SERVICE_CONTROL_SESSIONCHANGE, type); }
};

TEST_F(SessionLauncherTest, CompanionAndHelperAreStartedWithTheExactArguments)
{
    ASSERT_TRUE(StartOneSessionWithCardA(service_));
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, sim::DeviceHandles(kCardA).at(0)),
              static_cast<DWORD>(NO_ERROR));

    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].application, std::wstring(L"C:\\Program Files") + kCompanionTail);
    EXPECT_EQ(starts[0].creationFlags, 0x00000020u);
    EXPECT_EQ(starts[1].application, sim::ModulePath());
    EXPECT_EQ(starts[1].creationFlags, 0x08000020u);
    EXPECT_EQ(sizeof(STARTUPINFOW), 104u);
    for (const auto &start : starts) {
        EXPECT_TRUE(start.started);
        EXPECT_TRUE(start.tokenPrimary);
        EXPECT_EQ(start.session, 1u);
        EXPECT_EQ(start.commandLine, kCardA);
        EXPECT_TRUE(start.commandLineWritable);
        EXPECT_FALSE(start.processAttributes);
        EXPECT_FALSE(start.threadAttributes);
        EXPECT_EQ(start.inheritHandles, FALSE);
        EXPECT_FALSE(start.environment);
        EXPECT_FALSE(start.currentDirectory);
        EXPECT_EQ(start.startupCb, sizeof(STARTUPINFOW));
        EXPECT_EQ(start.desktop, L"WinSta0\\Default");
        EXPECT_TRUE(start.startupOtherwiseZero);
    }
    // The token calls, the folder lookup and the session enumeration.
    EXPECT_NE(sim::FindCall("OpenProcessToken", "0xffffffffffffffff, 0xf01ff"), std::string::npos);
    EXPECT_NE(sim::FindCall("DuplicateTokenEx", ", 0x2000000, NULL, level 1, type 1"), std::string::npos);
    EXPECT_EQ(sim::Calls("SetTokenInformation").at(0).args, HexOf(starts[0].token) + ", class 12, length 4, session 1");
    EXPECT_EQ(sim::Calls("SetTokenInformation").at(1).args, HexOf(starts[1].token) + ", class 12, length 4, session 1");
    EXPECT_EQ(sim::Calls("SHGetSpecialFolderPathW").at(0).args, "0x0, 38, 0");
    EXPECT_EQ(sim::Calls("wcscat_s").at(0).args, "260, \"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe\"");
    EXPECT_EQ(sim::Calls("WTSEnumerateSessionsW").at(0).args, "0x0, 0, 1");
    EXPECT_EQ(sim::Calls("GetModuleFileNameW").at(0).args, "0x0, 260");
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, TokenPreparationReportsEachFailureOnceAndLeavesNothingOpen)
{
    struct Case {
        const char *failing;
        DWORD console;
        TokenResult result;
        const wchar_t *record; // nullptr: nothing reported
    };
    const Case cases[] = {
        {"OpenProcessToken", 1, TokenFailed, L"OpenProcessToken"},
        {"OpenProcessToken", 0xFFFFFFFF, TokenFailed, L"OpenProcessToken"},
        {"DuplicateTokenEx", 1, TokenFailed, L"DuplicateTokenEx"},
        {"DuplicateTokenEx", 0xFFFFFFFF, TokenFailed, L"DuplicateTokenEx"},
        {"SetTokenInformation", 1, TokenFailed, L"SetTokenInformation"},
        // The console is looked up before the session is set.
        {"SetTokenInformation", 0xFFFFFFFF, TokenNoConsole, nullptr},
        {"", 0xFFFFFFFF, TokenNoConsole, nullptr},
        {"", 1, TokenReady, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.failing) + " console " + std::to_string(c.console));
        sim::Reset();
        sim::SetConsoleSession(c.console);
        if (*c.failing != '\0') {
            sim::FailCall(c.failing);
        }
        SessionToken token;
        EXPECT_EQ(PrepareSessionToken(kConsoleTarget, &token), c.result);
        if (c.result == TokenReady) {
            EXPECT_TRUE(sim::IsOpen(token.processToken));
            EXPECT_TRUE(sim::IsOpen(token.sessionToken));
            CloseSessionToken(&token);
        }
        if (c.record == nullptr) {
            EXPECT_TRUE(sim::Events().empty());
        } else {
            EXPECT_EQ(RecordLines(), std::vector<std::wstring>{Line(MSG_ERROR, c.record)});
            EXPECT_EQ(sim::Events().at(0).type, EVENTLOG_ERROR_TYPE);
        }
        EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
        EXPECT_TRUE(sim::HandleFaults().empty());
    }

    // A given session is never looked up on the console; an account that may
    // not change a token's session is told by "SetTokenInformation".
    sim::Reset();
    sim::SetCanSetTokenSession(false);
    SessionToken token;
    EXPECT_EQ(PrepareSessionToken(7, &token), TokenFailed);
    EXPECT_EQ(sim::CallCount("WTSGetActiveConsoleSessionId"), 0u);
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"SetTokenInformation"});
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
}

TEST_F(SessionLauncherTest, OnlyConsoleConnectAndLogonStartCompanionsAlwaysOnTheConsole)
{
    ASSERT_TRUE(StartTwoSessionsWithCardsAB(service_));
    size_t tokens = sim::CallCount("OpenProcessToken");
    size_t starts = sim::ProcessStarts().size();

    for (DWORD type : {2, 3, 4, 6, 7, 8, 9, 10, 0}) {
        EXPECT_EQ(SessionChange(type), static_cast<DWORD>(NO_ERROR));
    }
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), tokens);
    EXPECT_EQ(sim::ProcessStarts().size(), starts);

    // A console connect: both cards in list order under one token pair.
    EXPECT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), tokens + 1);
    auto all = sim::ProcessStarts();
    ASSERT_EQ(all.size(), starts + 2);
    EXPECT_EQ(all[starts].commandLine, kCardA);
    EXPECT_EQ(all[starts + 1].commandLine, kCardB);
    EXPECT_EQ(all[starts].token, all[starts + 1].token);
    EXPECT_EQ(all[starts].session, 1u);

    // A logon in another session still starts on the console's session, as
    // it is when the change is handled; an entry marked closed is included.
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, sim::DeviceHandles(kCardA).at(0)),
              static_cast<DWORD>(NO_ERROR));
    sim::SetConsoleSession(2);
    EXPECT_EQ(SessionChange(WTS_SESSION_LOGON), static_cast<DWORD>(NO_ERROR));
    auto companions = StartsOf(sim::CompanionPath());
    ASSERT_EQ(companions.size(), 6u);
    EXPECT_EQ(companions[4].commandLine, kCardA);
    EXPECT_EQ(companions[4].session, 2u);
    EXPECT_EQ(companions[5].session, 2u);
    EXPECT_EQ(sim::Events().size(), 3u); // two found, one query-remove
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SessionChangeWithNoCardOrNoConsoleStillPreparesAndClosesTheToken)
{
    ASSERT_TRUE(service_.StartRunning()); // no card, no console
    size_t tokens = sim::CallCount("OpenProcessToken");
    EXPECT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    sim::SetConsoleSession(1);
    EXPECT_EQ(SessionChange(WTS_SESSION_LOGON), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), tokens + 2);
    EXPECT_EQ(sim::CallCount("SetTokenInformation"), 1u);
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_TRUE(sim::Events().empty());
    ExpectNothingLeftOpen();

    // Failures are reported all the same, with no console too.
    sim::SetConsoleSession(0xFFFFFFFF);
    sim::FailCall("DuplicateTokenEx");
    EXPECT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"DuplicateTokenEx"});
    ExpectNothingLeftOpen();
    EXPECT_TRUE(sim::WaitForState(SERVICE_RUNNING, 0)); // still running
    EXPECT_EQ(sim::StatusReports().back().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(SessionLauncherTest, FailedCompanionStartIsReportedOnceAndTheNextCardStillStarts)
{
    sim::AddSession(1);
    sim::SetConsoleSession(1);
    AddCard(kCardA);
    AddCard(kCardB);
    sim::FailCall("CreateProcessAsUserW", 1);
    ASSERT_TRUE(service_.StartRunning());
    EXPECT_EQ(TextsOf(MSG_ERROR), std::vector<std::wstring>{L"CreateProcessAsUser"});
    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_FALSE(starts[0].started);
    EXPECT_TRUE(starts[1].started);
    EXPECT_EQ(starts[1].commandLine, kCardB);
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, CompanionPathThatCannotBeBuiltWholeIsNeverStarted)
{
    sim::AddSession(1);
    sim::SetConsoleSession(1);
    CardEntry *entry = Entry(kCardA);
    std::wstring tail(kCompanionTail);

    // The folder lookup fails: the buffer it may have left is not used.
    sim::FailCall("SHGetSpecialFolderPathW", 1);
    EXPECT_EQ(StartCompanionsOnConsole(entry, false), TokenReady);
    EXPECT_EQ(sim::CallCount("CreateProcessAsUserW"), 0u);
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"CreateProcessAsUser"});

    // Folder and tail one character too long for 260 with the terminator.
    sim::SetProgramFilesFolder(L"C:\\" + std::wstring(260 - tail.size() - 3, L'p'));
    EXPECT_EQ(StartCompanionsOnConsole(entry, false), TokenReady);
    EXPECT_EQ(sim::CallCount("CreateProcessAsUserW"), 0u);
    EXPECT_EQ(sim::EventTexts(), (std::vector<std::wstring>{L"CreateProcessAsUser", L"CreateProcessAsUser"}));

    // Exactly fitting: started from the whole path.
    std::wstring folder = L"C:\\" + std::wstring(259 - tail.size() - 3, L'p');
    sim::SetProgramFilesFolder(folder);
    EXPECT_EQ(StartCompanionsOnConsole(entry, false), TokenReady);
    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].application, folder + tail);
    EXPECT_EQ(starts[0].application.size(), 259u);
    EXPECT_TRUE(starts[0].started);
    EXPECT_EQ(sim::Events().size(), 2u);
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SweepRunsOneHelperPerSessionInArrayOrderEachWaitedWithItsOwnTokenPair)
{
    for (DWORD session : {1, 2, 3}) {
        sim::AddSession(session, session == 2 ? WTSDisconnected : WTSActive);
    }
    CardEntry *entry = Entry(kCardA);
    RunForceCloseSweep(entry);

    auto helpers = HelperStarts();
    EXPECT_EQ(SessionsOf(helpers), (std::vector<DWORD>{1, 2, 3}));
    EXPECT_NE(helpers[0].token, helpers[1].token);
    EXPECT_NE(helpers[1].token, helpers[2].token);
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 3u);
    EXPECT_EQ(sim::CallCount("DuplicateTokenEx"), 3u);

    // Per session: tokens, start, thread closed, process waited (bounded) and
    // closed, then both tokens closed, before the next session begins.
    auto calls = ServiceCallsFrom(0);
    std::vector<std::string> shape;
    for (const auto &call : calls) {
        if (call.function == "OpenProcessToken" || call.function == "CreateProcessAsUserW" ||
            call.function == "WaitForSingleObject" || call.function == "CloseHandle" ||
            call.function == "TerminateProcess" || call.function == "WTSFreeMemory") {
            shape.push_back(call.function);
        }
    }
    std::vector<std::string> one = {"OpenProcessToken", "CreateProcessAsUserW", "CloseHandle", "WaitForSingleObject",
                                    "CloseHandle",      "CloseHandle",          "CloseHandle"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
        expected.insert(expected.end(), one.begin(), one.end());
    }
    expected.push_back("WTSFreeMemory");
    EXPECT_EQ(shape, expected);
    for (const auto &call : calls) {
        if (call.function == "WaitForSingleObject") {
            EXPECT_NE(call.args.find(", 8000"), std::string::npos) << call.args;
        }
    }
    // The wait is on the process, and the thread handle was closed first.
    for (size_t i = 0; i + 2 < calls.size(); ++i) {
        if (calls[i].function == "WaitForSingleObject") {
            std::string waited = calls[i].args.substr(0, calls[i].args.find(','));
            EXPECT_EQ(calls[i + 1].function, "CloseHandle");
            EXPECT_EQ(calls[i + 1].args, waited);
            EXPECT_EQ(calls[i - 1].function, "CloseHandle");
            EXPECT_NE(calls[i - 1].args, waited);
        }
    }
    EXPECT_TRUE(sim::Events().empty());
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SweepGoesOnPastSessionsWhereTheTokenOrTheHelperFails)
{
    for (DWORD session : {1, 2, 3, 4}) {
        sim::AddSession(session);
    }
    CardEntry *entry = Entry(kCardA);
    sim::FailCall("CreateProcessAsUserW", 2); // session 2: nothing reported
    sim::FailCall("SetTokenInformation", 3);  // session 3: reported once
    RunForceCloseSweep(entry);
    std::vector<DWORD> started;
    for (const auto &start : HelperStarts()) {
        if (start.started) {
            started.push_back(start.session);
        }
    }
    EXPECT_EQ(started, (std::vector<DWORD>{1, 4}));
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"SetTokenInformation"});
    ExpectNothingLeftOpen();

    // A failed enumeration tries no session and frees the null pointer.
    sim::FailCall("WTSEnumerateSessionsW");
    size_t from = sim::Calls().size();
    RunForceCloseSweep(entry);
    auto calls = ServiceCallsFrom(from);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, "WTSEnumerateSessionsW");
    EXPECT_EQ(calls[1].function, "WTSFreeMemory");
    EXPECT_EQ(calls[1].args, "0x0");
    EXPECT_EQ(sim::Events().size(), 1u);

    // A module path that does not fit is not used.
    sim::SetModulePath(L"C:\\" + std::wstring(300, L'm') + L".exe");
    size_t starts = sim::ProcessStarts().size();
    RunForceCloseSweep(entry);
    EXPECT_EQ(sim::ProcessStarts().size(), starts);
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, HungHelpersAreBoundedAndTheSweepAnswersWithinItsBudget)
{
    for (DWORD session = 1; session <= 5; ++session) {
        sim::AddSession(session);
    }
    sim::InstallProgram(sim::ModulePath(), sim::Program::NeverEnds);
    CardEntry *entry = Entry(kCardA);

    // Each helper is waited 8000 ms at most, reported and ended.
    ULONGLONG start = sim::Now();
    RunForceCloseSweep(entry);
    // 8000 + 8000 + 4000: the budget of 20000 ms is spent and the last two
    // sessions are skipped.
    EXPECT_EQ(sim::Now() - start, static_cast<ULONGLONG>(kSweepBudgetMs));
    EXPECT_EQ(SessionsOf(HelperStarts()), (std::vector<DWORD>{1, 2, 3}));
    auto waits = sim::Calls("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_NE(waits[0].args.find(", 8000"), std::string::npos);
    EXPECT_NE(waits[1].args.find(", 8000"), std::string::npos);
    EXPECT_NE(waits[2].args.find(", 4000"), std::string::npos);
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>(3, L"WaitForSingleObject"));
    EXPECT_EQ(sim::CallCount("TerminateProcess"), 3u);
    for (const auto &terminate : sim::Calls("TerminateProcess")) {
        // Ended before its handle is closed.
        size_t at = sim::FindCall("TerminateProcess", terminate.args);
        EXPECT_LT(at, sim::FindCall("CloseHandle", terminate.args.substr(0, terminate.args.find(',')), at));
    }
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, QueryRemoveWithHungHelpersIsAnsweredWithinTheBoundAndStillCloses)
{
    for (DWORD session = 1; session <= 4; ++session) {
        sim::AddSession(session);
    }
    AddCard(kCardA);
    ASSERT_TRUE(service_.StartRunning());
    sim::InstallProgram(sim::ModulePath(), sim::Program::NeverEnds);
    HANDLE a = sim::DeviceHandles(kCardA).at(0);
    ULONGLONG start = sim::Now();
    EXPECT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, a), static_cast<DWORD>(NO_ERROR));
    EXPECT_LE(sim::Now() - start, static_cast<ULONGLONG>(kSweepBudgetMs));
    EXPECT_FALSE(sim::IsOpen(a));
    EXPECT_EQ(TextsOf(MSG_ERROR).size(), 3u);
    // The stop's sweep is bounded as well, and the service stops.
    service_.Stop();
    EXPECT_EQ(sim::StatusReports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, HungCompanionWindowsDelayTheSweepOnlyByTheirSendTimeouts)
{
    sim::AddSession(1);
    sim::AddSession(2);
    CardEntry *entry = Entry(kCardA);
    HWND first = sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
    HWND second = sim::AddWindow(2, L"WinSta0", L"Default", kCardA);
    sim::SetWindowHung(first, true);
    sim::SetWindowHung(second, true);
    ULONGLONG start = sim::Now();
    RunForceCloseSweep(entry);
    EXPECT_EQ(sim::Now() - start, 2u * kForceCloseSendTimeoutMs);
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_TRUE(deliveries[0].timedOut);
    EXPECT_TRUE(deliveries[1].timedOut);
    EXPECT_EQ(deliveries[0].timeout, kForceCloseSendTimeoutMs);
    // Each helper ended inside its own bound: nothing reported, nothing ended by force.
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::CallCount("TerminateProcess"), 0u);
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SweepReachesTheCompanionWindowsInEverySession)
{
    sim::AddSession(1);
    sim::AddSession(2);
    sim::SetConsoleSession(1);
    AddCard(kCardA);
    ASSERT_TRUE(service_.StartRunning());
    sim::SetConsoleSession(2);
    ASSERT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    auto first = sim::WindowsWithProperty(1, kCardA);
    auto second = sim::WindowsWithProperty(2, kCardA);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    // A window of another card is left alone.
    sim::AddWindow(2, L"WinSta0", L"Default", kCardB);

    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, sim::DeviceHandles(kCardA).at(0)),
              static_cast<DWORD>(NO_ERROR));
    UINT forceClose = sim::MessageNumber(L"ForceClose");
    ASSERT_NE(forceClose, 0u);
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].window, first[0]);
    EXPECT_EQ(deliveries[1].window, second[0]);
    auto helpers = HelperStarts();
    ASSERT_EQ(helpers.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(deliveries[i].message, forceClose);
        EXPECT_EQ(deliveries[i].fromProcess, helpers[i].process);
        EXPECT_FALSE(deliveries[i].timedOut);
    }
    ExpectNothingLeftOpen();
}

} // namespace
