#include "source/language.h"

#include "source/strings.h"

namespace twainds {

namespace {

// The application's choice for this session; 0: none.
LANGID chosen = 0;

const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The text `id` of the table of `language`: a string table's resource is a
// block of sixteen strings (identifiers 16(n-1) to 16n-1 in block n), each
// a count of UTF-16 units and then the units; an absent string counts 0.
bool TableText(LANGID language, UINT id, std::wstring& text)
{
  const HINSTANCE module = SourceModule();
  HRSRC found = FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_STRING),
                                MAKEINTRESOURCEW((id >> 4) + 1), language);
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const auto* units = static_cast<const WCHAR*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  const DWORD bytes = SizeofResource(module, found);
  if (units == nullptr) return false;
  const size_t end = bytes / sizeof(WCHAR);
  size_t at = 0;
  // A block cut short (a resource is data like any other) ends the walk.
  for (UINT skip = id & 15; skip > 0; --skip) {
    if (at >= end) return false;
    at += 1 + static_cast<size_t>(units[at]);
  }
  if (at >= end) return false;
  const size_t count = units[at];
  if (count == 0 || at + 1 + count > end) return false;
  text.assign(reinterpret_cast<const wchar_t*>(units + at + 1), count);
  return true;
}

// The user's interface language as one of the tables', by its primary
// language (Swiss German reads German); 0 when the source has none of it.
LANGID UserLanguage()
{
  const LANGID user = GetUserDefaultUILanguage();
  for (LANGID language : TextLanguages())
    if (PRIMARYLANGID(language) == PRIMARYLANGID(user)) return language;
  return 0;
}

}  // namespace

HINSTANCE SourceModule()
{
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&SourceModule), &module);
  return module;
}

const std::vector<LANGID>& TextLanguages()
{
  static const std::vector<LANGID> languages = {
      kEnglish, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH),
      MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)};
  return languages;
}

LANGID DefaultTextLanguage()
{
  const LANGID user = UserLanguage();
  return user != 0 ? user : kEnglish;
}

LANGID TextLanguage()
{
  return chosen != 0 ? chosen : DefaultTextLanguage();
}

void ChooseTextLanguage(LANGID language)
{
  chosen = language;
}

std::wstring Text(UINT id)
{
  std::wstring text;
  if (TableText(TextLanguage(), id, text) || TableText(kEnglish, id, text)) return text;
  return std::wstring();
}

std::wstring Format(UINT id, std::initializer_list<std::wstring> arguments)
{
  const std::wstring pattern = Text(id);
  std::wstring text;
  for (size_t at = 0; at < pattern.size(); ++at) {
    if (pattern[at] != L'%' || at + 1 == pattern.size()) {
      text += pattern[at];
      continue;
    }
    const wchar_t next = pattern[at + 1];
    if (next == L'%') {
      text += L'%';
      ++at;
    } else if (next >= L'1' && next <= L'9') {
      const size_t n = static_cast<size_t>(next - L'1');
      if (n < arguments.size()) text += *(arguments.begin() + n);
      ++at;
    } else {
      text += L'%';
    }
  }
  return text;
}

}  // namespace twainds
