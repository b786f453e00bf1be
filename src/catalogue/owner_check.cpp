#include "catalogue/owner_check.h"

#include "com/unique.h"

namespace {

// Whether `sid` is `token`'s own user (and the token does not hold it for
// denial only). Windows' CheckTokenMembership counts the user as a member;
// Wine's looks at the groups alone. Comparing the user here first gives the
// same answer on both.
bool IsTokenUser(HANDLE token, PSID sid)
{
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed)) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer);
  return (user->User.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 && EqualSid(user->User.Sid, sid);
}

// Whether the token the thread runs under now (an impersonated client's
// while impersonating) holds `sid`; `token` is that token, for its user.
bool ThreadTokenHolds(HANDLE token, PSID sid)
{
  if (IsTokenUser(token, sid)) return true;
  BOOL member = FALSE;
  return CheckTokenMembership(nullptr, sid, &member) && member;
}

// No call context to impersonate: not a refusal.
bool NoCallContext(HRESULT hr)
{
  return hr == RPC_E_CALL_COMPLETE || hr == E_NOTIMPL;
}

}  // namespace

OwnerVerdict CheckCallerOwns(const WCHAR* ownerSid)
{
  OwnerVerdict verdict;
  UniqueLocal<PSID> sid;
  if (ownerSid == nullptr || !ConvertStringSidToSidW(ownerSid, sid.Put())) return verdict;

  verdict.impersonation = CoImpersonateClient();
  if (SUCCEEDED(verdict.impersonation)) {
    // Opened as the server (the client's token may be at identification
    // level, which opens nothing itself); one that cannot be opened (an
    // anonymous client's) holds nothing.
    UniqueHandle token;
    verdict.holds = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) &&
                    ThreadTokenHolds(token.Get(), sid.Get());
    CoRevertToSelf();
    return verdict;
  }
  if (!NoCallContext(verdict.impersonation)) return verdict;
  UniqueHandle token;
  verdict.holds = (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) ||
                   OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) &&
                  ThreadTokenHolds(token.Get(), sid.Get());
  return verdict;
}
