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
    // while the card is being removed. Arrivals are registered for before the
    // present cards are listed, so that a card whose interface appears in
    // between is not missed: its arrival, handled once start-up is done,
    // finds it listed, or lists it if the listing came too early to see it.
    AcquireSRWLockExclusive(&cardListLock);
    CardList = NewCardList();
    HDEVNOTIFY interfaceNotification = RegisterInterfaceNotification();
    if (interfaceNotification == NULL) {
        ReleaseSRWLockExclusive(&cardListLock);
        ReportServiceEvent(L"RegisterDeviceNotification", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
        return;
    }
    ScanPresentCards();
    for (CardEntry *entry = CardList->next; entry != NULL; entry = entry->next) {
        OpenCardInterface(entry);
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
    // The stop has one budget, counted from the stop request, for all its
    // sweeps: a card whose sweep finds it spent is released unswept, with the
    // record of a spent sweep, so that the service reports stopped well
    // inside the time an installer waits for a stop.
    ULONGLONG deadline = SweepDeadline();
    for (CardEntry *entry = TakeFirstCard(); entry != NULL; entry = TakeFirstCard()) {
        RunForceCloseSweep(entry, deadline);
        ReleaseCardHandles(entry);
        ::operator delete(entry);
    }
    UnregisterDeviceNotification(interfaceNotification);
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
}
