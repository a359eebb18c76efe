// The service run sequence: start-up, the wait for a stop request, and the
// release of every card at stop.
#include "cards/cards.h"
#include "eventlog/eventlog.h"
#include "service/service.h"
#include "sessions/sessions.h"

// Takes the first tracked card out of the list, or frees the list when it is
// empty, so that device events after the stop find nothing. The entry taken
// out belongs to the service thread alone from then on.
static CardEntry *TakeFirstCard()
{
    AcquireSRWLockExclusive(&cardListLock);
    CardEntry *entry = CardList->next;
    if (entry != NULL) {
        CardList->next = entry->next;
    } else {
        ::operator delete(CardList);
        CardList = NULL;
    }
    ReleaseSRWLockExclusive(&cardListLock);
    return entry;
}

void RunService()
{
    StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (StopEvent == NULL) {
        ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
        return;
    }

    // Device events wait until start-up is done with the list: an arrival or
    // a query-remove handled between the opens and the companions' start
    // would otherwise see its card's companion started twice, or started
    // while the card is being removed. The interface registration does not
    // touch the list.
    AcquireSRWLockExclusive(&cardListLock);
    CardList = NewCardList();
    ScanPresentCards();
    for (CardEntry *entry = CardList->next; entry != NULL; entry = entry->next) {
        OpenCardInterface(entry);
    }
    HDEVNOTIFY interfaceNotification = RegisterInterfaceNotification();
    if (interfaceNotification == NULL) {
        ReleaseSRWLockExclusive(&cardListLock);
        ReportServiceEvent(L"RegisterDeviceNotification", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
        return;
    }
    TokenResult consoleStart = StartCompanionsOnConsole(CardList->next, true);
    ReleaseSRWLockExclusive(&cardListLock);
    if (consoleStart == TokenFailed) {
        ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
        return;
    }

    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    WaitForSingleObject(StopEvent, INFINITE);

    // One card at a time: every session's helper has let go of the card before
    // the service closes its own handle, and the next card begins after that.
    for (CardEntry *entry = TakeFirstCard(); entry != NULL; entry = TakeFirstCard()) {
        RunForceCloseSweep(entry);
        ReleaseCardHandles(entry);
        ::operator delete(entry);
    }
    UnregisterDeviceNotification(interfaceNotification);
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
}
