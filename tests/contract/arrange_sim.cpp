// Arranging the machine on the simulated Windows, through winsim/sim.h. The
// facts run in the service process, on Service-0x0-3e7$\Default of session 0.
#include <thread>

#include "tests/contract/arrange.h"
#include "winsim/sim.h"

namespace arrange
{
namespace
{
const wchar_t kExitsPath[] = L"C:\\Contract\\exits.exe";
const wchar_t kSleepsPath[] = L"C:\\Contract\\sleeps.exe";

std::wstring Station()
{
    return sim::ProcessWindowStationName(sim::kServiceProcess);
}

// The service whose handler keeps the device events: a dispatcher on a thread
// of the service process, its main function waiting for the stop.
struct Service {
    std::thread dispatcher;
    SERVICE_STATUS_HANDLE status = NULL;
    HANDLE stopped = NULL;
    std::vector<Broadcast> received;
} service;

DWORD WINAPI Handler(DWORD control, DWORD eventType, LPVOID data, LPVOID)
{
    if (control == SERVICE_CONTROL_DEVICEEVENT) {
        const auto *record = static_cast<const unsigned char *>(data);
        DWORD size = static_cast<const DEV_BROADCAST_HDR *>(data)->dbch_size;
        service.received.push_back({eventType, std::vector<unsigned char>(record, record + size)});
    } else if (control == SERVICE_CONTROL_STOP) {
        SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        SetServiceStatus(service.status, &status);
        SetEvent(service.stopped);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR *)
{
    service.status = RegisterServiceCtrlHandlerExW(L"Contract", Handler, NULL);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(service.status, &status);
    WaitForSingleObject(service.stopped, INFINITE);
}
} // namespace

void Fresh()
{
    sim::Reset();
}

void WineRules()
{
    sim::SetWineRules(true);
}

void Cleanup()
{
    if (service.dispatcher.joinable()) {
        sim::SendControl(SERVICE_CONTROL_STOP);
        service.dispatcher.join();
        CloseHandle(service.stopped);
    }
    service = Service();
}

void StationWithDesktop(const std::wstring &station, const std::wstring &desktop)
{
    sim::AddDesktop(0, station, desktop);
}

void Desktop(const std::wstring &desktop)
{
    sim::AddDesktop(0, Station(), desktop);
}

HWND Window(const std::wstring &desktop, const std::wstring &property, HANDLE value, bool answers)
{
    HWND window = sim::AddWindow(0, Station(), desktop.empty() ? L"Default" : desktop, property, value);
    sim::SetWindowBusy(window, answers ? 0 : sim::kForever);
    return window;
}

void JudgeHung(HWND window)
{
    sim::SetWindowHung(window, true);
}

std::wstring ProgramPath(Program program)
{
    bool exits = program == Program::Exits;
    sim::InstallProgram(exits ? kExitsPath : kSleepsPath, exits ? sim::Program::Exits : sim::Program::NeverEnds);
    return exits ? kExitsPath : kSleepsPath;
}

std::wstring CommandLine(Program program)
{
    return L"\"" + ProgramPath(program) + L"\"";
}

std::wstring Card()
{
    sim::DeviceSpec card;
    card.instanceId = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0";
    card.hardwareIds = {L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01", L"PCI\\VEN_1412&DEV_1724"};
    card.interfaces.push_back({KSCATEGORY_AUDIO, L"old", false});
    sim::AddDevice(card);
    return card.instanceId;
}

DWORD ListenerSession()
{
    return 65536;
}

void DetachConsole()
{
    sim::SetConsoleSession(sim::kNoConsole);
}

SERVICE_STATUS_HANDLE ServiceStatus()
{
    if (!service.dispatcher.joinable()) {
        sim::SetServiceName(L"Contract");
        service.stopped = CreateEventW(NULL, TRUE, FALSE, NULL);
        service.dispatcher = std::thread([] {
            static WCHAR name[] = L"Contract";
            SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {NULL, NULL}};
            StartServiceCtrlDispatcherW(table);
        });
        sim::WaitForState(SERVICE_RUNNING, 10000);
    }
    return service.status;
}

void DeviceArrives(const std::wstring &instanceId)
{
    sim::DeviceArrives(instanceId);
}

void SendHandleBroadcast(DWORD eventType, const std::wstring &instanceId)
{
    sim::SendHandleBroadcast(eventType, instanceId);
}

std::vector<Broadcast> Broadcasts()
{
    std::vector<Broadcast> taken;
    taken.swap(service.received);
    return taken;
}

} // namespace arrange
