// The card registry: the list of tracked cards and how a card is recognised,
// named, opened and watched.
#include <cstring>
#include <new>

#include "cards/cards.h"
#include "eventlog/eventlog.h"
#include "platform/ascii.h"
#include "service/service.h"

CardEntry *CardList = NULL;
SRWLOCK cardListLock = SRWLOCK_INIT;

static const WCHAR firstCardPrefix[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200";
static const WCHAR secondCardPrefix[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201";
static const size_t cardPrefixLength = 37;

// Hardware-ID lists and interface details larger than this are not what a
// device reports; they are not read.
static const DWORD maxPropertyBytes = 64 * 1024;

static CardEntry *NewEntry(size_t characters)
{
    size_t size = offsetof(CardEntry, instanceId) + characters * sizeof(WCHAR);
    if (size < sizeof(CardEntry)) {
        size = sizeof(CardEntry);
    }
    CardEntry *entry = static_cast<CardEntry *>(::operator new(size));
    memset(entry, 0, size);
    return entry;
}

CardEntry *NewCardList()
{
    return NewEntry(1);
}

CardEntry *AppendCard(size_t characters)
{
    CardEntry *entry = NewEntry(characters < 1 ? 1 : characters);
    CardEntry *last = CardList;
    while (last->next != NULL) {
        last = last->next;
    }
    last->next = entry;
    return entry;
}

CardEntry *FindCardById(LPCWSTR text, CardEntry **predecessor)
{
    for (CardEntry *previous = CardList, *entry = CardList->next; entry != NULL;
         previous = entry, entry = entry->next) {
        size_t i = 0;
        while (FoldAscii(entry->instanceId[i]) == FoldAscii(text[i]) && text[i] != L'\0') {
            ++i;
        }
        if (entry->instanceId[i] == L'\0' && text[i] == L'\0') {
            if (predecessor != NULL) {
                *predecessor = previous;
            }
            return entry;
        }
    }
    return NULL;
}

CardEntry *FindCardByHandle(HDEVNOTIFY notification, CardEntry **predecessor)
{
    for (CardEntry *previous = CardList, *entry = CardList->next; entry != NULL;
         previous = entry, entry = entry->next) {
        if (entry->notifyHandle == notification && notification != NULL) {
            if (predecessor != NULL) {
                *predecessor = previous;
            }
            return entry;
        }
    }
    return NULL;
}

void UnlinkCard(CardEntry *entry, CardEntry *predecessor)
{
    predecessor->next = entry->next;
    ::operator delete(entry);
}

bool IsCardHardwareId(LPCWSTR text)
{
    return AsciiPrefixEquals(text, firstCardPrefix, cardPrefixLength) ||
           AsciiPrefixEquals(text, secondCardPrefix, cardPrefixLength);
}

LPWSTR DeriveInstanceId(LPCWSTR interfacePath)
{
    // Every interface path opens with four characters ("\\?\") that are not
    // part of the ID; a shorter path names no device.
    for (int i = 0; i < 4; ++i) {
        if (interfacePath[i] == L'\0') {
            return NULL;
        }
    }
    LPCWSTR rest = interfacePath + 4;
    size_t length = wcslen(rest);
    for (size_t i = length; i > 0; --i) {
        if (rest[i - 1] == L'#') {
            length = i - 1;
            break;
        }
    }
    if (length + 1 > kMaxInstanceIdChars) {
        return NULL;
    }
    LPWSTR id = new WCHAR[length + 1];
    for (size_t i = 0; i < length; ++i) {
        id[i] = rest[i] == L'#' ? L'\\' : rest[i];
    }
    id[length] = L'\0';
    return id;
}

static void DropCard(CardEntry *entry)
{
    for (CardEntry *previous = CardList; previous->next != NULL; previous = previous->next) {
        if (previous->next == entry) {
            UnlinkCard(entry, previous);
            return;
        }
    }
}

// Lists one device of the scan if its most specific hardware ID is a card's.
// A device whose hardware IDs or instance ID cannot be read is skipped.
static void ScanDevice(HDEVINFO set, SP_DEVINFO_DATA *info)
{
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_HARDWAREID, NULL, NULL, 0, &size);
    if (size == 0 || size > maxPropertyBytes) {
        return;
    }
    // Two more characters than asked for, zeroed, so that the list ends in
    // NULs even when it was stored without them.
    size_t listCharacters = size / sizeof(WCHAR) + 2;
    WCHAR *buffer = new WCHAR[listCharacters];
    memset(buffer, 0, listCharacters * sizeof(WCHAR));
    if (SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_HARDWAREID, NULL, reinterpret_cast<PBYTE>(buffer), size,
                                          &size) &&
        IsCardHardwareId(buffer)) {
        DWORD count = 0;
        SetupDiGetDeviceInstanceIdW(set, info, NULL, 0, &count);
        if (count > 1 && count <= kMaxInstanceIdChars) {
            DWORD characters = count;
            CardEntry *entry = AppendCard(characters);
            if (SetupDiGetDeviceInstanceIdW(set, info, entry->instanceId, characters, &count) &&
                entry->instanceId[0] != L'\0') {
                entry->instanceId[characters - 1] = L'\0';
                ReportServiceEvent(entry->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_FOUND);
            } else {
                DropCard(entry);
            }
        }
    }
    delete[] buffer;
}

void ScanPresentCards()
{
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set, index, &info)) {
            break;
        }
        ScanDevice(set, &info);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// What opening a card's interface has taken and must give back.
struct InterfaceQuery {
    HDEVINFO set;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail;
};

// Opens the first active audio interface of the device `instanceId` names.
// The set lists registered interfaces that are not active as well (one left by
// an earlier driver, or one not enabled yet while the device starts), and
// those cannot be opened. The path is used only once it has been read; without
// it the result is INVALID_HANDLE_VALUE, as when the open itself fails.
static HANDLE OpenAudioInterface(LPCWSTR instanceId, InterfaceQuery *query)
{
    query->detail = NULL;
    query->set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, instanceId, NULL, DIGCF_DEVICEINTERFACE);
    if (query->set == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    SP_DEVICE_INTERFACE_DATA iface;
    for (DWORD index = 0;; ++index) {
        memset(&iface, 0, sizeof iface);
        iface.cbSize = sizeof iface;
        if (!SetupDiEnumDeviceInterfaces(query->set, NULL, &KSCATEGORY_AUDIO, index, &iface)) {
            return INVALID_HANDLE_VALUE;
        }
        if (iface.Flags & SPINT_ACTIVE) {
            break;
        }
    }
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(query->set, &iface, NULL, 0, &size, NULL);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || size > maxPropertyBytes) {
        return INVALID_HANDLE_VALUE;
    }
    // One zeroed character more than asked for keeps the path terminated.
    size_t allocated = size + sizeof(WCHAR);
    query->detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(::operator new(allocated));
    memset(query->detail, 0, allocated);
    query->detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(query->set, &iface, query->detail, size, &size, NULL)) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(query->detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, 0, NULL);
}

static void EndInterfaceQuery(InterfaceQuery *query)
{
    ::operator delete(query->detail);
    query->detail = NULL;
    if (query->set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(query->set);
    }
}

static HDEVNOTIFY RegisterHandleNotification(HANDLE deviceHandle)
{
    DEV_BROADCAST_HANDLE filter;
    memset(&filter, 0, sizeof filter);
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = deviceHandle;
    return RegisterDeviceNotificationW(serviceStatusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

// The first open releases the set before it registers the handle
// notification; a reopen replaces the notification on the old handle with one
// on the new handle first, and releases the set after that. A card that could
// not be opened gets no notification: INVALID_HANDLE_VALUE is the
// current-process pseudo-handle, and a registration on it (which some
// implementations grant) would never announce anything about the card.
static void OpenInterface(CardEntry *entry, bool reopening)
{
    InterfaceQuery query;
    entry->deviceHandle = OpenAudioInterface(entry->instanceId, &query);
    if (!reopening) {
        EndInterfaceQuery(&query);
    } else if (entry->notifyHandle != NULL) {
        UnregisterDeviceNotification(entry->notifyHandle);
    }
    entry->notifyHandle = IsOpenHandle(entry->deviceHandle) ? RegisterHandleNotification(entry->deviceHandle) : NULL;
    if (reopening) {
        EndInterfaceQuery(&query);
        entry->closed = 0;
    }
}

void OpenCardInterface(CardEntry *entry)
{
    OpenInterface(entry, false);
}

void ReopenCardInterface(CardEntry *entry)
{
    OpenInterface(entry, true);
}

HDEVNOTIFY RegisterInterfaceNotification()
{
    GUID mediaClass;
    memset(&mediaClass, 0, sizeof mediaClass);
    DWORD required = 0;
    SetupDiClassGuidsFromNameW(L"Media", &mediaClass, 1, &required);

    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = mediaClass;
    return RegisterDeviceNotificationW(serviceStatusHandle, &filter,
                                       DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
}

void CloseCardHandle(CardEntry *entry)
{
    if (!entry->closed && IsOpenHandle(entry->deviceHandle)) {
        CloseHandle(entry->deviceHandle);
    }
    entry->closed = 1;
}

void ReleaseCardHandles(CardEntry *entry)
{
    CloseCardHandle(entry);
    if (entry->notifyHandle != NULL) {
        UnregisterDeviceNotification(entry->notifyHandle);
    }
}
