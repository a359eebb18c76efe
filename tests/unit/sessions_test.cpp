// The session launcher: session tokens, the companion on the console, the
// force-close helper in every session, its bounds, and session changes.
#include <algorithm>

#include "fixture.h"

using namespace testing_support;

namespace
{

const wchar_t kCompanionTail[] = L"\\TALVORIN\\Pellucid Range(Legacy)\\Hexlorn.exe";

// What the service promises about the time a sweep takes, as the operator
// documentation states it: a window gets 2 s for "ForceClose", a helper 10 s
// to end, a card's sweep 20 s over all sessions, and a helper that was ended
// 1 s more to go, and none is started with less than 0.5 s of its sweep left;
// the stop reports stopped within 25 s of its request, however
// many cards it sweeps. The service control manager gives a control handler
// 30 s (HandlerEx), and a query-remove is answered only after its sweep; an
// installer waits 30 s for a service to stop.
constexpr ULONGLONG kWindowMs = 2000;
constexpr ULONGLONG kHelperMs = 10000;
constexpr ULONGLONG kSweepMs = 20000;
constexpr ULONGLONG kGoneMs = 1000;
constexpr ULONGLONG kHelperStartMs = 500; // the least left for a helper to be started
constexpr ULONGLONG kHandlerLimitMs = 30000;
constexpr ULONGLONG kStopMs = 25000;

std::vector<DWORD> SessionsOf(const std::vector<sim::ProcessStart> &starts)
{
    std::vector<DWORD> out;
    for (const auto &start : starts) {
        out.push_back(start.session);
    }
    return out;
}

std::vector<DWORD> StartedSessionsOf(const std::vector<sim::ProcessStart> &starts)
{
    std::vector<DWORD> out;
    for (const auto &start : starts) {
        if (start.started) {
            out.push_back(start.session);
        }
    }
    return out;
}

// The waits of the service's sweeps in the call log from `from`: the wait for
// each helper to end, and each wait for an ended helper to be gone.
struct SweepWaits {
    ULONGLONG start = 0; // the service's clock when the first sweep listed the sessions
    std::vector<sim::Call> helper, gone;
};
SweepWaits WaitsOfSweeps(size_t from)
{
    SweepWaits out;
    bool terminated = false;
    auto calls = sim::Calls();
    for (size_t i = from; i < calls.size(); ++i) {
        const sim::Call &call = calls[i];
        if (call.process != sim::kServiceProcess) {
            continue;
        }
        if (call.function == "WTSEnumerateSessionsW" && out.start == 0) {
            out.start = call.at;
        } else if (call.function == "TerminateProcess") {
            terminated = true;
        } else if (call.function == "WaitForSingleObject" && call["dwMilliseconds"] != sim::Timeout(INFINITE)) {
            (terminated ? out.gone : out.helper).push_back(call);
            terminated = false;
        }
    }
    return out;
}

// Every wait of one sweep keeps to the promised figures.
void ExpectWaitsWithinTheFigures(const SweepWaits &waits)
{
    for (const auto &wait : waits.helper) {
        EXPECT_LE(wait["dwMilliseconds"].number, kHelperMs);
        EXPECT_LE(wait.at + wait["dwMilliseconds"].number, waits.start + kSweepMs);
    }
    for (const auto &wait : waits.gone) {
        EXPECT_EQ(wait["dwMilliseconds"], sim::Timeout(static_cast<DWORD>(kGoneMs)));
    }
    for (const auto &send : sim::Calls("SendMessageTimeoutW")) {
        EXPECT_EQ(send["uTimeout"], sim::Timeout(static_cast<DWORD>(kWindowMs)));
        EXPECT_EQ(send["fuFlags"], sim::SmtoFlags(SMTO_ABORTIFHUNG));
    }
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
    void TearDown() override
    {
        EXPECT_EQ(HelpersOverlap(), "");
        ServiceProcessTest::TearDown();
    }

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
    ASSERT_TRUE(StartWithCardA(service_));
    size_t sweepFrom = sim::Calls().size();
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));

    // The companion on the console; a helper in the services' session and in
    // the console's; the listener, where no process can start.
    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_EQ(starts[0].application, std::wstring(L"C:\\Program Files") + kCompanionTail);
    EXPECT_EQ(sim::CreationFlags(starts[0].creationFlags), sim::CreationFlags(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(SessionsOf(starts),
              (std::vector<DWORD>{kConsoleSession, kServicesSession, kConsoleSession, kListenerSession}));
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i].application, sim::ModulePath());
        EXPECT_EQ(sim::CreationFlags(starts[i].creationFlags),
                  sim::CreationFlags(CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS));
    }
    EXPECT_FALSE(starts[3].started);
    for (const auto &start : starts) {
        EXPECT_TRUE(start.tokenPrimary);
        EXPECT_EQ(start.commandLine, kCardA);
        EXPECT_TRUE(start.commandLineWritable);
        EXPECT_TRUE(start.otherArgumentsNull);
        EXPECT_EQ(start.startupCb, sizeof(STARTUPINFOW));
        EXPECT_EQ(start.desktop, L"WinSta0\\Default");
        EXPECT_TRUE(start.startupOtherwiseZero);
    }
    // One token pair per start, each bound to the start's session.
    auto opens = sim::Calls("OpenProcessToken");
    auto duplicates = sim::Calls("DuplicateTokenEx");
    auto bindings = sim::Calls("SetTokenInformation");
    ASSERT_EQ(opens.size(), 4u);
    ASSERT_EQ(duplicates.size(), 4u);
    ASSERT_EQ(bindings.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(opens[i]["ProcessHandle"], sim::Handle(GetCurrentProcess()));
        EXPECT_EQ(opens[i]["DesiredAccess"], sim::Access(TOKEN_ALL_ACCESS));
        EXPECT_EQ(duplicates[i]["dwDesiredAccess"], sim::Access(MAXIMUM_ALLOWED));
        EXPECT_EQ(duplicates[i]["lpTokenAttributes"], sim::Handle(nullptr));
        EXPECT_EQ(duplicates[i]["ImpersonationLevel"], sim::Level(SecurityIdentification));
        EXPECT_EQ(duplicates[i]["TokenType"], sim::TokenType(TokenPrimary));
        EXPECT_EQ(bindings[i]["TokenHandle"], starts[i].token);
        EXPECT_EQ(bindings[i]["TokenInformationClass"], sim::TokenClass(TokenSessionId));
        EXPECT_EQ(bindings[i]["TokenInformation"], sim::SessionId(starts[i].session));
        EXPECT_EQ(bindings[i]["TokenInformationLength"], sim::Number(sizeof(DWORD)));
    }
    auto folder = sim::Calls("SHGetSpecialFolderPathW");
    ASSERT_EQ(folder.size(), 1u);
    EXPECT_EQ(folder[0]["hwnd"], sim::Handle(nullptr));
    EXPECT_EQ(folder[0]["csidl"], sim::Csidl(CSIDL_PROGRAM_FILES));
    EXPECT_EQ(folder[0]["fCreate"], sim::Bool(FALSE));
    auto tail = sim::Calls("wcscat_s");
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0]["numberOfElements"], sim::Number(260));
    EXPECT_EQ(tail[0]["strSource"], sim::Text(kCompanionTail));
    auto sessions = sim::Calls("WTSEnumerateSessionsW");
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]["hServer"], sim::Handle(WTS_CURRENT_SERVER_HANDLE));
    EXPECT_EQ(sessions[0]["Reserved"], sim::Number(0));
    EXPECT_EQ(sessions[0]["Version"], sim::Number(1));
    for (const auto &module : sim::Calls("GetModuleFileNameW")) {
        EXPECT_EQ(module["hModule"], sim::Handle(nullptr));
        EXPECT_EQ(module["nSize"], sim::Number(260));
    }
    // Each started helper is waited for its whole allowance, and ended by
    // itself in time.
    auto waits = WaitsOfSweeps(sweepFrom);
    ASSERT_EQ(waits.helper.size(), 2u);
    for (const auto &wait : waits.helper) {
        EXPECT_EQ(wait["dwMilliseconds"], sim::Timeout(10000));
    }
    EXPECT_TRUE(waits.gone.empty());
    EXPECT_EQ(sim::Events().size(), 2u); // found, query-remove
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
        {"OpenProcessToken", kConsoleSession, TokenFailed, L"OpenProcessToken"},
        {"OpenProcessToken", sim::kNoConsole, TokenFailed, L"OpenProcessToken"},
        {"DuplicateTokenEx", kConsoleSession, TokenFailed, L"DuplicateTokenEx"},
        {"DuplicateTokenEx", sim::kNoConsole, TokenFailed, L"DuplicateTokenEx"},
        {"SetTokenInformation", kConsoleSession, TokenFailed, L"SetTokenInformation"},
        // The console is looked up before the session is set.
        {"SetTokenInformation", sim::kNoConsole, TokenNoConsole, nullptr},
        {"", sim::kNoConsole, TokenNoConsole, nullptr},
        {"", kConsoleSession, TokenReady, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.failing) + " " + sim::Render(sim::SessionId(c.console)));
        FreshMachine();
        sim::SetConsoleSession(c.console);
        if (*c.failing != '\0') {
            sim::FailCall(c.failing);
        }
        SessionToken token;
        EXPECT_EQ(PrepareSessionToken(kConsoleTarget, &token), c.result);
        if (c.result == TokenReady) {
            EXPECT_TRUE(sim::IsOpen(token.processToken, sim::Kind::Token));
            EXPECT_TRUE(sim::IsOpen(token.sessionToken, sim::Kind::Token));
            CloseSessionToken(&token);
        }
        if (c.record == nullptr) {
            EXPECT_TRUE(sim::Events().empty());
        } else {
            EXPECT_EQ(RecordLines(), std::vector<std::wstring>{Line(MSG_ERROR, c.record)});
        }
        EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
        EXPECT_TRUE(sim::HandleFaults().empty());
    }

    // A given session is never looked up on the console; an account that may
    // not change a token's session is told by "SetTokenInformation".
    FreshMachine();
    sim::SetCanSetTokenSession(false);
    SessionToken token;
    EXPECT_EQ(PrepareSessionToken(7, &token), TokenFailed);
    EXPECT_EQ(sim::CallCount("WTSGetActiveConsoleSessionId"), 0u);
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"SetTokenInformation"});
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
}

TEST_F(SessionLauncherTest, OnlyConsoleConnectAndLogonStartCompanionsAlwaysOnTheConsole)
{
    ASSERT_TRUE(StartWithCardsAB(service_));
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
    EXPECT_EQ(all[starts].session, kConsoleSession);

    // A logon in another session still starts on the console's session, as
    // it is when the change is handled; an entry marked closed is included.
    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    sim::AddSession(2);
    sim::SetConsoleSession(2);
    EXPECT_EQ(SessionChange(WTS_SESSION_LOGON), static_cast<DWORD>(NO_ERROR));
    auto companions = StartsOf(kCompanionPath);
    ASSERT_EQ(companions.size(), 6u);
    EXPECT_EQ(companions[4].commandLine, kCardA);
    EXPECT_EQ(companions[4].session, 2u);
    EXPECT_EQ(companions[5].commandLine, kCardB);
    EXPECT_EQ(companions[5].session, 2u);
    EXPECT_EQ(sim::Events().size(), 3u); // two found, one query-remove
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SessionChangeWaitsForTheCardListBeforeWalkingIt)
{
    ASSERT_TRUE(StartWithCardA(service_));
    for (DWORD type : {WTS_CONSOLE_CONNECT, WTS_SESSION_LOGON}) {
        SCOPED_TRACE(type);
        size_t companions = StartsOf(kCompanionPath).size();
        DWORD answer = sim::kNotDelivered;
        AcquireSRWLockExclusive(&cardListLock); // as the service thread holds it at start-up and stop
        std::thread change([&] { answer = SessionChange(type); });
        bool waited = sim::WaitUntil([] { return sim::LockWaiters(&cardListLock) > 0; }, 10000);
        size_t whileHeld = StartsOf(kCompanionPath).size();
        ReleaseSRWLockExclusive(&cardListLock);
        change.join();
        EXPECT_TRUE(waited);
        EXPECT_EQ(whileHeld, companions);
        EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(StartsOf(kCompanionPath).size(), companions + 1);
    }
}

TEST_F(SessionLauncherTest, SessionChangeWithNoCardOrNoConsoleStillPreparesAndClosesTheToken)
{
    sim::SetConsoleSession(sim::kNoConsole);
    ASSERT_TRUE(service_.StartRunning()); // no card, no console
    size_t tokens = sim::CallCount("OpenProcessToken");
    EXPECT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    sim::SetConsoleSession(kConsoleSession);
    EXPECT_EQ(SessionChange(WTS_SESSION_LOGON), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), tokens + 2);
    EXPECT_EQ(sim::CallCount("SetTokenInformation"), 1u);
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_TRUE(sim::Events().empty());
    ExpectNothingLeftOpen();

    // Failures are reported all the same, with no console too.
    sim::SetConsoleSession(sim::kNoConsole);
    sim::FailCall("DuplicateTokenEx");
    EXPECT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"DuplicateTokenEx"});
    ExpectNothingLeftOpen();
    EXPECT_EQ(sim::ServiceState(sim::StatusReports().back().dwCurrentState), sim::ServiceState(SERVICE_RUNNING));
}

TEST_F(SessionLauncherTest, FailedCompanionStartIsReportedOnceAndTheNextCardStillStarts)
{
    sim::FailCall("CreateProcessAsUserW", 1);
    ASSERT_TRUE(StartWithCardsAB(service_));
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
    // A tail that does not fit is never handed to wcscat_s: the runtime calls
    // its invalid-parameter handler for a destination too small, and that
    // ends the process unless a handler of the program's own says otherwise.
    EXPECT_EQ(sim::CallCount("wcscat_s"), 0u);

    // Exactly fitting: started from the whole path.
    std::wstring folder = L"C:\\" + std::wstring(259 - tail.size() - 3, L'p');
    sim::SetProgramFilesFolder(folder);
    sim::InstallProgram(folder + tail, sim::Program::Companion);
    EXPECT_EQ(StartCompanionsOnConsole(entry, false), TokenReady);
    auto starts = sim::ProcessStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].application, folder + tail);
    EXPECT_EQ(starts[0].application.size(), 259u);
    EXPECT_TRUE(starts[0].started);
    EXPECT_EQ(sim::CallCount("wcscat_s"), 1u);
    EXPECT_EQ(sim::Events().size(), 2u);
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SweepRunsOneHelperPerSessionInArrayOrderEachWaitedWithItsOwnTokenPair)
{
    sim::AddSession(2, WTSDisconnected);
    sim::AddSession(3);
    CardEntry *entry = Entry(kCardA);
    RunForceCloseSweep(entry, SweepDeadline());

    // Every listed session, whatever its state, in the order of the list.
    auto helpers = HelperStarts();
    EXPECT_EQ(SessionsOf(helpers), (std::vector<DWORD>{0, 1, 2, 3, kListenerSession}));
    EXPECT_EQ(StartedSessionsOf(helpers), (std::vector<DWORD>{0, 1, 2, 3}));
    EXPECT_EQ(sim::CallCount("OpenProcessToken"), 5u);
    EXPECT_EQ(sim::CallCount("DuplicateTokenEx"), 5u);

    // Per session: tokens, start, thread closed, process waited (bounded) and
    // closed, then both tokens closed, before the next session begins.
    auto calls = sim::Calls();
    std::vector<std::string> shape;
    for (size_t i : ServiceCalls("")) {
        const std::string &f = calls[i].function;
        if (f == "OpenProcessToken" || f == "CreateProcessAsUserW" || f == "WaitForSingleObject" ||
            f == "CloseHandle" || f == "TerminateProcess" || f == "WTSFreeMemory") {
            shape.push_back(f);
        }
    }
    std::vector<std::string> started = {"OpenProcessToken",    "CreateProcessAsUserW", "CloseHandle",
                                        "WaitForSingleObject", "CloseHandle",          "CloseHandle",
                                        "CloseHandle"};
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i) {
        expected.insert(expected.end(), started.begin(), started.end());
    }
    expected.insert(expected.end(), {"OpenProcessToken", "CreateProcessAsUserW", "CloseHandle", "CloseHandle"});
    expected.push_back("WTSFreeMemory");
    EXPECT_EQ(shape, expected);
    // The wait is on the process, and the thread handle was closed first; the
    // process handle is closed right after the wait.
    auto mine = ServiceCalls("");
    size_t waitsSeen = 0;
    for (size_t k = 1; k + 1 < mine.size(); ++k) {
        const sim::Call &wait = calls[mine[k]];
        if (wait.function != "WaitForSingleObject") {
            continue;
        }
        ++waitsSeen;
        EXPECT_EQ(wait["dwMilliseconds"], sim::Timeout(10000));
        EXPECT_EQ(calls[mine[k - 1]].function, "CloseHandle");
        EXPECT_NE(calls[mine[k - 1]]["hObject"], wait["hHandle"]);
        EXPECT_EQ(calls[mine[k + 1]].function, "CloseHandle");
        EXPECT_EQ(calls[mine[k + 1]]["hObject"], wait["hHandle"]);
    }
    EXPECT_EQ(waitsSeen, 4u);
    EXPECT_TRUE(sim::Events().empty());
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SweepGoesOnPastSessionsWhereTheTokenOrTheHelperFails)
{
    for (DWORD session : {2, 3, 4}) {
        sim::AddSession(session);
    }
    CardEntry *entry = Entry(kCardA);
    sim::FailCall("CreateProcessAsUserW", 2); // session 1: nothing reported
    sim::FailCall("SetTokenInformation", 3);  // session 2: reported once
    RunForceCloseSweep(entry, SweepDeadline());
    EXPECT_EQ(StartedSessionsOf(HelperStarts()), (std::vector<DWORD>{0, 3, 4}));
    EXPECT_EQ(sim::EventTexts(), std::vector<std::wstring>{L"SetTokenInformation"});
    ExpectNothingLeftOpen();

    // A failed enumeration tries no session and frees the null pointer.
    sim::FailCall("WTSEnumerateSessionsW");
    size_t from = sim::Calls().size();
    RunForceCloseSweep(entry, SweepDeadline());
    auto calls = sim::Calls();
    auto made = ServiceCalls("", from);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(calls[made[0]].function, "WTSEnumerateSessionsW");
    EXPECT_EQ(calls[made[1]].function, "WTSFreeMemory");
    EXPECT_EQ(calls[made[1]]["pMemory"], sim::Handle(nullptr));
    EXPECT_EQ(sim::Events().size(), 1u);

    // A module path that does not fit is not used.
    FreshMachine();
    sim::SetModulePath(L"C:\\" + std::wstring(300, L'm') + L".exe");
    RunForceCloseSweep(Entry(kCardA), SweepDeadline());
    EXPECT_TRUE(sim::ProcessStarts().empty());
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, HelpersOutlivingTheirWaitAreEndedAndGoneBeforeTheNextAndTheBudgetEndsTheSweep)
{
    // Helpers that never end, in every session. Each is waited for at most
    // 10 s and at most until the sweep's 20 s are spent, ended, and waited for
    // until it is gone; then the next session's helper starts. Once the 20 s
    // are spent with sessions left, one record says so and no other session
    // is tried; when none are left, nothing more is said.
    struct Case {
        const char *name;
        std::vector<DWORD> added;
        bool listener;
        std::vector<std::wstring> records;
    };
    const std::vector<std::wstring> ended(2, L"WaitForSingleObject");
    const std::vector<std::wstring> endedAndSpent(3, L"WaitForSingleObject");
    const Case cases[] = {
        {"sessions left", {2, 3}, true, endedAndSpent},
        {"only the listener left", {}, true, endedAndSpent},
        {"no session left", {}, false, ended},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine();
        for (DWORD session : c.added) {
            sim::AddSession(session);
        }
        if (!c.listener) {
            sim::RemoveSession(kListenerSession);
        }
        sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
        CardEntry *entry = Entry(kCardA);
        RunForceCloseSweep(entry, SweepDeadline());

        EXPECT_EQ(SessionsOf(HelperStarts()), (std::vector<DWORD>{kServicesSession, kConsoleSession}));
        EXPECT_EQ(sim::EventTexts(), c.records);
        EXPECT_EQ(sim::CallCount("OpenProcessToken"), 2u);
        auto helpers = HelperLives();
        ASSERT_EQ(helpers.size(), 2u);
        EXPECT_TRUE(helpers[0].terminated);
        EXPECT_TRUE(helpers[1].terminated);
        EXPECT_GE(helpers[1].created, helpers[0].ended);
        // Ended before its handle is closed, and waited for until it is gone.
        for (size_t at : ServiceCalls("TerminateProcess")) {
            auto calls = sim::Calls();
            const sim::Value &ended = calls[at]["hProcess"];
            size_t gone = ServiceCall("WaitForSingleObject", at);
            ASSERT_NE(gone, std::string::npos);
            EXPECT_EQ(calls[gone]["hHandle"], ended);
            EXPECT_LT(gone, ServiceCall("CloseHandle", at, With("hObject", ended)));
        }
        auto waits = WaitsOfSweeps(0);
        ASSERT_EQ(waits.helper.size(), 2u);
        ASSERT_EQ(waits.gone.size(), 2u);
        EXPECT_EQ(waits.helper[0]["dwMilliseconds"], sim::Timeout(10000));
        // The second helper's wait ends exactly when the 20 s are spent.
        EXPECT_EQ(waits.helper[1].at + waits.helper[1]["dwMilliseconds"].number, waits.start + kSweepMs);
        ExpectWaitsWithinTheFigures(waits);
        ExpectNothingLeftOpen();
    }
}

TEST_F(SessionLauncherTest, HelperThatCannotBeEndedIsReportedAndNoHelperStartsBesideItUntilItIsGone)
{
    sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
    sim::FailCall("TerminateProcess");
    CardEntry *entry = Entry(kCardA);
    RunForceCloseSweep(entry, SweepDeadline());

    EXPECT_EQ(sim::EventTexts(), (std::vector<std::wstring>{L"WaitForSingleObject", L"TerminateProcess"}));
    EXPECT_EQ(SessionsOf(HelperStarts()), std::vector<DWORD>{kServicesSession});
    auto helpers = HelperLives();
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_EQ(helpers[0].ended, sim::kForever); // still running, alone
    auto waits = WaitsOfSweeps(0);
    ASSERT_EQ(waits.gone.size(), 1u);
    ExpectWaitsWithinTheFigures(waits);
    // The token pair and the thread handle are given back; the helper's
    // process handle is kept, to wait for it.
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Token), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Thread), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::SessionArray), 0u);
    EXPECT_TRUE(sim::IsOpen(unendedHelper, sim::Kind::Process));

    // A later sweep ends it once more; while it is still there, no helper
    // starts and the record is written again.
    RunForceCloseSweep(entry, SweepDeadline());
    EXPECT_EQ(sim::EventTexts(),
              (std::vector<std::wstring>{L"WaitForSingleObject", L"TerminateProcess", L"TerminateProcess"}));
    EXPECT_EQ(HelperLives().size(), 1u);

    // Once it can be ended, the next sweep waits until it is gone; when that
    // leaves less than a helper needs to start and walk, none is started and
    // the sweep's time is spent.
    sim::StopFailing("TerminateProcess");
    sim::InstallProgram(kServicePath, sim::Program::Exits);
    RunForceCloseSweep(entry, sim::Now() + kHelperStartMs + 10);
    EXPECT_NE(HelperLives().at(0).ended, sim::kForever);
    EXPECT_EQ(HelperLives().size(), 1u);
    EXPECT_EQ(sim::EventTexts().back(), L"WaitForSingleObject");
    EXPECT_EQ(unendedHelper, nullptr);
    // With time enough, every session is visited.
    RunForceCloseSweep(entry, SweepDeadline());
    helpers = HelperLives();
    ASSERT_EQ(helpers.size(), 3u);
    EXPECT_GE(helpers[1].created, helpers[0].ended);
    EXPECT_EQ(SessionsOf(HelperStarts()),
              (std::vector<DWORD>{kServicesSession, kServicesSession, kConsoleSession, kListenerSession}));
    EXPECT_EQ(unendedHelper, nullptr);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Process), 0u);
}

TEST_F(SessionLauncherTest, WorstCasesAnswerAQueryRemoveAndAStopWellInsideTheHandlerLimit)
{
    // The worst a sweep meets, with the simulation's costs of starting,
    // ending and window calls on. A query-remove answers within the sweep's
    // 20 s plus 1 s for the helper ended last to go: 21 s, which leaves 9 s of
    // the 30 s Windows gives a handler (30 % to spare) for the rest of the
    // handling. A stop sweeps every card within one such budget, whatever
    // their number: the cards its time does not reach are released unswept.
    const wchar_t kCardD[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_01\\4&4D5E6F70&0&00F8";
    const wchar_t *const allCards[] = {kCardA, kCardB, kCardC, kCardD};
    enum Worst { HungHelpers, BusyWindows, ManySessions };
    struct Case {
        const char *name;
        Worst worst;
        bool stop;
        size_t cards;
    };
    const Case cases[] = {
        {"hung helpers, query-remove", HungHelpers, false, 1},
        {"hung helpers, stop, 2 cards", HungHelpers, true, 2},
        {"hung helpers, stop, 4 cards", HungHelpers, true, 4},
        {"busy windows, query-remove", BusyWindows, false, 1},
        {"busy windows, stop, 1 card", BusyWindows, true, 1},
        {"busy windows, stop, 4 cards", BusyWindows, true, 4},
        {"many sessions, query-remove", ManySessions, false, 1},
        {"many sessions, stop, 2 cards", ManySessions, true, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(service_.Stop());
        FreshMachine();
        DWORD lastSession = c.worst == ManySessions ? 399 : 5;
        for (DWORD session = 2; session <= lastSession; ++session) {
            sim::AddSession(session);
        }
        if (c.worst == HungHelpers) {
            sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
        }
        for (size_t card = 0; card < c.cards; ++card) {
            AddCard(allCards[card]);
            // Four desktops in each session, each with a window that takes
            // longer than its 2 s to let go of the card.
            for (DWORD session = 0; session <= lastSession && c.worst == BusyWindows; ++session) {
                for (const wchar_t *desktop : {L"Default", L"Winlogon", L"Screen-saver"}) {
                    sim::SetWindowBusy(sim::AddWindow(session, L"WinSta0", desktop, allCards[card]), 60000);
                }
                std::wstring station = session == kServicesSession ? L"Service-0x0-3e7$" : L"WinSta0";
                std::wstring desktop = session == kServicesSession ? L"Default" : L"Disconnect";
                sim::SetWindowBusy(sim::AddWindow(session, station, desktop, allCards[card]), 60000);
            }
        }
        size_t listed = lastSession + 2; // and the listener
        ASSERT_TRUE(service_.StartRunning());
        size_t from = sim::Calls().size();
        ULONGLONG answered = 0;
        if (c.stop) {
            ASSERT_TRUE(service_.Stop());
            auto calls = sim::Calls();
            size_t pending =
                ServiceCall("SetServiceStatus", from, With("dwCurrentState", sim::ServiceState(SERVICE_STOP_PENDING)));
            size_t stopped =
                ServiceCall("SetServiceStatus", from, With("dwCurrentState", sim::ServiceState(SERVICE_STOPPED)));
            ASSERT_NE(pending, std::string::npos);
            ASSERT_NE(stopped, std::string::npos);
            answered = calls[stopped].at - calls[pending].at;
            EXPECT_LE(answered, kStopMs);
            EXPECT_EQ(sim::OpenHandleCount(sim::Kind::File), 0u);
        } else {
            ULONGLONG before = sim::Now();
            ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
            answered = sim::Now() - before;
            EXPECT_FALSE(sim::IsOpen(LastHandleOf(kCardA), sim::Kind::File));
        }
        EXPECT_LE(answered, kSweepMs + kGoneMs);
        EXPECT_LT(answered, kHandlerLimitMs);
        // The budget was what ended it: sessions were left untried, and each
        // card whose sweep it cut short, or never began, has its record.
        size_t cut = 0;
        for (size_t card = 0; card < c.cards; ++card) {
            cut += HelperStartsFor(allCards[card], from).size() < listed ? 1 : 0;
        }
        EXPECT_GE(cut, 1u);
        auto errors = TextsOf(MSG_ERROR);
        EXPECT_GE(std::count(errors.begin(), errors.end(), L"WaitForSingleObject"), static_cast<std::ptrdiff_t>(cut));
        ExpectWaitsWithinTheFigures(WaitsOfSweeps(from));
        if (c.worst == BusyWindows) {
            // A helper that meets four windows that do not let go still ends
            // within its 10 s: only the one the budget cut short was ended.
            EXPECT_EQ(sim::CallCount("TerminateProcess"), 1u);
            EXPECT_GE(sim::Calls("SendMessageTimeoutW").size(), 8u);
            for (const auto &delivery : sim::Deliveries()) {
                EXPECT_TRUE(delivery.timedOut);
            }
        }
    }
}

// The stop sweeps one card on the service thread while a query-remove of
// another card reaches the handler, half-way through the stop's time: the two
// sweeps take turns, so the query-remove waits for the stop's sweep, and its
// own 20 s count from its arrival but end with the stop's. It is answered
// within the figures all the same, with no helper beside the stop's, and says
// with a record that its sessions were not visited; the stop still ends in
// time.
TEST_F(SessionLauncherTest, QueryRemoveDuringTheStopsSweepWaitsForItAndStillAnswersInTime)
{
    sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
    ASSERT_TRUE(StartWithCardsAB(service_));
    HANDLE b = LastHandleOf(kCardB);
    std::thread queryRemove;
    DWORD answer = sim::kNotDelivered;
    int helpersForA = 0;
    size_t from = sim::Calls().size();
    sim::OnCall("CreateProcessAsUserW", [&](const sim::Call &call) {
        // The stop's second helper start for card A, 10 s into the stop.
        if (queryRemove.joinable() || call["lpApplicationName"] != sim::Text(kServicePath) ||
            call["lpCommandLine"] != sim::Text(kCardA) || ++helpersForA < 2) {
            return;
        }
        queryRemove = std::thread([&] { answer = sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardB); });
        // The handler holds the card list and waits for the stop's sweep.
        EXPECT_TRUE(sim::WaitUntil([] { return !TextsOf(MSG_QUERY_REMOVE).empty(); }, 10000));
    });
    EXPECT_TRUE(service_.Stop());
    ASSERT_TRUE(queryRemove.joinable());
    queryRemove.join();
    EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR));
    // From its record to the close of the card's handle, the handling's first
    // and last steps (the stop thread waits at the card list meanwhile).
    auto calls = sim::Calls();
    size_t recorded = RecordCall(MSG_QUERY_REMOVE, kCardB);
    size_t closed = ServiceCall("CloseHandle", recorded, With("hObject", sim::Handle(b)));
    ASSERT_NE(closed, std::string::npos);
    ULONGLONG answered = calls[closed].at - calls[recorded].at;
    EXPECT_LE(answered, kSweepMs + kGoneMs);
    EXPECT_LT(answered, kHandlerLimitMs);
    // Its time was spent waiting for the stop's sweep: no helper was started
    // for it, and one record says so.
    EXPECT_TRUE(HelperStartsFor(kCardB, recorded).empty() || HelperStartsFor(kCardB, recorded).front() > closed);
    EXPECT_NE(
        sim::FindCall("ReportEventW", recorded,
                      [&](const sim::Call &call) { return call["lpStrings[1]"] == sim::Text(L"WaitForSingleObject"); }),
        std::string::npos);
    EXPECT_EQ(HelpersOverlap(), "");
    size_t pending =
        ServiceCall("SetServiceStatus", from, With("dwCurrentState", sim::ServiceState(SERVICE_STOP_PENDING)));
    size_t stopped = ServiceCall("SetServiceStatus", from, With("dwCurrentState", sim::ServiceState(SERVICE_STOPPED)));
    ASSERT_NE(stopped, std::string::npos);
    EXPECT_LE(calls[stopped].at - calls[pending].at, kStopMs);
}

TEST_F(SessionLauncherTest, HungWindowsAreSkippedAndBusyOnesCostOnlyTheirSendTimeout)
{
    sim::SetCosts({0, 0, 0, 0, 0, 0});
    sim::AddSession(2);
    CardEntry *entry = Entry(kCardA);
    HWND hung = sim::AddWindow(kServicesSession, L"WinSta0", L"Default", kCardA);
    HWND busy = sim::AddWindow(kConsoleSession, L"WinSta0", L"Default", kCardA);
    HWND slow = sim::AddWindow(2, L"WinSta0", L"Winlogon", kCardA);
    sim::SetWindowHung(hung, true);
    sim::SetWindowBusy(busy, 60000);
    sim::SetWindowBusy(slow, 1500);
    ULONGLONG start = sim::Now();
    RunForceCloseSweep(entry, SweepDeadline());
    // The hung window is given up at once, the busy one after 2 s, the slow
    // one answers after its 1.5 s.
    EXPECT_EQ(sim::Now() - start, kWindowMs + 1500);
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].window, busy);
    EXPECT_TRUE(deliveries[0].timedOut);
    EXPECT_EQ(deliveries[1].window, slow);
    EXPECT_FALSE(deliveries[1].timedOut);
    EXPECT_EQ(sim::CallCount("SendMessageTimeoutW"), 3u);
    ExpectWaitsWithinTheFigures(WaitsOfSweeps(0));
    // Each helper ended inside its own bound: nothing reported, nothing ended by force.
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::CallCount("TerminateProcess"), 0u);
    ExpectNothingLeftOpen();
}

TEST_F(SessionLauncherTest, SweepReachesTheCompanionWindowsInEverySession)
{
    sim::AddSession(2);
    ASSERT_TRUE(StartWithCardA(service_));
    sim::SetConsoleSession(2);
    ASSERT_EQ(SessionChange(WTS_CONSOLE_CONNECT), static_cast<DWORD>(NO_ERROR));
    auto first = sim::WindowsWithProperty(kConsoleSession, kCardA);
    auto second = sim::WindowsWithProperty(2, kCardA);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    // A window of another card is left alone.
    sim::AddWindow(2, L"WinSta0", L"Default", kCardB);

    ASSERT_EQ(sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA), static_cast<DWORD>(NO_ERROR));
    UINT forceClose = sim::MessageNumber(L"ForceClose");
    ASSERT_NE(forceClose, 0u);
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].window, first[0]);
    EXPECT_EQ(deliveries[1].window, second[0]);
    auto helpers = HelperStarts();
    ASSERT_EQ(SessionsOf(helpers), (std::vector<DWORD>{kServicesSession, kConsoleSession, 2, kListenerSession}));
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(sim::Message(deliveries[i].message), sim::Message(forceClose));
        EXPECT_EQ(deliveries[i].fromProcess, helpers[i + 1].process);
        EXPECT_FALSE(deliveries[i].timedOut);
    }
    ExpectNothingLeftOpen();
}

} // namespace
