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
