// wtsapi32: the terminal sessions of the machine.
//
// Models: WTSEnumerateSessionsW listing every session with its name and
// connection state (session 0 "Services", disconnected, and the Remote
// Desktop listener "RDP-Tcp", 65536, among them), in one block the caller
// frees with WTSFreeMemory; sessions added and removed by the test.
// Leaves out: remote servers, session information classes, level-1 records.
#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

namespace sim
{

void AddSession(DWORD id, WTS_CONNECTSTATE_CLASS state, const std::wstring &name)
{
    std::lock_guard<std::mutex> lock(mu);
    Session &session = EnsureSession(id, name.empty() ? L"Session" + std::to_wstring(id) : name);
    session.state = state;
    session.listed = true;
    if (state != WTSListen) {
        EnsureDesktop(id, L"WinSta0", L"Default");
        EnsureDesktop(id, L"WinSta0", L"Winlogon");
    }
}

void RemoveSession(DWORD id)
{
    std::lock_guard<std::mutex> lock(mu);
    // The session's objects stay for the handles and processes that still
    // refer to them; it is no longer listed, and no process starts in it.
    if (Session *session = FindSession(id)) {
        session->listed = false;
    }
}

void SetConsoleSession(DWORD id)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->consoleSession = id;
}

} // namespace sim

BOOL WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW *sessionInfo, DWORD *count)
{
    Entry e("WTSEnumerateSessionsW",
            {{"hServer", Handle(server)}, {"Reserved", Number(reserved)}, {"Version", Number(version)}});
    if (e.Failed()) {
        return FALSE;
    }
    if (reserved != 0 || version != 1 || sessionInfo == nullptr || count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<Session *> listed;
    for (auto &entry : machine->sessions) {
        if (entry.second->listed) {
            listed.push_back(entry.second.get());
        }
    }
    auto *array = new WTS_SESSION_INFOW[listed.empty() ? 1 : listed.size()];
    for (size_t i = 0; i < listed.size(); ++i) {
        array[i].SessionId = listed[i]->id;
        array[i].pWinStationName = const_cast<LPWSTR>(listed[i]->name.c_str());
        array[i].State = listed[i]->state;
    }
    uintptr_t value = reinterpret_cast<uintptr_t>(array);
    CurrentProcess()->table.slots[value] = Slot{Kind::SessionArray, nullptr, true, false, "WTSEnumerateSessionsW"};
    *sessionInfo = array;
    *count = static_cast<DWORD>(listed.size());
    return TRUE;
}

void WTSFreeMemory(PVOID memory)
{
    Entry e("WTSFreeMemory", {{"pMemory", Handle(memory)}});
    if (memory != nullptr && Remove(memory, Kind::SessionArray, "WTSFreeMemory")) {
        delete[] static_cast<WTS_SESSION_INFOW *>(memory);
    }
}
