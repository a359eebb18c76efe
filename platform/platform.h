// The one seam between the service and Windows. The service calls Windows
// functions by their real names; on Windows they come from the SDK headers and
// the system DLLs, on Linux from the simulated Windows in winsim/.
#pragma once

#ifdef _WIN32
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#define STRSAFE_NO_DEPRECATE
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <shlobj.h>
#include <wtsapi32.h>
#include <ks.h>
#include <ksmedia.h>
#include <strsafe.h>
#include <wchar.h>
#else
#include "winsim/winapi.h"
#endif

// A handle value that can refer to an open object: neither NULL nor
// INVALID_HANDLE_VALUE (which is also the current-process pseudo-handle).
inline bool IsOpenHandle(HANDLE handle)
{
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
}
