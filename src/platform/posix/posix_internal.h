// Helpers shared by the portable subset's implementation files; not part of
// the surface that src/ and sim/ see.
#pragma once

#include "platform/win32.h"

#include <string>

namespace posix_internal {

using Text = std::basic_string<WCHAR>;

// Upper-case folding for case-insensitive comparisons: ASCII and Latin-1,
// which covers every name the server and the simulator compare.
inline WCHAR FoldCase(WCHAR c)
{
  if (c >= u'a' && c <= u'z') return WCHAR(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return WCHAR(c - 0x20);
  if (c == 0xFF) return WCHAR(0x178);
  return c;
}

inline size_t TextLength(const WCHAR* text)
{
  size_t n = 0;
  if (text != nullptr)
    while (text[n] != 0) ++n;
  return n;
}

inline bool EqualNoCase(const Text& a, const Text& b)
{
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

// Local memory for the subset's own results (SID buffers, SID strings): the
// same heap as LocalAlloc, so LocalFree releases it, but not subject to the
// allocation-failure hook, because on Windows the system's internal
// allocations do not pass through the hook either.
HLOCAL AllocateLocalUnhooked(UINT flags, SIZE_T bytes);

// Task memory for the subset's own results (StringFromCLSID), not hooked for
// the same reason.
LPVOID AllocateTaskUnhooked(SIZE_T bytes);

// UTF-8 to UTF-16 without the code-page API's buffer protocol.
Text Utf8ToText(const char* text, size_t length);

// The string form of the user SID of the process token.
extern const WCHAR kUserSidText[];

// Handles of the process token, in the same table as the event handles (so
// that CloseHandle closes them); false with ERROR_INVALID_HANDLE or
// ERROR_ACCESS_DENIED for a handle that is not one or lacks `needed`.
HANDLE IssueTokenHandle(DWORD access);
bool IsTokenHandle(HANDLE handle, DWORD needed);

}  // namespace posix_internal
