// The native program's entry: rebuilds the command line from argv as Windows
// would hold it, derives the command tail as the C runtime does, and calls
// WinMain. Linked only into executables, never into the platform library.
#include "platform/posix/posix_internal.h"

#include <string>

namespace {

// Quotes an argument that contains whitespace or quotes (or is empty), with
// the escaping that the runtime's argument parser undoes: backslashes
// before a quote are doubled and the quote escaped.
std::string Quote(const std::string& argument)
{
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, '\\');
  quoted.push_back('"');
  return quoted;
}

}  // namespace

int main(int argc, char** argv)
{
  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) commandLine.push_back(' ');
    commandLine += Quote(argv[i] != nullptr ? argv[i] : "");
  }
  return WinMain(GetModuleHandleW(nullptr), nullptr, RuntimeCommandTail(commandLine.data()),
                 SW_SHOWDEFAULT);
}
