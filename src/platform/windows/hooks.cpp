// The Windows build's wrappers behind the hookable calls. This file sees the
// real functions: it is compiled without the redirections.
#define STIBRIDGE_NO_HOOK_REDIRECTS
#include "platform/win32.h"
#include "platform/hook_state.h"
#include "platform/windows/hooked_api.h"

using namespace platform_hooks::state;

HGLOBAL platform_GlobalAlloc(UINT flags, SIZE_T bytes)
{
  if (TakeAllocationFailure()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return GlobalAlloc(flags, bytes);
}

HLOCAL platform_LocalAlloc(UINT flags, SIZE_T bytes)
{
  if (TakeAllocationFailure()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return LocalAlloc(flags, bytes);
}

BSTR platform_SysAllocString(const OLECHAR* text)
{
  return TakeAllocationFailure() ? nullptr : SysAllocString(text);
}

BSTR platform_SysAllocStringLen(const OLECHAR* text, UINT length)
{
  return TakeAllocationFailure() ? nullptr : SysAllocStringLen(text, length);
}

LPVOID platform_CoTaskMemAlloc(SIZE_T bytes)
{
  return TakeAllocationFailure() ? nullptr : CoTaskMemAlloc(bytes);
}

LSTATUS platform_RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access,
                               PHKEY result)
{
  if (IsRegistryKeyDenied(subKey)) return ERROR_ACCESS_DENIED;
  return RegOpenKeyExW(parent, subKey, options, access, result);
}

LSTATUS platform_RegCreateKeyExW(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                 DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                 PHKEY result, LPDWORD disposition)
{
  if (IsRegistryKeyDenied(subKey)) return ERROR_ACCESS_DENIED;
  return RegCreateKeyExW(parent, subKey, reserved, keyClass, options, access, security, result,
                         disposition);
}

DWORD platform_GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity)
{
  const WCHAR* hooked = ModulePath();
  if (hooked == nullptr) return GetModuleFileNameW(module, path, capacity);
  // The documented contract: copy what fits, terminate, and on truncation
  // answer the capacity with ERROR_INSUFFICIENT_BUFFER.
  if (capacity == 0) return 0;
  DWORD n = 0;
  while (hooked[n] != 0 && n < capacity) {
    path[n] = hooked[n];
    ++n;
  }
  if (n == capacity) {
    path[capacity - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return capacity;
  }
  path[n] = 0;
  return n;
}

BOOL platform_CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember)
{
  if (!TokenGroupsSet()) return CheckTokenMembership(token, sid, isMember);
  if (isMember == nullptr || sid == nullptr || !IsValidSid(sid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return FALSE;
  *isMember = TokenHasGroup(text) ? TRUE : FALSE;
  LocalFree(text);
  return TRUE;
}
