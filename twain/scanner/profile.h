// Who the data source opens the scanner as, and which scanner: the values
// of the current user's key HKCU\Software\stibridge\TWAIN, each with its
// default when it is missing (docs/integration-guide.md):
//   Scanner    the scanner's local name; default: the one whose button
//              launched the source, else the first the server accepts
//   Profile    the profile name; default: the Windows user name
//   Qualifier  the profile qualifier; default "TWAIN"
//   Store      the user's store on the scanner; default: the profile name
#pragma once

#include <string>

namespace twainds {

struct Profile {
  std::wstring scanner, profile, qualifier, store;
};

// The profile of the current user. The strings are cut to 259 units, what
// the server keeps of them.
Profile ReadProfile();

}  // namespace twainds
