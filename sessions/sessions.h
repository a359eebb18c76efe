// Session launching: processes started in terminal sessions under a copy of the
// service's own token, and the reaction to console connect and logon.
#pragma once

#include "cards/cards.h"
#include "forceclose/walk.h"
#include "platform/platform.h"

// The service's process token and its primary duplicate bound to one session.
struct SessionToken {
    HANDLE processToken;
    HANDLE sessionToken;
};

enum TokenResult {
    TokenReady,    // both handles are open; CloseSessionToken closes them
    TokenFailed,   // reported; nothing left open
    TokenNoConsole // no session attached to the console; nothing reported, nothing left open
};

// Target of PrepareSessionToken: the session attached to the console.
constexpr DWORD kConsoleTarget = 0xFFFFFFFF;

// How long the service waits: for one window to process "ForceClose" (in the
// helper), for one helper to end, for an ended helper to be gone, and for all
// the helpers of one sweep together. A helper visits every desktop of its
// session; with one window that does not answer on each of four desktops it
// needs four sends' timeouts, and its wait leaves it two seconds more for its
// start and its walk. The control handler runs a sweep before it answers a
// query-remove, and the service control manager gives a handler 30 s: a sweep
// answers within its budget plus the wait for one ended helper and one process
// start. A helper is started only with kHelperStartMs of the budget left, the
// least it needs to start and walk a session whose windows answer; started
// with less, it would be ended at once and reported as if a window were slow.
// The stop has one budget for all its sweeps, counted from the stop request:
// with one wait for an ended helper after it the service reports stopped
// within 25 s, inside the 30 s an installer waits for a service to stop.
constexpr DWORD kHelperWaitMs = 4 * kForceCloseSendTimeoutMs + 2000;
constexpr DWORD kTerminateWaitMs = 1000;
constexpr DWORD kSweepBudgetMs = 20000;
constexpr DWORD kHelperStartMs = 500;
constexpr DWORD kStopBudgetMs = 20000;

// A helper that could not be ended, kept (by the sweeps, one at a time) until
// it is gone: no other helper starts while it may still run, in the sweep that
// started it or a later one. NULL when there is none.
extern HANDLE unendedHelper;

TokenResult PrepareSessionToken(DWORD target, SessionToken *token);
void CloseSessionToken(SessionToken *token);
void LaunchCompanion(HANDLE sessionToken, LPWSTR instanceId);

// The console start: prepares one console token and starts the companion for
// `first` and, with `following`, every entry after it in list order; then
// closes the token pair. Returns how the token preparation ended.
TokenResult StartCompanionsOnConsole(CardEntry *first, bool following);

// The deadline (GetTickCount64) of a sweep asked for now: kSweepBudgetMs from
// now, and never later than the stop's deadline once a stop was requested.
ULONGLONG SweepDeadline();
// Runs the force-close helper for `entry` in every session, one at a time,
// until `deadline` at the latest (see SweepDeadline).
void RunForceCloseSweep(CardEntry *entry, ULONGLONG deadline);
void HandleSessionChange(DWORD eventType);
