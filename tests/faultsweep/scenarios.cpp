#include "scenarios.h"

using namespace testing_support;

namespace faultsweep
{
namespace
{

sim::Interface Audio(const wchar_t *reference, bool active = true)
{
    return {KSCATEGORY_AUDIO, reference, active};
}
sim::Interface Render()
{
    return {sim::kRenderClass, L"wave", true};
}
sim::Interface Topology()
{
    return {sim::kTopologyClass, L"topology", true};
}

const EntryView *Find(const std::vector<EntryView> &cards, const std::wstring &id)
{
    for (const auto &card : cards) {
        if (Upper(card.id) == Upper(id)) {
            return &card;
        }
    }
    return nullptr;
}

// The card is listed, and holds its interface open.
bool HeldOpen(const std::wstring &id)
{
    auto cards = ListedCards();
    const EntryView *card = Find(cards, id);
    return card != nullptr && card->closed == 0 && IsOpenHandle(card->deviceHandle) &&
           sim::IsOpen(card->deviceHandle, sim::Kind::File);
}

bool Listed(const std::wstring &id)
{
    auto cards = ListedCards();
    return Find(cards, id) != nullptr;
}

void CardsAB()
{
    AddCard(kCardA);
    AddCard(kCardB);
}

// Start, look at the list, stop.
void StartAndStop(Driver &d)
{
    d.Start();
    d.CheckList("running");
    d.Stop();
}

// Session 1 with two window stations of two desktops each, and a window named
// after card A on each desktop (two on the first, and one named otherwise).
void TwoStations(const std::wstring &second)
{
    sim::AddDesktop(1, second, L"Default");
    sim::AddDesktop(1, second, L"Second");
    sim::AddWindow(1, L"WinSta0", L"Default", L"OtherProperty");
    sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
    sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
    sim::AddWindow(1, L"WinSta0", L"Winlogon", kCardA);
    sim::AddWindow(1, second, L"Default", kCardA);
    sim::AddWindow(1, second, L"Second", kCardA);
}

// The helper walk over TwoStations: "ForceClose" reaches the first window of
// each of the four desktops.
void WalkTwoStations(Driver &d)
{
    d.RunHelper(kCardA, kConsoleSession);
    d.Expect(sim::Deliveries().size() == 4, "one message to each of the four desktops");
}

} // namespace

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> out;
    out.push_back({"no-card", [] {}, StartAndStop});
    out.push_back({"one-card", [] { AddCard(kCardA); }, StartAndStop});
    out.push_back({"two-cards-one-unopenable",
                   [] {
                       AddCard(kCardA);
                       AddCard(kCardB, true);
                       sim::AddDevice(DeviceSpecOf(kOtherDevice));
                   },
                   StartAndStop});
    // An audio interface left by an earlier driver comes first; the card is
    // opened on the active one.
    out.push_back({"first-audio-interface-inactive",
                   [] {
                       sim::DeviceSpec a = DeviceSpecOf(kCardA);
                       a.interfaces = {Audio(L"oldwave", false), Audio(L"wave"), Render(), Topology()};
                       sim::AddDevice(a);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.CheckList("running");
                       d.Expect(HeldOpen(kCardA), "the card opened on its active audio interface");
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.Remove(kCardA);
                       d.Stop();
                   }});
    out.push_back({"arrival",
                   [] {
                       AddCard(kCardA);
                       sim::DeviceSpec c = DeviceSpecOf(kCardC);
                       c.present = false;
                       sim::AddDevice(c);
                       sim::DeviceSpec other = DeviceSpecOf(kOtherDevice);
                       other.present = false;
                       sim::AddDevice(other);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.Arrive(kCardC);
                       d.CheckList("after the arrival");
                       d.Expect(HeldOpen(kCardC), "the card that arrived is open");
                       d.InterfaceBroadcast(DBT_DEVICEARRIVAL, sim::InterfacePath(kCardC, 0));
                       d.Arrive(kOtherDevice);
                       d.CheckList("after the repeated arrival");
                       d.Stop();
                   }});
    // The driver enables the card's audio interface last: the arrivals before
    // it find no active audio interface to open.
    out.push_back({"arrival-audio-interface-last",
                   [] {
                       sim::DeviceSpec c = DeviceSpecOf(kCardC);
                       c.interfaces = {Topology(), Render(), Audio(L"wave")};
                       c.present = false;
                       sim::AddDevice(c);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.Arrive(kCardC);
                       d.CheckList("after the arrival");
                       d.Expect(HeldOpen(kCardC), "the card is open once its audio interface has arrived");
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardC);
                       d.Expect(TextsOf(MSG_QUERY_REMOVE).size() == 1, "its query-remove reached the service");
                       d.Remove(kCardC);
                       d.CheckList("after the removal");
                       d.Stop();
                   }});
    out.push_back({"query-remove-then-removal", [] { AddCard(kCardA); },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the query-remove");
                       d.Remove(kCardA);
                       d.CheckList("after the removal");
                       d.Stop();
                   }});
    out.push_back({"query-remove-then-veto", [] { AddCard(kCardA); },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the query-remove");
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA);
                       d.CheckList("after the veto");
                       d.Stop();
                   }});
    // Both cards query-removed; A's veto reopens A on the handle value B's
    // close freed last, and then B's removal comes through B's registration
    // with that value.
    out.push_back({"handle-reuse-veto", CardsAB, [](Driver &d) {
                       d.Start();
                       HANDLE b = LastHandleOf(kCardB);
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardB);
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA);
                       d.CheckList("after the veto");
                       d.Expect(LastHandleOf(kCardA) == b, "card A reopened on card B's old handle value");
                       d.Remove(kCardB);
                       d.CheckList("after B's removal");
                       d.Expect(HeldOpen(kCardA) && !Listed(kCardB), "card A open and card B gone");
                       d.Stop();
                   }});
    out.push_back({"query-remove-twice-then-interface-removal", CardsAB, [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the second query-remove");
                       d.Gone(kCardA);
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA));
                       d.CheckList("after the removal");
                       d.Stop();
                   }});
    out.push_back({"veto-without-query-remove", [] { AddCard(kCardA); },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVEFAILED, kCardA);
                       d.CheckList("after the veto");
                       d.Stop();
                   }});
    out.push_back({"surprise-removal-on-interface", CardsAB, [](Driver &d) {
                       d.Start();
                       d.Gone(kCardA);
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA, 0));
                       d.CheckList("after the removal");
                       d.HandleBroadcast(DBT_DEVICEREMOVECOMPLETE, kCardA);
                       d.InterfaceBroadcast(DBT_DEVICEREMOVECOMPLETE, sim::InterfacePath(kCardA, 1));
                       d.CheckList("after the late announcements");
                       d.Stop();
                   }});
    out.push_back({"console-connect-and-logon", CardsAB, [](Driver &d) {
                       d.Start();
                       d.Control(SERVICE_CONTROL_INTERROGATE);
                       d.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT);
                       d.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON);
                       d.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK);
                       d.Control(SERVICE_CONTROL_PAUSE);
                       d.CheckList("after the session changes");
                       d.Stop();
                   }});
    // Sessions 0 and 1 spend the sweep's budget between them; the listener
    // is skipped.
    out.push_back({"stop-with-helpers-that-never-end",
                   [] {
                       CardsAB();
                       sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
                   },
                   StartAndStop});
    // Helpers that never end in every session, with the costs of a real
    // machine: a query-remove, a surprise removal and the stop each sweep
    // until the budget is spent, and each must still answer in time.
    out.push_back({"helpers-that-never-end-everywhere",
                   [] {
                       CardsAB();
                       sim::AddSession(2);
                       sim::SetCosts(sim::Costs());
                       sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
                   },
                   [](Driver &d) {
                       d.Start();
                       d.HandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
                       d.CheckList("after the query-remove");
                       d.Remove(kCardB);
                       d.CheckList("after the removal");
                       d.Stop();
                       d.Expect(TextsOf(MSG_ERROR).size() >= 3, "helpers that outlived their wait reported");
                   }});
    out.push_back({"stop-with-hung-companion-windows",
                   [] {
                       AddCard(kCardA);
                       sim::AddDesktop(kConsoleSession, L"WinSta0", L"Second");
                       for (const wchar_t *desktop : {L"Default", L"Second"}) {
                           sim::SetWindowHung(sim::AddWindow(kConsoleSession, L"WinSta0", desktop, kCardA), true);
                       }
                   },
                   StartAndStop});
    out.push_back({"helper-walk-two-stations-two-desktops", [] { TwoStations(L"Service-0x0-3e7$"); }, WalkTwoStations});
    // Wine refuses a thread a desktop of another window station: the walk
    // comes back to its own desktop only once it is back on its own station.
    out.push_back({"helper-walk-wine-rules",
                   [] {
                       sim::SetWineRules(true);
                       TwoStations(L"__wineservice_winstation");
                   },
                   WalkTwoStations});
    return out;
}

} // namespace faultsweep
