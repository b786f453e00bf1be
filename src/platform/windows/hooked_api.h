// Wrappers behind the calls that the test hooks steer; each calls the real
// function unless its hook is set.
#pragma once

HGLOBAL platform_GlobalAlloc(UINT flags, SIZE_T bytes);
HLOCAL platform_LocalAlloc(UINT flags, SIZE_T bytes);
BSTR platform_SysAllocString(const OLECHAR* text);
BSTR platform_SysAllocStringLen(const OLECHAR* text, UINT length);
LPVOID platform_CoTaskMemAlloc(SIZE_T bytes);
LSTATUS platform_RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access,
                               PHKEY result);
LSTATUS platform_RegCreateKeyExW(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                 DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                 PHKEY result, LPDWORD disposition);
DWORD platform_GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity);
BOOL platform_CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember);
HRESULT platform_CoImpersonateClient();
HRESULT platform_CoRevertToSelf();
BOOL platform_OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token);
BOOL platform_GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                  DWORD length, PDWORD needed);
