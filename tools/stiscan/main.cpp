// stiscan: a command-line client that plays the 32-bit data source through
// the scanner server: it lists the accepted scanners and the jobs stored on
// them, shows and changes the scan settings, brings pages over by any of the
// three transfers, and reports the scanner's signals.
#include <string>
#include <vector>

#include "commands/commands.h"
#include "console/messages.h"
#include "console/options.h"
#include "console/output.h"
#include "console/text.h"

// The arguments come as UTF-16, so that a name the ANSI code page cannot
// hold ("Büro" under code page 932) arrives as it was typed.
int wmain(int argc, wchar_t** argv)
{
  using namespace stiscan;
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(Narrow(std::wstring(argv[i])));
  std::vector<const char*> pointers;
  for (const std::string& word : words) pointers.push_back(word.c_str());

  Options options;
  std::string error;
  if (!ParseOptions(argc, pointers.data(), options, error)) {
    Err("stiscan: " + Printable(error) + "\n");
    return kExitUsage;
  }
  if (options.help) {
    Out(HelpText(options.command));
    return kExitSuccess;
  }
  if (options.version) return ShowVersions();
  if (options.command == "devices") return ListDevices(options);
  if (options.command == "jobs") return ListJobs(options);
  if (options.command == "pull") return Pull(options);
  if (options.command == "settings") return Settings(options);
  if (options.command == "doctor") return Doctor(options);
  return Watch(options);
}
