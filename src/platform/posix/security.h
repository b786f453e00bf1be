// Security identifiers and token membership of the portable subset. The
// process token's groups are set by a test hook.
#pragma once

#include "types.h"

typedef PVOID PSID;
BOOL ConvertStringSidToSidW(LPCWSTR text, PSID* sid);
BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text);
BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember);
BOOL IsValidSid(PSID sid);
BOOL EqualSid(PSID a, PSID b);
DWORD GetLengthSid(PSID sid);
