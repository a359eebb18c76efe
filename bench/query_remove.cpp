// How long the service takes to answer a query-remove, against the 30 s the
// service control manager gives a handler before it goes on without the
// answer. Service time is the simulated clock of the service process, with
// the simulation's costs as they were measured under Wine (process creation,
// process start and exit, termination, each window call and each send of a
// helper): it is what the handler holds Windows' removal for on a real
// machine. Wall time is what the simulation costs here.
//
// The machine has session 0, the Remote Desktop listener and N user sessions
// (1 to N); the sweep starts one helper in every session but the listener.
// Cases:
//   companions     the helpers find the companion's window and end at once
//   hung helpers   a helper never ends, in every session: each is waited for
//                  until the sweep's budget is spent, then ended
//   busy windows   a window named after the card that takes a minute to
//                  process a message, on each of four desktops of every
//                  session: each send times out, so each helper takes four
//                  send timeouts
#include <chrono>
#include <cstdio>
#include <string>

#include "tests/support/support.h"

using namespace testing_support;

namespace
{

const unsigned long long kAnswerLimitMs = 30000;
const wchar_t *const kDesktops[] = {L"Default", L"Winlogon", L"Disconnect", L"Screen-saver"};

enum class Load { Companions, HungHelpers, BusyWindows };

const char *NameOf(Load load)
{
    switch (load) {
    case Load::Companions:
        return "companions";
    case Load::HungHelpers:
        return "hung helpers";
    case Load::BusyWindows:
        return "busy windows";
    }
    return "?";
}

struct Figures {
    unsigned long long answerMs = 0; // the longest of the repeats
    double wallMs = 0;               // the mean of the repeats
    size_t helpers = 0;
    size_t skipped = 0; // "WaitForSingleObject" records: helpers ended at their wait, sessions skipped
};

void Arrange(DWORD userSessions, Load load)
{
    FreshMachine();
    sim::SetCosts(sim::Costs());
    AddCard(kCardA);
    for (DWORD session = 2; session <= userSessions; ++session) {
        sim::AddSession(session);
    }
    if (load == Load::HungHelpers) {
        sim::InstallProgram(kServicePath, sim::Program::NeverEnds);
    }
    if (load == Load::BusyWindows) {
        for (DWORD session = 0; session <= userSessions; ++session) {
            for (const wchar_t *desktop : kDesktops) {
                sim::SetWindowBusy(sim::AddWindow(session, L"WinSta0", desktop, kCardA), 60000);
            }
        }
    }
}

Figures Measure(DWORD userSessions, Load load, int repeats)
{
    Figures figures;
    for (int r = 0; r < repeats; ++r) {
        Arrange(userSessions, load);
        ServiceProcess service;
        if (!service.StartRunning()) {
            fprintf(stderr, "the service did not start\n");
            return figures;
        }
        size_t helpersBefore = HelperStarts().size();
        ULONGLONG before = sim::Now();
        auto wallBefore = std::chrono::steady_clock::now();
        sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, kCardA);
        auto wallAfter = std::chrono::steady_clock::now();
        unsigned long long answer = sim::Now() - before;
        figures.answerMs = std::max(figures.answerMs, answer);
        figures.wallMs += std::chrono::duration<double, std::milli>(wallAfter - wallBefore).count() / repeats;
        figures.helpers = 0;
        for (const auto &start : HelperStarts()) {
            figures.helpers += start.started ? 1 : 0;
        }
        figures.helpers -= std::min(figures.helpers, helpersBefore);
        figures.skipped = 0;
        for (const auto &text : TextsOf(MSG_ERROR)) {
            figures.skipped += text == L"WaitForSingleObject" ? 1 : 0;
        }
        service.Stop();
    }
    return figures;
}

} // namespace

int main()
{
    const int repeats = 5;
    printf("query-remove answer, service time with the simulation's costs, against the %llu ms the service control\n"
           "manager allows a handler; user sessions besides session 0 and the listener; \"waits cut\" counts the\n"
           "\"WaitForSingleObject\" records (a helper ended at its wait, or sessions skipped at the budget)\n\n",
           kAnswerLimitMs);
    printf("%-14s %8s %8s %10s %10s %10s %9s\n", "case", "sessions", "helpers", "answer ms", "margin ms", "wall ms",
           "waits cut");
    unsigned long long worst = 0;
    for (Load load : {Load::Companions, Load::HungHelpers, Load::BusyWindows}) {
        for (DWORD sessions : {1u, 4u, 16u}) {
            Figures f = Measure(sessions, load, repeats);
            worst = std::max(worst, f.answerMs);
            long long margin = static_cast<long long>(kAnswerLimitMs) - static_cast<long long>(f.answerMs);
            printf("%-14s %8lu %8zu %10llu %10lld %10.2f %9zu\n", NameOf(load), static_cast<unsigned long>(sessions),
                   f.helpers, f.answerMs, margin, f.wallMs, f.skipped);
        }
    }
    printf("\nworst answer %llu ms, margin %lld ms to %llu ms\n", worst,
           static_cast<long long>(kAnswerLimitMs) - static_cast<long long>(worst), kAnswerLimitMs);
    return worst <= kAnswerLimitMs ? 0 : 1;
}
