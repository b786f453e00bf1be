// String and path services of the portable subset (shlwapi, kernel32).
#pragma once

#include "types.h"

LPWSTR StrStrIW(LPCWSTR text, LPCWSTR search);
int StrCmpW(LPCWSTR a, LPCWSTR b);
int StrCmpIW(LPCWSTR a, LPCWSTR b);
int lstrcmpW(LPCWSTR a, LPCWSTR b);
int lstrcmpiW(LPCWSTR a, LPCWSTR b);
int lstrlenW(LPCWSTR text);
LPWSTR PathFindFileNameW(LPCWSTR path);
