#include "eventlog/eventlog.h"

void ReportServiceEvent(LPCWSTR text, WORD eventType, DWORD messageId)
{
    HANDLE source = RegisterEventSourceW(NULL, SERVICE_NAME);
    if (source == NULL) {
        return;
    }

    // The text is an argument of "%s", never a format of its own: percent signs
    // are copied as they are, and a text that does not fit is cut to 259
    // characters and terminated.
    WCHAR eventText[MAX_PATH];
    StringCchPrintfW(eventText, MAX_PATH, L"%s", text);

    LPCWSTR strings[2] = {SERVICE_NAME, eventText};
    ReportEventW(source, eventType, 0, messageId, NULL, 2, 0, strings, NULL);
    DeregisterEventSource(source);
}
