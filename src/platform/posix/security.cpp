// Security identifiers in their binary form (revision, sub-authority count,
// 48-bit big-endian identifier authority, 32-bit sub-authorities) and token
// membership.
//
// Without the token-groups hook, the process token holds Everyone, Users and
// the user SID S-1-5-21-1004336348-1177238915-682003330-1001, a fixed
// local-account SID (RID 1001, a machine's first created user), also the
// name of HKEY_CURRENT_USER's key under HKEY_USERS.
#include "platform/posix/posix_internal.h"
#include "platform/hook_state.h"

#include <cstring>
#include <string>

namespace posix_internal {
const WCHAR kUserSidText[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";
}

namespace {

using posix_internal::Text;

constexpr int kMaxSubAuthorities = 15;
constexpr size_t kHeaderBytes = 8;

const WCHAR* const kDefaultGroups[] = {u"S-1-1-0", u"S-1-5-32-545", posix_internal::kUserSidText};

// The SDDL abbreviations for the well-known SIDs the program may name.
struct Alias {
  const char16_t* alias;
  const char16_t* sid;
};
constexpr Alias kAliases[] = {{u"WD", u"S-1-1-0"},      {u"BU", u"S-1-5-32-545"},
                              {u"BA", u"S-1-5-32-544"}, {u"SY", u"S-1-5-18"},
                              {u"AU", u"S-1-5-11"},     {u"IU", u"S-1-5-4"}};

struct ParsedSid {
  uint64_t authority = 0;
  int count = 0;
  uint32_t sub[kMaxSubAuthorities] = {};
};

// Reads a decimal number (or, with `hexAllowed`, 0x-prefixed hex) up to `max`.
bool ReadNumber(const WCHAR*& p, uint64_t max, bool hexAllowed, uint64_t* value)
{
  int base = 10;
  if (hexAllowed && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
    base = 16;
    p += 2;
  }
  uint64_t result = 0;
  int digits = 0;
  for (;; ++p, ++digits) {
    int digit;
    if (*p >= u'0' && *p <= u'9')
      digit = *p - u'0';
    else if (base == 16 && *p >= u'a' && *p <= u'f')
      digit = *p - u'a' + 10;
    else if (base == 16 && *p >= u'A' && *p <= u'F')
      digit = *p - u'A' + 10;
    else
      break;
    if (result > (max - uint64_t(digit)) / uint64_t(base)) return false;
    result = result * uint64_t(base) + uint64_t(digit);
  }
  *value = result;
  return digits > 0;
}

bool ParseSid(const WCHAR* text, ParsedSid* sid)
{
  for (const Alias& alias : kAliases)
    if (text[0] == alias.alias[0] && text[1] == alias.alias[1] && text[2] == 0)
      return ParseSid(alias.sid, sid);
  if ((text[0] != u'S' && text[0] != u's') || text[1] != u'-' || text[2] != u'1' || text[3] != u'-')
    return false;
  const WCHAR* p = text + 4;
  if (!ReadNumber(p, 0xFFFFFFFFFFFFull, true, &sid->authority)) return false;
  while (*p == u'-') {
    ++p;
    uint64_t sub = 0;
    if (sid->count == kMaxSubAuthorities || !ReadNumber(p, 0xFFFFFFFFull, false, &sub))
      return false;
    sid->sub[sid->count++] = uint32_t(sub);
  }
  return *p == 0;
}

size_t SidBytes(const ParsedSid& sid)
{
  return kHeaderBytes + 4 * size_t(sid.count);
}

// The binary form of `sid` into SidBytes(sid) bytes at `out`.
void WriteSid(const ParsedSid& sid, BYTE* out)
{
  out[0] = 1;
  out[1] = BYTE(sid.count);
  for (int i = 0; i < 6; ++i) out[2 + i] = BYTE(sid.authority >> (8 * (5 - i)));
  memcpy(out + kHeaderBytes, sid.sub, 4 * size_t(sid.count));
}

Text FormatSid(const BYTE* sid)
{
  std::string text = "S-1-";
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
  if (authority <= 0xFFFFFFFFull) {
    text += std::to_string(authority);
  } else {
    static const char digits[] = "0123456789ABCDEF";
    text += "0x";
    for (int i = 11; i >= 0; --i) text.push_back(digits[(authority >> (4 * i)) & 0xF]);
  }
  for (int i = 0; i < sid[1]; ++i) {
    uint32_t sub;
    memcpy(&sub, sid + kHeaderBytes + 4 * size_t(i), 4);
    text += "-" + std::to_string(sub);
  }
  return Text(text.begin(), text.end());
}

}  // namespace

BOOL IsValidSid(PSID sid)
{
  if (sid == nullptr) return FALSE;
  auto bytes = static_cast<const BYTE*>(sid);
  return bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID sid)
{
  if (!IsValidSid(sid)) return 0;
  return DWORD(kHeaderBytes + 4 * size_t(static_cast<const BYTE*>(sid)[1]));
}

BOOL EqualSid(PSID a, PSID b)
{
  if (!IsValidSid(a) || !IsValidSid(b)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  DWORD length = GetLengthSid(a);
  return length == GetLengthSid(b) && memcmp(a, b, length) == 0 ? TRUE : FALSE;
}

BOOL ConvertStringSidToSidW(LPCWSTR text, PSID* sid)
{
  if (text == nullptr || sid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ParsedSid parsed;
  if (!ParseSid(text, &parsed)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  auto* block =
      static_cast<BYTE*>(posix_internal::AllocateLocalUnhooked(LMEM_FIXED, SidBytes(parsed)));
  if (block == nullptr) return FALSE;
  WriteSid(parsed, block);
  *sid = block;
  return TRUE;
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text)
{
  if (sid == nullptr || text == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsValidSid(sid)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  Text formatted = FormatSid(static_cast<const BYTE*>(sid));
  auto* out = static_cast<LPWSTR>(
      posix_internal::AllocateLocalUnhooked(LMEM_FIXED, (formatted.size() + 1) * sizeof(WCHAR)));
  if (out == nullptr) return FALSE;
  memcpy(out, formatted.c_str(), (formatted.size() + 1) * sizeof(WCHAR));
  *text = out;
  return TRUE;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember)
{
  if (isMember == nullptr || !IsValidSid(sid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Text text = FormatSid(static_cast<const BYTE*>(sid));
  // A client's token while the hook impersonates one: its groups alone
  // (the user is matched by the caller, as Wine's call does not count it).
  if (token == nullptr && platform_hooks::state::ThreadImpersonating()) {
    *isMember = platform_hooks::state::ClientHasGroup(text.c_str()) ? TRUE : FALSE;
    return TRUE;
  }
  if (platform_hooks::state::TokenGroupsSet()) {
    *isMember = platform_hooks::state::TokenHasGroup(text.c_str()) ? TRUE : FALSE;
    return TRUE;
  }
  // The subset has no token objects other than the process token.
  if (token != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *isMember = FALSE;
  for (const WCHAR* group : kDefaultGroups)
    if (text == group) *isMember = TRUE;
  return TRUE;
}

HANDLE GetCurrentProcess()
{
  // The pseudo handle that stands for the calling process.
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

HANDLE GetCurrentThread()
{
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL, HANDLE* token)
{
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (thread != GetCurrentThread()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Only the client impersonation hook gives a thread a token of its own.
  if (platform_hooks::state::ThreadImpersonating()) {
    *token = posix_internal::IssueTokenHandle(access);
    return TRUE;
  }
  SetLastError(ERROR_NO_TOKEN);
  return FALSE;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token)
{
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = posix_internal::IssueTokenHandle(access);
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                         DWORD length, DWORD* needed)
{
  if (needed == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!posix_internal::IsTokenHandle(token, TOKEN_QUERY)) return FALSE;
  if (kind != TokenUser) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The record and, after it, the SID it points at, in the caller's buffer:
  // the impersonated client's user while the hook impersonates one.
  ParsedSid parsed;
  if (!platform_hooks::state::ThreadImpersonating() ||
      !ParseSid(platform_hooks::state::ClientUser(), &parsed)) {
    parsed = ParsedSid();
    ParseSid(posix_internal::kUserSidText, &parsed);
  }
  *needed = DWORD(sizeof(TOKEN_USER) + SidBytes(parsed));
  if (information == nullptr || length < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* user = static_cast<TOKEN_USER*>(information);
  BYTE* sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
  WriteSid(parsed, sid);
  user->User.Sid = sid;
  user->User.Attributes = 0;
  return TRUE;
}
