// Session launching: processes started in terminal sessions under a copy of the
// service's own token, and the reaction to console connect and logon.
#pragma once

#include "cards/cards.h"
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

// How long the service waits for one force-close helper to end, and for all the
// helpers of one sweep together. The control handler runs a sweep before it
// answers a query-remove, and the service control manager gives a handler 30 s.
constexpr DWORD kHelperWaitMs = 8000;
constexpr DWORD kSweepBudgetMs = 20000;

TokenResult PrepareSessionToken(DWORD target, SessionToken *token);
void CloseSessionToken(SessionToken *token);
void LaunchCompanion(HANDLE sessionToken, LPWSTR instanceId);

// The console start: prepares one console token and starts the companion for
// `first` and, with `following`, every entry after it in list order; then
// closes the token pair. Returns how the token preparation ended.
TokenResult StartCompanionsOnConsole(CardEntry *first, bool following);

void RunForceCloseSweep(CardEntry *entry);
void HandleSessionChange(DWORD eventType);
