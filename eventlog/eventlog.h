// Event reporting: the one way the service tells anything.
#pragma once

#include "platform/platform.h"
#include "eventlog/messages.h"

// The service name, which is also the event source.
#define SERVICE_NAME L"HexlornS"

// Writes one record to the Application log under the source "HexlornS" with two
// insertion strings: %1 the service name, %2 `text` (cut to 259 characters).
// Never fails as far as the caller can tell.
void ReportServiceEvent(LPCWSTR text, WORD eventType, DWORD messageId);
