// Card tracking: the list of tracked cards, how a card is recognised, named,
// opened and watched, and the reaction to device events.
#pragma once

#include "platform/platform.h"

// One tracked card: a single heap block, the fixed fields followed directly by
// the characters of its instance ID.
struct CardEntry {
    HANDLE deviceHandle;     // the card's audio interface; NULL until opened, INVALID_HANDLE_VALUE if that failed
    HDEVNOTIFY notifyHandle; // handle notification on deviceHandle; NULL when it holds no open handle
    DWORD closed;            // 1 while deviceHandle stands closed after a query-remove
    CardEntry *next;
    WCHAR instanceId[];
};

// The sentinel of the list of tracked cards; NULL before start-up and after
// the list has been freed at stop.
extern CardEntry *CardList;

// Appends, unlinks and every walk of CardList happen under this lock, taken by
// the callers of the operations below (start-up and stop on the service
// thread, device events and session changes on the main thread).
extern SRWLOCK cardListLock;

// Device instance IDs are at most 200 characters with their NUL; a longer text
// cannot name a device, and nothing downstream needs to cut one.
constexpr size_t kMaxInstanceIdChars = 200;

CardEntry *NewCardList();
CardEntry *AppendCard(size_t characters);
CardEntry *FindCardById(LPCWSTR text, CardEntry **predecessor);
// The entry a handle broadcast is about: the one whose handle notification is
// `notification`. The registration alone names the card: a registration is
// unique while it is registered, whereas the handle value a broadcast carries
// is reused once closed (a card reopened after a veto may get another card's
// old value) and, for a service recipient, need not be the value registered.
CardEntry *FindCardByHandle(HDEVNOTIFY notification, CardEntry **predecessor);
void UnlinkCard(CardEntry *entry, CardEntry *predecessor);

bool IsCardHardwareId(LPCWSTR text);
// A new instance ID (delete[] by the caller) derived from a device-interface
// path, or NULL when the path is too short to name a device or the ID would be
// longer than a device instance ID can be.
LPWSTR DeriveInstanceId(LPCWSTR interfacePath);

void ScanPresentCards();
void OpenCardInterface(CardEntry *entry);
void ReopenCardInterface(CardEntry *entry);
HDEVNOTIFY RegisterInterfaceNotification();

// Closes the entry's device handle unless a query-remove closed it already or
// it was never opened, and unregisters its handle notification if it has one.
void ReleaseCardHandles(CardEntry *entry);
// Closes the entry's device handle if it is open, and marks the entry closed.
void CloseCardHandle(CardEntry *entry);

// What a device broadcast says, once read and checked.
struct DeviceBroadcast {
    DWORD deviceType;        // DBT_DEVTYP_DEVICEINTERFACE or DBT_DEVTYP_HANDLE
    LPCWSTR interfacePath;   // for DBT_DEVTYP_DEVICEINTERFACE
    HDEVNOTIFY notification; // for DBT_DEVTYP_HANDLE: the registration it came through
};
// Reads a broadcast of at most `available` bytes. False for anything that is
// not a complete interface or handle record: no data, a size too small for its
// type, a name not terminated within the record, no registration. A handle
// record's dbch_handle is not read: nothing relies on its value.
bool ReadDeviceBroadcast(const void *data, size_t available, DeviceBroadcast *broadcast);

void HandleDeviceEvent(DWORD eventType, LPVOID eventData);
