// The language of the source's texts: the one the application set with
// CAP_LANGUAGE, else the user's interface language, else English, among the
// languages the string tables have.
#pragma once

#include <windows.h>

#include <vector>

namespace twainds {

// The languages the source has texts in (LANGIDs of their string tables).
const std::vector<LANGID>& TextLanguages();
// The language without the application's choice: the user's interface
// language where the source has it, else English.
LANGID DefaultTextLanguage();
// The language the texts come in now.
LANGID TextLanguage();
// The application's choice (CAP_LANGUAGE), one of TextLanguages(); 0:
// none, the default. It lasts as long as the session that made it.
void ChooseTextLanguage(LANGID language);

}  // namespace twainds
