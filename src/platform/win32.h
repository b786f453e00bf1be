// The one header through which src/ sees the platform: the real Win32 and
// COM headers on Windows, the portable subset elsewhere, and in both cases
// the interface generated from idl/stibridge.idl.
#pragma once

#ifdef _WIN32
#include "platform/windows/windows_api.h"
#define W_TEXT_(s) L##s
#else
#include "platform/posix/posix_api.h"
#define W_TEXT_(s) u##s
#endif

// A UTF-16 literal on both builds.
#define W(s) W_TEXT_(s)

#include "stibridge.h"
#include "platform/hooks.h"
#include "platform/server_support.h"
#include "platform/client_process.h"

static_assert(sizeof(WCHAR) == 2, "text is UTF-16");
static_assert(sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(HRESULT) == 4,
              "Win32 integer widths");
static_assert(sizeof(TW_IMAGEINFO) == 42, "TW_IMAGEINFO is packed to 2 bytes");
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is 16 bytes");
