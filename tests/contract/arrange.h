// Arranging the machine a fact needs, the same for every fact on both grounds:
// on the simulation (arrange_sim.cpp) through winsim/sim.h; under Windows
// (arrange_win.cpp) through Windows calls that the simulation does not model
// (CreateWindowStationW, CreateDesktopW, CreateWindowExW on a thread of its
// own, a copy of the contract program that exits, sleeps or keeps a window)
// and through what the machine has: the card, or any device with audio
// interfaces, and what the prefix run_wine.py prepares adds to it. What only
// the simulation can arrange (a service receiving broadcasts, sessions other
// than the caller's, a console being attached, a window judged hung) serves
// the kSimOnly facts alone. What cannot be arranged ends the fact as not
// applicable (contract::NotApplicableHere), with the reason.
#pragma once

#include "tests/contract/contract.h"

namespace arrange
{

// Before and after each fact.
void Fresh();
void Cleanup();
// Wine's rules where the simulation models them (sim::SetWineRules).
void WineRules();

// ---------------------------------------------------------------------------
// Window stations, desktops, windows

// A window station of the caller's session, with one desktop.
void StationWithDesktop(const std::wstring &station, const std::wstring &desktop);
// A desktop in the process's window station.
void Desktop(const std::wstring &desktop);
// What a window's procedure answers to a registered message.
constexpr LRESULT kAnswer = 0x4C1;
// A top-level window on `desktop` of the process's window station (empty: the
// calling thread's desktop) with the property `property` set to `value` (none
// when empty). A window on another desktop belongs to another program (and
// has no property, and answers). A window that does not answer belongs to a
// thread that has stopped taking messages.
HWND Window(const std::wstring &desktop, const std::wstring &property, HANDLE value, bool answers = true);
#ifdef _WIN32
// The program of a window on another desktop: makes one, sets the event
// whose handle value `ready` gives, and keeps the window until it is ended.
int WindowProgram(const wchar_t *ready);
#endif
// The window's thread has not taken a message for long: Windows judges it
// hung (sim only).
void JudgeHung(HWND window);

// ---------------------------------------------------------------------------
// Programs: one that ends at once, one that runs until it is terminated.

enum class Program { Exits, NeverEnds };
std::wstring ProgramPath(Program program);
std::wstring CommandLine(Program program);

// ---------------------------------------------------------------------------
// The card, and its device instance ID. On the simulation and in the prepared
// prefix, the card with its interfaces in its driver's order: the wave filter
// under KSCATEGORY_AUDIO and KSCATEGORY_RENDER, the topology filter under
// KSCATEGORY_TOPOLOGY, then an audio interface ("old") that an earlier driver
// left registered and that is not active (the prefix holds the audio
// interfaces only). On a machine as it is: the card if it is present, else
// the first present device with audio interfaces; a note says which.

std::wstring Card();

// ---------------------------------------------------------------------------
// Sessions

// The Remote Desktop listener session, to start a process in (sim only).
DWORD ListenerSession();
// A session is being attached to the console (sim only).
void DetachConsole();

// ---------------------------------------------------------------------------
// A service of the calling process, and the Plug and Play manager (sim only)

// The status handle of a running service whose handler keeps every device
// event it receives.
SERVICE_STATUS_HANDLE ServiceStatus();
void DeviceArrives(const std::wstring &instanceId);
void SendHandleBroadcast(DWORD eventType, const std::wstring &instanceId);
struct Broadcast {
    DWORD eventType;
    std::vector<unsigned char> record;
};
std::vector<Broadcast> Broadcasts();

} // namespace arrange
