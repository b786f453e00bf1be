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
  const bool client = token == nullptr && ThreadImpersonating();
  if (!client && !TokenGroupsSet()) return CheckTokenMembership(token, sid, isMember);
  if (isMember == nullptr || sid == nullptr || !IsValidSid(sid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return FALSE;
  *isMember = (client ? ClientHasGroup(text) : TokenHasGroup(text)) ? TRUE : FALSE;
  LocalFree(text);
  return TRUE;
}

HRESULT platform_CoImpersonateClient()
{
  if (!ClientImpersonationSet()) return CoImpersonateClient();
  const HRESULT answer = ClientImpersonationAnswer();
  if (SUCCEEDED(answer)) SetThreadImpersonating(true);
  return answer;
}

HRESULT platform_CoRevertToSelf()
{
  if (!ThreadImpersonating()) return CoRevertToSelf();
  SetThreadImpersonating(false);
  return S_OK;
}

BOOL platform_OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token)
{
  // A real token handle stands for the client's: the queries below answer
  // for it while the impersonation lasts.
  if (ThreadImpersonating()) return OpenProcessToken(GetCurrentProcess(), access, token);
  return OpenThreadToken(thread, access, openAsSelf, token);
}

BOOL platform_GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                  DWORD length, PDWORD needed)
{
  if (kind != TokenUser || !ThreadImpersonating())
    return GetTokenInformation(token, kind, information, length, needed);
  PSID sid = nullptr;
  if (needed == nullptr || !ConvertStringSidToSidW(ClientUser(), &sid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD sidBytes = GetLengthSid(sid);
  *needed = static_cast<DWORD>(sizeof(TOKEN_USER)) + sidBytes;
  const bool fits = information != nullptr && length >= *needed;
  if (fits) {
    auto* user = static_cast<TOKEN_USER*>(information);
    BYTE* copy = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
    CopySid(sidBytes, copy, sid);
    user->User.Sid = copy;
    user->User.Attributes = 0;
  }
  LocalFree(sid);
  if (!fits) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return fits ? TRUE : FALSE;
}
