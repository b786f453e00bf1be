#include "source/language.h"

#include "source/strings.h"

namespace twainds {

namespace {

LANGID chosen = 0;

HINSTANCE ThisModule()
{
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

}  // namespace

const std::vector<LANGID>& TextLanguages()
{
  static const std::vector<LANGID> languages = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
  return languages;
}

LANGID TextLanguage()
{
  return chosen != 0 ? chosen : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

void ChooseTextLanguage(LANGID language)
{
  chosen = language;
}

std::wstring Text(UINT id)
{
  // English only for now: the table of the language chosen comes later.
  const wchar_t* text = nullptr;
  const int units = LoadStringW(ThisModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return units > 0 && text != nullptr ? std::wstring(text, static_cast<size_t>(units))
                                      : std::wstring();
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
