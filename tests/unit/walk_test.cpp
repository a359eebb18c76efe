// The force-close helper's walk over the window stations, desktops and windows
// of its session, and what it leaves behind.
#include "fixture.h"

#include <cwctype>

using namespace testing_support;

namespace
{

const DWORD kSession = 1;
// The station a service's processes live on, with its own Default desktop.
const wchar_t kServiceStation[] = L"Service-0x0-3e7$";

class WalkTest : public SimTest
{
};

struct HelperRun {
    int exitCode = -1;
    DWORD process = 0;
};

// Runs the executable as a helper process of `session` with `commandLine`, on
// a thread of its own, and keeps the process for looking at afterwards.
HelperRun RunHelper(const std::wstring &commandLine, DWORD session = kSession)
{
    HelperRun run;
    run.process = sim::NewProcess(session);
    std::thread thread([&] { run.exitCode = sim::RunMain(commandLine, run.process); });
    thread.join();
    return run;
}

// The helper is back where it started and holds no station or desktop.
void ExpectRestoredAndClean(const HelperRun &run)
{
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(sim::ProcessWindowStationName(run.process), L"WinSta0");
    EXPECT_EQ(sim::ThreadDesktopName(run.process), L"WinSta0\\Default");
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::WindowStation), 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Desktop), 0u);
    EXPECT_TRUE(sim::HandleFaults().empty());
}

std::vector<HWND> DeliveredWindows()
{
    std::vector<HWND> out;
    for (const auto &delivery : sim::Deliveries()) {
        out.push_back(delivery.window);
    }
    return out;
}

TEST_F(WalkTest, NoWindowWithThePropertyMeansNothingSentAndNothingReported)
{
    sim::AddWindow(kSession, L"WinSta0", L"Default");
    sim::AddWindow(kSession, L"WinSta0", L"Default", kCardB);
    sim::AddWindow(kSession, kServiceStation, L"Default", L"PCI");
    // A window of another session is not the helper's to see.
    sim::AddWindow(2, L"WinSta0", L"Default", kCardA);

    HelperRun run = RunHelper(kCardA);

    EXPECT_TRUE(sim::Deliveries().empty());
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::CallCount("GetPropW"), 3u);
    ExpectRestoredAndClean(run);
}

TEST_F(WalkTest, OnlyTheFirstWindowWithThePropertyOnADesktopGetsTheMessage)
{
    sim::AddWindow(kSession, L"WinSta0", L"Default");
    HWND first = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    HWND second = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);

    HelperRun run = RunHelper(kCardA);

    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].window, first);
    // The registered "ForceClose" number, with both parameters 0, from the
    // helper, bounded.
    UINT forceClose = sim::MessageNumber(L"ForceClose");
    EXPECT_NE(forceClose, 0u);
    EXPECT_EQ(deliveries[0].message, forceClose);
    EXPECT_EQ(deliveries[0].wParam, 0u);
    EXPECT_EQ(deliveries[0].lParam, 0);
    EXPECT_EQ(deliveries[0].fromProcess, run.process);
    EXPECT_GT(deliveries[0].timeout, 0u);
    EXPECT_LE(deliveries[0].timeout, 2000u);
    // The walk of the desktop ended with the message: the window after it was
    // never looked at.
    EXPECT_EQ(sim::FindCall("GetPropW", HexOf(second)), std::string::npos);
    ExpectRestoredAndClean(run);
}

TEST_F(WalkTest, EveryDesktopOfEveryStationIsVisitedAndTheHelperEndsWhereItBegan)
{
    // Stations and desktops in enumeration order, each with a window that
    // carries the property; the second station is one the process is not on,
    // so the thread cannot return to its desktop until the process is back.
    HWND a = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    HWND b = sim::AddWindow(kSession, L"WinSta0", L"Winlogon", kCardA);
    HWND c = sim::AddWindow(kSession, kServiceStation, L"Default", kCardA);
    HWND d = sim::AddWindow(kSession, kServiceStation, L"Second", kCardA);
    sim::AddDesktop(kSession, kServiceStation, L"Empty");
    HWND e = sim::AddWindow(kSession, L"Third", L"Default", kCardA);

    HelperRun run = RunHelper(kCardA);

    EXPECT_EQ(DeliveredWindows(), (std::vector<HWND>{a, b, c, d, e}));
    EXPECT_TRUE(sim::Events().empty());
    ExpectRestoredAndClean(run);
    EXPECT_EQ(sim::CallCount("OpenDesktopW"), 6u);
}

TEST_F(WalkTest, PropertiesAreMatchedByTheWholeNameWithoutCaseAndANonNullValue)
{
    const std::wstring id = kCardA;
    std::wstring lower = id;
    for (auto &ch : lower) {
        ch = towlower(ch);
    }
    // Desktop 1: names that are not the ID, and the ID with a null value,
    // before the window that matches in another case.
    sim::AddWindow(kSession, L"WinSta0", L"Default", id.substr(0, id.size() - 1));
    sim::AddWindow(kSession, L"WinSta0", L"Default", id + L"0");
    sim::AddWindow(kSession, L"WinSta0", L"Default", kCardB);
    sim::AddWindow(kSession, L"WinSta0", L"Default", id, NULL);
    HWND match = sim::AddWindow(kSession, L"WinSta0", L"Default", lower);
    // Desktop 2: only a null value.
    sim::AddWindow(kSession, L"WinSta0", L"Other", id, NULL);

    HelperRun run = RunHelper(id);

    EXPECT_EQ(DeliveredWindows(), (std::vector<HWND>{match}));
    // The name asked for is the word exactly as the helper received it.
    std::string quoted = "\"" + std::string(id.begin(), id.end()) + "\"";
    auto props = sim::Calls("GetPropW");
    ASSERT_EQ(props.size(), 6u);
    for (const auto &call : props) {
        EXPECT_NE(call.args.find(quoted), std::string::npos) << call.args;
    }
    ExpectRestoredAndClean(run);
}

TEST_F(WalkTest, AStationOrDesktopThatCannotBeOpenedCostsOneRecord)
{
    HWND a = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    sim::AddWindow(kSession, L"WinSta0", L"Locked", kCardA);
    sim::SetDesktopOpenFails(kSession, L"WinSta0", L"Locked", true);
    HWND b = sim::AddWindow(kSession, L"WinSta0", L"After", kCardA);
    sim::AddWindow(kSession, L"Closed", L"Default", kCardA);
    sim::SetWindowStationOpenFails(kSession, L"Closed", true);
    HWND c = sim::AddWindow(kSession, kServiceStation, L"Default", kCardA);

    HelperRun run = RunHelper(kCardA);

    EXPECT_EQ(DeliveredWindows(), (std::vector<HWND>{a, b, c}));
    EXPECT_EQ(RecordLines(),
              (std::vector<std::wstring>{Line(MSG_ERROR, L"OpenDesktop"), Line(MSG_ERROR, L"OpenWindowStation")}));
    for (const auto &record : sim::Events()) {
        EXPECT_EQ(record.type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(record.process, run.process);
    }
    ExpectRestoredAndClean(run);
}

TEST_F(WalkTest, AHungWindowCostsAtMostTheBoundAndTheWalkGoesOn)
{
    HWND hung = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    sim::SetWindowHung(hung, true);
    HWND next = sim::AddWindow(kSession, L"WinSta0", L"Next", kCardA);
    HWND hungForeign = sim::AddWindow(kSession, kServiceStation, L"Default", kCardA);
    sim::SetWindowHung(hungForeign, true);

    ULONGLONG before = sim::Now();
    HelperRun run = RunHelper(kCardA);
    ULONGLONG spent = sim::Now() - before;

    // One hung window per desktop: each costs the bound once, no more, and
    // its desktop is done with it.
    EXPECT_LE(spent, 2u * 2000u);
    EXPECT_GT(spent, 0u);
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[0].window, hung);
    EXPECT_TRUE(deliveries[0].timedOut);
    EXPECT_EQ(deliveries[1].window, next);
    EXPECT_FALSE(deliveries[1].timedOut);
    EXPECT_EQ(deliveries[2].window, hungForeign);
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_TRUE(sim::HangFaults().empty());
    ExpectRestoredAndClean(run);
}

} // namespace
