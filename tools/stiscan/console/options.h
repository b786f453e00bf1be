// The command line of stiscan: a command and its options.
#pragma once

#include <string>

namespace stiscan {

// Exit codes, as the help text lists them.
enum ExitCode {
  kExitSuccess = 0,
  kExitFailure = 1,
  kExitUsage = 2,
  kExitNoDevice = 3,
  kExitAccessDenied = 4,
  kExitNotRegistered = 5,
  kExitTransferFailed = 6,
};

// The read size a pull uses unless --chunk says otherwise: the fastest of
// the sizes measured across the process boundary (see bench/README.md).
constexpr long kDefaultChunk = 1024 * 1024;
constexpr long kLargestChunk = 64 * 1024 * 1024;

struct Options {
  std::string command;  // devices, jobs, pull, settings, watch; empty with --help alone
  bool help = false;
  bool version = false;  // --version: stiscan's and the installed server's version
  bool json = false;
  std::string device;               // a local name, as `stiscan devices` lists it
  std::string job;                  // pull: one job by its item name
  bool all = false;                 // pull: every job the user may access (also the default)
  std::string transfer = "native";  // native, memory, file
  std::string format = "pdf";       // pdf, tiff, png, jpeg, bmp
  int jpegQuality = 0;              // 1 to 100; 0: not given (PDF pages lossless, JPEG 90)
  long chunk = kDefaultChunk;
  std::string out = "scans";
  bool deleteAfter = false;
  std::string set;  // settings: name=value,...
  std::string title;
  bool titleGiven = false;
  int seconds = 30;
  bool secondsGiven = false;
  bool pull = false;  // watch: pull every new job as it ends
  // doctor --windows-probe: the probe instead of the checks; the part it runs
  // in a process of its own (client, wayout, holder; empty: the whole probe);
  // the stiscan of the other bitness; --seconds bounds its wait for a killed
  // client's object.
  bool windowsProbe = false;
  std::string probePart;
  std::string otherStiscan;
  // The profile strings a data source gives the server: the user's name and
  // a qualifier make the per-user value names, the store names the user's
  // store on the device.
  std::string profile, qualifier = "STISCAN", store;
};

// The JPEG quality of --format jpeg when --jpeg-quality is not given.
constexpr int kDefaultJpegQuality = 90;

// Reads argv[1..argc-1]. False with a sentence in `error` for a command or
// option that is not known, an option without its value, or a value out of
// range.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);

// The help text: of the program, or of one command.
std::string HelpText(const std::string& command);

}  // namespace stiscan
