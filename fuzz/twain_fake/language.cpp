// The stand-in of the source's texts (source/language.h, strings.h) in its
// fuzz build, which has no resources: the language chosen is kept, every
// text is empty.
#include "source/language.h"

#include "source/strings.h"

namespace twainds {

namespace {
LANGID chosen = 0;
}

const std::vector<LANGID>& TextLanguages()
{
  // The source's own four, so that CAP_LANGUAGE is negotiated as there.
  static const std::vector<LANGID> languages = {
      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN),
      MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)};
  return languages;
}

// The fuzz run's user speaks English.
LANGID DefaultTextLanguage()
{
  return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

LANGID TextLanguage()
{
  return chosen != 0 ? chosen : DefaultTextLanguage();
}

void ChooseTextLanguage(LANGID language)
{
  chosen = language;
}

std::wstring Text(UINT)
{
  return std::wstring();
}

std::wstring Format(UINT, std::initializer_list<std::wstring>)
{
  return std::wstring();
}

}  // namespace twainds
