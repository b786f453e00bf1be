// stiscan: a command-line client that plays the 32-bit data source through
// the scanner server: it lists the accepted scanners and the jobs stored on
// them, shows and changes the scan settings, brings pages over by any of the
// three transfers, and reports the scanner's signals.
#include <cstdio>
#include <string>

#include "commands.h"
#include "options.h"
#include "version.h"

int main(int argc, char** argv)
{
  using namespace stiscan;
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "stiscan: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(HelpText(options.command).c_str(), stdout);
    return kExitSuccess;
  }
  if (options.version) return ShowVersions();
  if (options.command == "devices") return ListDevices(options);
  if (options.command == "jobs") return ListJobs(options);
  if (options.command == "pull") return Pull(options);
  if (options.command == "settings") return Settings(options);
  return Watch(options);
}
