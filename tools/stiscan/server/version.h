// stiscan --version: stiscan's own version and that of the installed
// server, read from the version resource of the program that the class's
// LocalServer32 key names, and whether the two differ.
#pragma once

#include <string>

namespace stiscan {

// What stiscan found of the installed server.
struct InstalledServer {
  enum class State { kNotRegistered, kUnreadable, kRead };
  State state = State::kNotRegistered;
  std::string program;  // the file LocalServer32 names (UTF-8)
  std::string version;  // kRead: "X.Y.Z" (".R" added when the fourth field is set)
  std::string problem;  // kUnreadable: why, as one phrase
};

// The program of a LocalServer32 value: the quoted part of a quoted value;
// of an unquoted one, everything up to the first ".exe" that ends it or is
// followed by a space (arguments after it do not belong to the file), or the
// whole value when there is none. Leading blanks are skipped; an unclosed
// quote gives an empty name.
std::wstring ServerProgramOf(const std::wstring& value);

// The lines that `stiscan --version` prints for stiscan's version `own`.
std::string VersionLines(const std::string& own, const InstalledServer& server);

}  // namespace stiscan
