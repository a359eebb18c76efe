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

// The layouts the service hands to Windows or reads from it, as 64-bit Windows
// defines them: a size given in a cbSize, cb or dbch_size field, or a record
// read at fixed offsets, that differed would be refused or misread.
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW.cb");
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA.cbSize");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA.cbSize");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "SP_DEVICE_INTERFACE_DETAIL_DATA_W.cbSize");
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "DEV_BROADCAST_HANDLE.dbch_size");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "DEV_BROADCAST_DEVICEINTERFACE_W.dbcc_size");
static_assert(sizeof(SERVICE_STATUS) == 28, "SERVICE_STATUS");
