// Security identifiers and token membership of the portable subset. The
// process token's groups are set by a test hook.
#pragma once

#include "types.h"

typedef PVOID PSID;

// The process token: its user SID, for whoever needs to name the caller.
#define TOKEN_QUERY 0x0008
typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1 } TOKEN_INFORMATION_CLASS;
typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES;
typedef struct _TOKEN_USER {
  SID_AND_ATTRIBUTES User;
} TOKEN_USER;
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010L
#define SECURITY_MAX_SID_SIZE 68
#define ERROR_NO_TOKEN 1008L
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// The subset's threads never impersonate (ERROR_NO_TOKEN), but while the
// client impersonation hook of platform/hooks.h lets one.
BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                         DWORD length, DWORD* needed);

BOOL ConvertStringSidToSidW(LPCWSTR text, PSID* sid);
BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text);
BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember);
BOOL IsValidSid(PSID sid);
BOOL EqualSid(PSID a, PSID b);
DWORD GetLengthSid(PSID sid);
