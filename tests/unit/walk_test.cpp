// The force-close helper's walk over the window stations, desktops and windows
// of its session, and what it leaves behind.
#include "fixture.h"

#include <cwctype>

using namespace testing_support;

namespace
{

const DWORD kSession = kConsoleSession;
// A station other than the helper's own, with its own Default desktop.
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

sim::Value Window(HWND window)
{
    return sim::Hex(reinterpret_cast<uintptr_t>(window));
}

TEST_F(WalkTest, NoWindowWithThePropertyMeansNothingSentAndNothingReported)
{
    sim::AddWindow(kSession, L"WinSta0", L"Default");
    sim::AddWindow(kSession, L"WinSta0", L"Default", kCardB);
    sim::AddWindow(kSession, kServiceStation, L"Default", L"PCI");
    // A window of another session is not the helper's to see.
    sim::AddWindow(kServicesSession, L"WinSta0", L"Default", kCardA);

    HelperRun run = RunHelper(kCardA);

    EXPECT_TRUE(sim::Deliveries().empty());
    EXPECT_EQ(sim::CallCount("SendMessageTimeoutW"), 0u);
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
    EXPECT_EQ(deliveries[0].fromProcess, run.process);
    EXPECT_FALSE(deliveries[0].timedOut);
    // The registered "ForceClose" number, with both parameters 0, bounded,
    // and given up at once on a window judged hung.
    UINT forceClose = sim::MessageNumber(L"ForceClose");
    EXPECT_NE(forceClose, 0u);
    auto sends = sim::Calls("SendMessageTimeoutW");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0]["hWnd"], Window(first));
    EXPECT_EQ(sends[0]["Msg"], sim::Message(forceClose));
    EXPECT_EQ(sends[0]["wParam"], sim::Number(0));
    EXPECT_EQ(sends[0]["lParam"], sim::Number(0));
    EXPECT_EQ(sends[0]["fuFlags"], sim::SmtoFlags(SMTO_ABORTIFHUNG));
    EXPECT_EQ(sends[0]["uTimeout"], sim::Timeout(2000));
    // The walk of the desktop ended with the message: the window after it was
    // never looked at.
    EXPECT_EQ(sim::FindCall("GetPropW", 0, With("hWnd", Window(second))), std::string::npos);
    ExpectRestoredAndClean(run);
}

TEST_F(WalkTest, EveryDesktopOfEveryStationIsVisitedFromItsOwnDesktopAndTheHelperEndsWhereItBegan)
{
    // Stations and desktops in enumeration order, each with a window that
    // carries the property. A message reaches a window only from a thread on
    // its desktop, so each visit must move the thread there.
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
    auto stations = sim::Calls("OpenWindowStationW");
    ASSERT_EQ(stations.size(), 3u);
    for (const auto &call : stations) {
        EXPECT_EQ(call["fInherit"], sim::Bool(FALSE));
        EXPECT_EQ(call["dwDesiredAccess"], sim::Access(MAXIMUM_ALLOWED));
    }
    auto desktops = sim::Calls("OpenDesktopW");
    ASSERT_EQ(desktops.size(), 6u);
    for (const auto &call : desktops) {
        EXPECT_EQ(call["dwFlags"], sim::Hex(0));
        EXPECT_EQ(call["fInherit"], sim::Bool(FALSE));
        EXPECT_EQ(call["dwDesiredAccess"], sim::Access(MAXIMUM_ALLOWED));
    }
}

TEST_F(WalkTest, AWalkOverTwoStationsReachesEveryDesktopAndEndsAtHomeUnderWindowsAndWineRules)
{
    // Windows lets a thread onto a desktop of another station and delivers a
    // message only from the window's desktop; Wine refuses the first and
    // allows the second, so a visit of another station's desktop leaves the
    // thread there until the process is back on its own station. Each with
    // the other station enumerated after the helper's own, and before it.
    const DWORD kFreshSession = 7;
    for (bool wine : {false, true}) {
        for (bool otherFirst : {false, true}) {
            SCOPED_TRACE(std::string(wine ? "Wine" : "Windows") + (otherFirst ? ", other station first" : ""));
            FreshMachine();
            sim::SetWineRules(wine);
            if (otherFirst) {
                sim::AddWindowStation(kFreshSession, L"Other");
            }
            HWND a = sim::AddWindow(kFreshSession, L"WinSta0", L"Default", kCardA);
            HWND b = sim::AddWindow(kFreshSession, L"WinSta0", L"Winlogon", kCardA);
            HWND c = sim::AddWindow(kFreshSession, L"Other", L"Default", kCardA);
            HWND d = sim::AddWindow(kFreshSession, L"Other", L"Second", kCardA);

            HelperRun run = RunHelper(kCardA, kFreshSession);

            std::vector<HWND> expected = otherFirst ? std::vector<HWND>{c, d, a, b} : std::vector<HWND>{a, b, c, d};
            EXPECT_EQ(DeliveredWindows(), expected);
            EXPECT_TRUE(sim::Events().empty());
            ExpectRestoredAndClean(run);
        }
    }
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
    auto props = sim::Calls("GetPropW");
    ASSERT_EQ(props.size(), 6u);
    for (const auto &call : props) {
        EXPECT_EQ(call["lpString"], sim::Text(id.c_str()));
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

TEST_F(WalkTest, AHungWindowCostsNoWaitABusyOneEndsItsDesktopAfterTheTimeoutAndTheWalkGoesOn)
{
    // Default: a window Windows judges hung, then another with the property.
    HWND hung = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    HWND afterHung = sim::AddWindow(kSession, L"WinSta0", L"Default", kCardA);
    sim::SetWindowHung(hung, true);
    // Winlogon: a window that takes longer than the timeout, then another.
    HWND busy = sim::AddWindow(kSession, L"WinSta0", L"Winlogon", kCardA);
    HWND afterBusy = sim::AddWindow(kSession, L"WinSta0", L"Winlogon", kCardA);
    sim::SetWindowBusy(busy, 6000);
    // The next desktop, and one of another station, are still visited.
    HWND next = sim::AddWindow(kSession, L"WinSta0", L"Next", kCardA);
    HWND hungForeign = sim::AddWindow(kSession, kServiceStation, L"Default", kCardA);
    sim::SetWindowHung(hungForeign, true);
    HWND last = sim::AddWindow(kSession, kServiceStation, L"Last", kCardA);

    HelperRun run = RunHelper(kCardA);

    // A hung window is not delivered to; the busy one is, and times out.
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[0].window, busy);
    EXPECT_TRUE(deliveries[0].timedOut);
    EXPECT_EQ(deliveries[1].window, next);
    EXPECT_FALSE(deliveries[1].timedOut);
    EXPECT_EQ(deliveries[2].window, last);
    // Each send that was not answered ended its desktop's visit.
    EXPECT_EQ(sim::FindCall("GetPropW", 0, With("hWnd", Window(afterHung))), std::string::npos);
    EXPECT_EQ(sim::FindCall("GetPropW", 0, With("hWnd", Window(afterBusy))), std::string::npos);
    // On the helper's clock: nothing for the hung windows, the timeout for
    // the busy one.
    auto calls = sim::Calls();
    auto costOfSendTo = [&](HWND window) -> ULONGLONG {
        size_t send = sim::FindCall("SendMessageTimeoutW", 0, With("hWnd", Window(window)));
        if (send == std::string::npos || send + 1 >= calls.size()) {
            ADD_FAILURE() << "no send to " << sim::Render(Window(window));
            return 0;
        }
        return calls[send + 1].at - calls[send].at;
    };
    EXPECT_EQ(costOfSendTo(hung), 0u);
    EXPECT_EQ(costOfSendTo(hungForeign), 0u);
    EXPECT_EQ(costOfSendTo(busy), 2000u);
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_TRUE(sim::HangFaults().empty());
    ExpectRestoredAndClean(run);
}

} // namespace
