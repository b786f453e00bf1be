// String and path services. The comparisons follow the default locale's word
// order the way Windows' lstrcmp family does, closely enough for names:
// other characters before digits before letters, letters alphabetically
// without regard to case, and only then case, lower case first. (Windows'
// word sort also ignores hyphens and apostrophes; names here carry neither.)
#include "platform/posix/posix_internal.h"

namespace {

using posix_internal::FoldCase;

bool IsLetter(WCHAR c)
{
  return FoldCase(c) != c || (c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
}

uint32_t PrimaryWeight(WCHAR c)
{
  if (IsLetter(c)) return 0x20000u + FoldCase(c);
  if (c >= u'0' && c <= u'9') return 0x10000u + c;
  return c;
}

int Sign(int64_t difference)
{
  return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
}

int Compare(LPCWSTR a, LPCWSTR b, bool ignoreCase)
{
  // A null string sorts before every other, as with lstrcmp.
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    int order = Sign(int64_t(PrimaryWeight(a[i])) - int64_t(PrimaryWeight(b[i])));
    if (order != 0) return order;
  }
  if (a[i] != 0 || b[i] != 0) return a[i] == 0 ? -1 : 1;
  if (ignoreCase) return 0;
  for (i = 0; a[i] != 0; ++i) {
    // Same letters, different case: the lower-case one comes first.
    if (a[i] != b[i]) return FoldCase(a[i]) == a[i] ? 1 : -1;
  }
  return 0;
}

}  // namespace

LPWSTR StrStrIW(LPCWSTR text, LPCWSTR search)
{
  if (text == nullptr || search == nullptr || search[0] == 0) return nullptr;
  for (const WCHAR* start = text; *start != 0; ++start) {
    size_t i = 0;
    while (search[i] != 0 && start[i] != 0 && FoldCase(start[i]) == FoldCase(search[i])) ++i;
    if (search[i] == 0) return const_cast<LPWSTR>(start);
    if (start[i] == 0) break;
  }
  return nullptr;
}

int StrCmpW(LPCWSTR a, LPCWSTR b)
{
  return Compare(a, b, false);
}

int StrCmpIW(LPCWSTR a, LPCWSTR b)
{
  return Compare(a, b, true);
}

int lstrcmpW(LPCWSTR a, LPCWSTR b)
{
  return Compare(a, b, false);
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b)
{
  return Compare(a, b, true);
}

int lstrlenW(LPCWSTR text)
{
  return int(posix_internal::TextLength(text));
}

LPWSTR PathFindFileNameW(LPCWSTR path)
{
  // A separator counts only when a name follows it: "c:\dir\" answers "dir\".
  const WCHAR* name = path;
  for (const WCHAR* p = path; p != nullptr && *p != 0; ++p) {
    bool separator = *p == u'\\' || *p == u'/' || *p == u':';
    if (separator && p[1] != 0 && p[1] != u'\\' && p[1] != u'/') name = p + 1;
  }
  return const_cast<LPWSTR>(name);
}
