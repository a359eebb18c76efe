// The force-close helper: a walk over the window stations, desktops and
// top-level windows of its session that sends "ForceClose" to the first window
// on each desktop carrying a property named after the card's instance ID.
#pragma once

#include "platform/platform.h"

// The number of the registered window message "ForceClose"; set once in helper
// mode before the walk.
extern UINT forceCloseMessage;

// How long one window may take to process "ForceClose". A window that does not
// answer in time (or is already hung) ends the visit of its desktop, so that a
// helper with one hung window on each of four desktops still ends inside the
// service's wait for it.
constexpr UINT kForceCloseSendTimeoutMs = 2000;

// The application value of every enumeration is the instance ID, unchanged.
BOOL CALLBACK EnumWindowStationCallback(LPWSTR name, LPARAM lParam);
BOOL CALLBACK EnumDesktopCallback(LPWSTR name, LPARAM lParam);
BOOL CALLBACK EnumWindowCallback(HWND window, LPARAM lParam);
