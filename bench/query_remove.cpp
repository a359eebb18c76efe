// How long the service takes to answer a query-remove, by the number of
// terminal sessions the force-close sweep has to visit, and with one helper
// that never ends. Wall time is what the simulation costs here; service time is
// the simulated clock, which advances only by the waits that expire: it is the
// time the handler would hold Windows' removal on a real machine, beyond the
// helpers' own run time.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cards/cards.h"
#include "forceclose/walk.h"
#include "service/service.h"
#include "winsim/sim.h"

int wmain(int argc, wchar_t **argv, wchar_t **envp);

namespace
{

const wchar_t kCard[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0";

void FreshProcess()
{
    sim::Reset();
    sim::SetEntryPoint(wmain);
    serviceStatusHandle = NULL;
    memset(&serviceStatus, 0, sizeof serviceStatus);
    checkPointCounter = 1;
    StopEvent = NULL;
    forceCloseMessage = 0;
    CardList = NULL;
}

struct Figures {
    double wallMs;
    unsigned long long serviceMs;
    size_t helpers;
};

Figures Measure(int sessions, bool hungHelper, int repeats)
{
    Figures total{0, 0, 0};
    for (int r = 0; r < repeats; ++r) {
        FreshProcess();
        sim::DeviceSpec card;
        card.instanceId = kCard;
        card.hardwareIds = {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01"};
        sim::AddDevice(card);
        for (int s = 1; s <= sessions; ++s) {
            sim::AddSession(static_cast<DWORD>(s));
            sim::AddWindowStation(static_cast<DWORD>(s), L"Service-0x0-3e7$");
            sim::AddDesktop(static_cast<DWORD>(s), L"WinSta0", L"Winlogon");
        }
        sim::SetConsoleSession(1);
        if (hungHelper) {
            sim::InstallProgram(sim::ModulePath(), sim::Program::NeverEnds);
        }
        std::thread service([] { sim::RunMain(L"C:\\Program Files\\HexlornS\\HexlornS.exe"); });
        sim::WaitForState(SERVICE_RUNNING);
        HANDLE handle = sim::DeviceHandles(kCard).front();
        size_t before = sim::ProcessStarts().size();
        unsigned long long start = sim::Now();
        auto wallStart = std::chrono::steady_clock::now();
        sim::SendHandleBroadcast(DBT_DEVICEQUERYREMOVE, handle);
        auto wallEnd = std::chrono::steady_clock::now();
        total.serviceMs += sim::Now() - start;
        total.wallMs += std::chrono::duration<double, std::milli>(wallEnd - wallStart).count();
        total.helpers += sim::ProcessStarts().size() - before;
        if (hungHelper) {
            sim::InstallProgram(sim::ModulePath(), sim::Program::Exits);
        }
        sim::SendControl(SERVICE_CONTROL_STOP);
        service.join();
    }
    return Figures{total.wallMs / repeats, total.serviceMs / repeats, total.helpers / repeats};
}

} // namespace

int main()
{
    const int repeats = 20;
    std::printf("%-28s %10s %14s %10s\n", "query-remove", "wall ms", "service ms", "helpers");
    for (int sessions : {1, 4, 16}) {
        Figures f = Measure(sessions, false, repeats);
        std::printf("%2d session(s)                %10.3f %14llu %10zu\n", sessions, f.wallMs, f.serviceMs, f.helpers);
    }
    for (int sessions : {1, 4, 16}) {
        Figures f = Measure(sessions, true, 1);
        std::printf("%2d session(s), helpers hang  %10.3f %14llu %10zu\n", sessions, f.wallMs, f.serviceMs, f.helpers);
    }
    return 0;
}
