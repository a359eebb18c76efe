// Device event handling: arrivals, query-removes, vetoed removals and completed
// removals of the cards, as Plug and Play broadcasts them.
#include <cstddef>
#include <cstring>

#include "cards/cards.h"
#include "eventlog/eventlog.h"
#include "sessions/sessions.h"

bool ReadDeviceBroadcast(const void *data, size_t available, DeviceBroadcast *broadcast)
{
    if (data == NULL || available < sizeof(DEV_BROADCAST_HDR)) {
        return false;
    }
    DEV_BROADCAST_HDR header;
    memcpy(&header, data, sizeof header);
    size_t size = header.dbch_size < available ? header.dbch_size : available;
    broadcast->deviceType = header.dbch_devicetype;
    broadcast->interfacePath = NULL;
    broadcast->notification = NULL;

    if (header.dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
        if (size <= nameOffset) {
            return false;
        }
        LPCWSTR name = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(data)->dbcc_name;
        size_t characters = (size - nameOffset) / sizeof(WCHAR);
        for (size_t i = 0; i < characters; ++i) {
            if (name[i] == L'\0') {
                broadcast->interfacePath = name;
                return true;
            }
        }
        return false;
    }
    if (header.dbch_devicetype == DBT_DEVTYP_HANDLE) {
        const size_t notificationEnd = offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify) + sizeof(HDEVNOTIFY);
        if (size < notificationEnd) {
            return false;
        }
        const DEV_BROADCAST_HANDLE *record = static_cast<const DEV_BROADCAST_HANDLE *>(data);
        if (record->dbch_hdevnotify == NULL) {
            return false;
        }
        broadcast->notification = record->dbch_hdevnotify;
        return true;
    }
    return false;
}

static void CardArrived(LPCWSTR interfacePath)
{
    LPWSTR id = DeriveInstanceId(interfacePath);
    if (id == NULL) {
        return;
    }
    if (IsCardHardwareId(id)) {
        CardEntry *listed = FindCardById(id, NULL);
        if (listed == NULL) {
            size_t characters = wcslen(id) + 1;
            CardEntry *entry = AppendCard(characters);
            memcpy(entry->instanceId, id, characters * sizeof(WCHAR));
            ReportServiceEvent(entry->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_ARRIVAL);
            OpenCardInterface(entry);
            StartCompanionsOnConsole(entry, false);
        } else if (listed->closed == 0 && listed->deviceHandle == INVALID_HANDLE_VALUE) {
            // A card's interfaces arrive one by one, in its driver's order.
            // When the first to arrive was not its audio interface, that one
            // was not active yet and the card could not be opened: each later
            // arrival of the card tries again, until it holds a handle.
            ReopenCardInterface(listed);
        }
    }
    delete[] id;
}

static void CardQueryRemove(const DeviceBroadcast &broadcast, ULONGLONG deadline)
{
    CardEntry *entry = FindCardByHandle(broadcast.notification, NULL);
    if (entry == NULL) {
        return;
    }
    ReportServiceEvent(entry->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_QUERY_REMOVE);
    // An entry already closed by an earlier query-remove is swept again, since
    // a companion may have been started for it since, but its stored handle
    // value is never closed a second time.
    RunForceCloseSweep(entry, deadline);
    CloseCardHandle(entry);
}

static void CardQueryRemoveFailed(const DeviceBroadcast &broadcast)
{
    CardEntry *entry = FindCardByHandle(broadcast.notification, NULL);
    if (entry == NULL) {
        return;
    }
    ReportServiceEvent(entry->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_QUERY_REMOVE_FAILED);
    // A handle still open (no query-remove came first) is closed before the
    // card is reopened, so that none is left behind.
    CloseCardHandle(entry);
    ReopenCardInterface(entry);
    StartCompanionsOnConsole(entry, false);
}

static void CardRemoved(const DeviceBroadcast &broadcast, ULONGLONG deadline)
{
    CardEntry *predecessor = NULL;
    CardEntry *entry = NULL;
    if (broadcast.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
        LPWSTR id = DeriveInstanceId(broadcast.interfacePath);
        if (id == NULL) {
            return;
        }
        entry = FindCardById(id, &predecessor);
        delete[] id;
    } else {
        entry = FindCardByHandle(broadcast.notification, &predecessor);
    }
    if (entry == NULL) {
        return;
    }
    ReportServiceEvent(entry->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_REMOVE_COMPLETE);
    if (!entry->closed) {
        RunForceCloseSweep(entry, deadline);
    }
    ReleaseCardHandles(entry);
    UnlinkCard(entry, predecessor);
}

void HandleDeviceEvent(DWORD eventType, LPVOID eventData)
{
    if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEQUERYREMOVE &&
        eventType != DBT_DEVICEQUERYREMOVEFAILED && eventType != DBT_DEVICEREMOVECOMPLETE) {
        return;
    }
    DeviceBroadcast broadcast;
    if (eventData == NULL ||
        !ReadDeviceBroadcast(eventData, static_cast<const DEV_BROADCAST_HDR *>(eventData)->dbch_size, &broadcast)) {
        return;
    }

    // A sweep's time counts from here, where the request reached the handler:
    // the control manager's 30 s for the answer do too, whatever this thread
    // then waits for (start-up's hold on the list, the stop's sweep).
    ULONGLONG deadline = SweepDeadline();
    AcquireSRWLockExclusive(&cardListLock);
    // Events that arrive before start-up has made the list, or after the stop
    // has freed it, find nothing.
    if (CardList != NULL) {
        switch (eventType) {
        case DBT_DEVICEARRIVAL:
            if (broadcast.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
                CardArrived(broadcast.interfacePath);
            }
            break;
        case DBT_DEVICEQUERYREMOVE:
            if (broadcast.deviceType == DBT_DEVTYP_HANDLE) {
                CardQueryRemove(broadcast, deadline);
            }
            break;
        case DBT_DEVICEQUERYREMOVEFAILED:
            if (broadcast.deviceType == DBT_DEVTYP_HANDLE) {
                CardQueryRemoveFailed(broadcast);
            }
            break;
        case DBT_DEVICEREMOVECOMPLETE:
            CardRemoved(broadcast, deadline);
            break;
        }
    }
    ReleaseSRWLockExclusive(&cardListLock);
}
