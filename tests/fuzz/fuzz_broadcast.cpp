// Fuzz target: a device broadcast as the control handler receives it, read
// with its real size, then everything the event handling does with what it
// yields: the instance ID derived from an interface path, the card test, and
// the lookups in a small list of cards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "cards/cards.h"
#include "winsim/sim.h"

namespace
{

const wchar_t *const kListed[] = {
    L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0",
    L"PCI\\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_01\\4&2B3C4D5E&0&00E8",
    L"P",
};
const HANDLE kListedHandle = reinterpret_cast<HANDLE>(0x1234);
const HDEVNOTIFY kListedNotification = reinterpret_cast<HDEVNOTIFY>(0x5a0000);

void Fail(const char *what)
{
    fprintf(stderr, "%s\n", what);
    abort();
}

wchar_t Fold(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 0x20) : c;
}

bool SameId(const wchar_t *a, const wchar_t *b)
{
    size_t i = 0;
    for (; a[i] != L'\0' && b[i] != L'\0'; ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return a[i] == b[i];
}

// The instance ID an interface path names, by the rule: the text after the
// four-character prefix, cut at its last '#', every other '#' a backslash;
// nothing for a path shorter than the prefix or an ID too long for a device.
bool ExpectedId(const wchar_t *path, std::wstring *id)
{
    size_t length = wcslen(path);
    if (length < 4) {
        return false;
    }
    std::wstring rest(path + 4);
    size_t cut = rest.rfind(L'#');
    if (cut != std::wstring::npos) {
        rest.resize(cut);
    }
    for (auto &c : rest) {
        c = c == L'#' ? L'\\' : c;
    }
    if (rest.size() + 1 > kMaxInstanceIdChars) {
        return false;
    }
    *id = rest;
    return true;
}

void BuildList()
{
    sim::Reset();
    AcquireSRWLockExclusive(&cardListLock);
    CardList = NewCardList();
    for (const wchar_t *id : kListed) {
        size_t characters = wcslen(id) + 1;
        CardEntry *entry = AppendCard(characters);
        memcpy(entry->instanceId, id, characters * sizeof(WCHAR));
        entry->deviceHandle = id == kListed[1] ? kListedHandle : INVALID_HANDLE_VALUE;
        entry->notifyHandle = id == kListed[1] ? kListedNotification : NULL;
    }
    ReleaseSRWLockExclusive(&cardListLock);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool listed = (BuildList(), true);
    (void)listed;

    // A block of exactly the input's size, so that any read past it is seen.
    unsigned char *copy = static_cast<unsigned char *>(malloc(size == 0 ? 1 : size));
    if (size != 0) {
        memcpy(copy, data, size);
    }
    DeviceBroadcast broadcast;
    if (ReadDeviceBroadcast(size == 0 ? nullptr : copy, size, &broadcast)) {
        if (broadcast.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
            const wchar_t *path = broadcast.interfacePath;
            const unsigned char *at = reinterpret_cast<const unsigned char *>(path);
            if (path == nullptr || at < copy || at >= copy + size) {
                Fail("the interface path lies outside the broadcast");
            }
            std::wstring expected;
            bool named = ExpectedId(path, &expected);
            LPWSTR id = DeriveInstanceId(path);
            if ((id != nullptr) != named || (id != nullptr && expected != id)) {
                Fail("DeriveInstanceId differs from the rule");
            }
            if (id != nullptr) {
                bool card = IsCardHardwareId(id);
                bool prefixed = false;
                for (const wchar_t *prefix :
                     {L"pci\\ven_1412&dev_1724&subsys_7e4b2200", L"pci\\ven_1412&dev_1724&subsys_7e4b2201"}) {
                    bool same = wcslen(id) >= 37;
                    for (size_t i = 0; same && i < 37; ++i) {
                        same = Fold(id[i]) == prefix[i];
                    }
                    prefixed = prefixed || same;
                }
                if (card != prefixed) {
                    Fail("IsCardHardwareId differs from the prefix rule");
                }
                AcquireSRWLockExclusive(&cardListLock);
                CardEntry *predecessor = nullptr;
                CardEntry *found = FindCardById(id, &predecessor);
                const wchar_t *listed = nullptr;
                for (const wchar_t *candidate : kListed) {
                    if (listed == nullptr && SameId(candidate, id)) {
                        listed = candidate;
                    }
                }
                if ((found != nullptr) != (listed != nullptr) ||
                    (found != nullptr && (wcscmp(found->instanceId, listed) != 0 || predecessor->next != found))) {
                    ReleaseSRWLockExclusive(&cardListLock);
                    Fail("FindCardById differs from a whole-string comparison");
                }
                ReleaseSRWLockExclusive(&cardListLock);
                delete[] id;
            }
        } else if (broadcast.deviceType == DBT_DEVTYP_HANDLE) {
            if (broadcast.notification == NULL) {
                Fail("a handle broadcast without a registration was accepted");
            }
            AcquireSRWLockExclusive(&cardListLock);
            CardEntry *found = FindCardByHandle(broadcast.notification, nullptr);
            bool expected = broadcast.notification == kListedNotification;
            ReleaseSRWLockExclusive(&cardListLock);
            if ((found != nullptr) != expected) {
                Fail("FindCardByHandle found the wrong entry");
            }
        } else {
            Fail("a broadcast of another type was accepted");
        }
    }
    free(copy);
    return 0;
}
