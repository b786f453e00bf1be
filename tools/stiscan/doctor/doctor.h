// stiscan doctor: the checks a data source's way to the server passes, in the
// order it meets them (the server's registration, the proxy in both registry
// views, activation, the scanners, each scanner's device values, the user's
// settings), each with what it found and, when it fails, the one thing to do.
// This part judges and words what the Windows side found (doctor_probe.cpp);
// it needs no Windows and is tested on every build.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "doctor/view32.h"

namespace stiscan {

// The machine field of a Portable Executable's file header.
constexpr unsigned kMachineX86 = 0x14C;
constexpr unsigned kMachineX64 = 0x8664;

// What a file's first bytes say it is.
struct ExecutableKind {
  bool portable = false;  // an MZ header whose offset leads to a PE signature and file header
  unsigned machine = 0;
  bool dll = false;
};

// Reads the DOS header, the PE signature and the file header (machine and
// characteristics) from `size` bytes; anything cut short or not signed is not
// a portable executable.
ExecutableKind ExecutableKindOf(const unsigned char* bytes, size_t size);

// The names a DLL exports, read from its `size` bytes: the export directory
// that the optional header (PE32 or PE32+) names, found through the section
// table. False when the headers or the export table lead outside the bytes
// or are not what they must be; true with no names for a file that exports
// none.
bool ExportedNames(const unsigned char* bytes, size_t size, std::vector<std::string>& names);

// What COM calls in a proxy/stub DLL: a file without them is no proxy.
constexpr const char* kProxyExports[] = {"DllGetClassObject", "DllCanUnloadNow"};

// A file that the registry names.
struct FileFacts {
  std::string path;  // UTF-8; empty: the registry names none
  bool exists = false;
  bool readable = false;
  ExecutableKind kind;  // of a readable file
  // A DLL's: whether its export table was read, and what it exports.
  bool exportsRead = false;
  std::vector<std::string> exports;
};

// One registry view's proxy/stub for the interface: the interface key's
// ProxyStubClsid32 names a class whose InprocServer32 names the file. A
// 64-bit stiscan looks at the 32-bit view's file where a 32-bit program
// finds it (System32 is SysWOW64 to it).
struct ProxyFacts {
  std::string proxyClass;  // empty: the interface has no proxy in this view
  FileFacts file;
};

// A string value as the server reads it.
struct ValueFacts {
  enum class State { kMissing, kNotText, kRead };
  State state = State::kMissing;
  std::string text;  // kRead (UTF-8)
  size_t units = 0;  // its UTF-16 length
};

// What the model table says of a device's description.
enum class Model { kServed, kWia, kNotServed };

// One STI device record under the imaging class key.
struct DeviceFacts {
  std::string key;  // the record's subkey, "0001"
  std::string localName, description;
  Model model = Model::kNotServed;
  bool listed = false;  // the server lists it among the scanners it accepts
  ValueFacts userDataKey, filingPath;
  bool folderExists = false;  // the folder FilingPath names
  bool userKeyExists = false;
  // Whether TrvUserPIN in the user's key holds a PIN the server would send
  // (a string of at least one unit that fits 259). The PIN itself is never
  // kept.
  bool pinSet = false;
};

struct ActivationFacts {
  enum class State { kNotTried, kTimedOut, kFailed, kAnswered };
  State state = State::kNotTried;
  double seconds = 0;
  unsigned long hr = 0;  // kFailed: CoCreateInstance's result
  std::string failure;   // kFailed: that result described
  int exitCode = 1;      // kFailed: the exit code stiscan gives that result
  // kAnswered: InitializeSti and EnumerateDevices.
  bool listed = false;
  std::string listFailure;  // when not listed: the result described
  std::vector<std::string> accepted;
};

struct DoctorFacts {
  int bits = 32;  // this stiscan's
  std::string classId, interfaceId, classKey;
  FileFacts server;  // the class's LocalServer32 in the 64-bit view
  // That value as it stands (UTF-8): quoted or not, with any arguments.
  std::string serverValue;
  ProxyFacts proxy32, proxy64;
  View32Facts view32;  // the class in the 32-bit registry view
  ActivationFacts activation;
  std::vector<DeviceFacts> devices;
  std::string deviceWanted;  // --device
};

// How long activation (CoCreateInstance and the first two calls) may take.
constexpr int kActivationLimitSeconds = 30;

struct Check {
  enum class Status { kOk, kWarning, kFailed, kSkipped };
  std::string
      id;  // registration, proxy-x86, proxy-x64, registration-x86-view, activation, scanners,
           // device-values, user-settings
  std::string title;    // for people
  std::string scanner;  // the local name, for the checks of one scanner
  std::string file;     // the path, for the checks of one file
  Status status = Status::kOk;
  std::string found;
  std::string remedy;  // failed or warning: the one thing to do
  int exitCode = 0;    // failed
};

// Whether the registration checks allow an activation to be tried: the
// server is registered as a 64-bit program that exists, and the proxy of
// this stiscan's bitness is registered (a client without it reaches the
// server but cannot use it, and the object made there would be left behind).
bool ActivationPossible(const DoctorFacts& facts);

// The checks in their order.
std::vector<Check> Diagnose(const DoctorFacts& facts);

// 0 when no check failed, else the exit code of the first that did.
int DoctorExitCode(const std::vector<Check>& checks);

// The report: lines for people, or one JSON object. Only the 32-bit
// stiscan, a data source's bitness, says that a data source would work (JSON
// "works": true); the 64-bit one, finding nothing wrong, says what only the
// 32-bit one can tell ("works": null).
std::string DoctorReport(const std::vector<Check>& checks, int bits, bool json);

}  // namespace stiscan
