// The real Win32 and COM headers for the Windows build, and the redirection
// of the few calls that the test hooks of platform/hooks.h can steer.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <sddl.h>
#include <sti.h>

#ifndef STIBRIDGE_NO_HOOK_REDIRECTS
#include "platform/windows/hooked_api.h"
#define GlobalAlloc platform_GlobalAlloc
#define LocalAlloc platform_LocalAlloc
#define SysAllocString platform_SysAllocString
#define SysAllocStringLen platform_SysAllocStringLen
#define CoTaskMemAlloc platform_CoTaskMemAlloc
#undef RegOpenKeyEx
#undef RegCreateKeyEx
#define RegOpenKeyExW platform_RegOpenKeyExW
#define RegCreateKeyExW platform_RegCreateKeyExW
#undef GetModuleFileName
#define GetModuleFileNameW platform_GetModuleFileNameW
#define CheckTokenMembership platform_CheckTokenMembership
#define CoImpersonateClient platform_CoImpersonateClient
#define CoRevertToSelf platform_CoRevertToSelf
#define OpenThreadToken platform_OpenThreadToken
#define GetTokenInformation platform_GetTokenInformation
#endif
