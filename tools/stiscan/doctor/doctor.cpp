#include "doctor/doctor.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "console/json.h"
#include "console/options.h"
#include "console/text.h"

namespace stiscan {

namespace {

using Status = Check::Status;

// The longest string value the server reads: 520 bytes with the terminator.
constexpr size_t kMostValueUnits = 259;

const char kReinstall[] = "install the package again (msiexec /i stibridge.msi)";

unsigned Read16(const unsigned char* at)
{
  return unsigned(at[0]) | unsigned(at[1]) << 8;
}

uint32_t Read32(const unsigned char* at)
{
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

std::string Hex(unsigned long value)
{
  char text[16];
  std::snprintf(text, sizeof text, "0x%lX", value);
  return text;
}

std::string Quote(const std::string& text)
{
  return "\"" + text + "\"";
}

Check Named(std::string id, std::string title, std::string scanner = {})
{
  Check check;
  check.id = std::move(id);
  check.title = std::move(title);
  check.scanner = std::move(scanner);
  return check;
}

Check Failed(Check check, std::string found, std::string remedy, int exitCode)
{
  check.status = Status::kFailed;
  check.found = std::move(found);
  check.remedy = std::move(remedy);
  check.exitCode = exitCode;
  return check;
}

Check Done(Check check, Status status, std::string found, std::string remedy = {})
{
  check.status = status;
  check.found = std::move(found);
  check.remedy = std::move(remedy);
  return check;
}

std::string BitsOf(unsigned machine)
{
  return machine == kMachineX64   ? "64-bit"
         : machine == kMachineX86 ? "32-bit"
                                  : "machine " + Hex(machine);
}

// What is wrong with a registered file that must be a `machine` program or
// DLL (a proxy, exporting what COM calls); empty when nothing is.
std::string FileProblem(const FileFacts& file, unsigned machine, bool dll)
{
  if (!file.exists) return "which does not exist";
  if (!file.readable) return "which cannot be read";
  if (!file.kind.portable) return "which is not a Windows program or DLL";
  if (file.kind.machine != machine || file.kind.dll != dll)
    return "a " + BitsOf(file.kind.machine) + (file.kind.dll ? " DLL" : " program") + ", not the " +
           BitsOf(machine) + (dll ? " proxy" : " server");
  if (!dll) return {};
  if (!file.exportsRead) return "a " + BitsOf(machine) + " DLL whose export table cannot be read";
  std::string missing;
  for (const char* name : kProxyExports) {
    bool found = false;
    for (const std::string& exported : file.exports) found = found || exported == name;
    if (!found) missing += (missing.empty() ? "" : " and ") + std::string(name);
  }
  if (!missing.empty())
    return "a " + BitsOf(machine) + " DLL that does not export " + missing +
           ", which COM calls in a proxy";
  return {};
}

bool IsServer(const FileFacts& file)
{
  return FileProblem(file, kMachineX64, false).empty();
}

bool IsProxy(const FileFacts& file, unsigned machine)
{
  return FileProblem(file, machine, true).empty();
}

Check Registration(const DoctorFacts& facts)
{
  const Check check = Named("registration", "server registration");
  const std::string where = "HKCR\\CLSID\\" + facts.classId + "\\LocalServer32";
  const FileFacts& server = facts.server;
  if (server.path.empty())
    return Failed(check,
                  where + " is not in the 64-bit registry view: the server is not registered",
                  "install the package (msiexec /i stibridge.msi), or run stibridge.exe /RegServer "
                  "as an administrator",
                  kExitNotRegistered);
  const std::string problem = FileProblem(server, kMachineX64, false);
  if (!server.exists)
    return Failed(check, where + " names " + server.path + ", " + problem,
                  std::string(kReinstall) + ", or run /RegServer of the stibridge.exe you keep",
                  kExitNotRegistered);
  if (!problem.empty())
    return Failed(check, where + " names " + server.path + ", " + problem,
                  "register the 64-bit stibridge.exe: run it with /RegServer as an administrator",
                  kExitNotRegistered);
  // COM hands the value to CreateProcess as a command line: unquoted, a
  // path with a space is split there, and C:\Program.exe is tried before
  // C:\Program Files\...; the server still starts as long as no such
  // program exists.
  const size_t first = facts.serverValue.find_first_not_of(" \t");
  if (server.path.find(' ') != std::string::npos &&
      (first == std::string::npos || facts.serverValue[first] != '"'))
    return Done(check, Status::kWarning,
                where + " names " + server.path +
                    ", a 64-bit program, without quotes around a path with a space: COM may start "
                    "a program named by the part before the space instead",
                std::string(kReinstall) +
                    ", or run /RegServer of this version's stibridge.exe as an administrator "
                    "(both write the path in quotes)");
  return Done(check, Status::kOk, where + " names " + server.path + ", a 64-bit program");
}

Check Proxy(const DoctorFacts& facts, int view)
{
  const ProxyFacts& proxy = view == 32 ? facts.proxy32 : facts.proxy64;
  const Check check = Named(view == 32 ? "proxy-x86" : "proxy-x64",
                            view == 32 ? "proxy, 32-bit view" : "proxy, 64-bit view");
  const std::string remedy = view == 32
                                 ? "register the x86 stibridgeps.dll with the 32-bit regsvr32 "
                                   "(%SystemRoot%\\SysWOW64\\regsvr32.exe), or " +
                                       std::string(kReinstall)
                                 : "register the x64 stibridgeps.dll with the 64-bit regsvr32 "
                                   "(%SystemRoot%\\System32\\regsvr32.exe), or " +
                                       std::string(kReinstall);
  const unsigned machine = view == 32 ? kMachineX86 : kMachineX64;
  const std::string bits = BitsOf(machine);
  if (proxy.proxyClass.empty())
    return Failed(check,
                  "HKCR\\Interface\\" + facts.interfaceId + "\\ProxyStubClsid32 is not in the " +
                      bits + " registry view: the interface has no proxy/stub for " + bits +
                      " programs",
                  remedy, kExitNotRegistered);
  const std::string where = "HKCR\\CLSID\\" + proxy.proxyClass + "\\InprocServer32";
  if (proxy.file.path.empty())
    return Failed(check, "the interface's proxy/stub class has no " + where, remedy,
                  kExitNotRegistered);
  const std::string problem = FileProblem(proxy.file, machine, true);
  if (!problem.empty())
    return Failed(check, where + " names " + proxy.file.path + ", " + problem, remedy,
                  kExitNotRegistered);
  std::string found = "the interface's proxy/stub " + proxy.proxyClass + " is " + proxy.file.path +
                      ", a " + bits + " DLL that exports " + kProxyExports[0] + " and " +
                      kProxyExports[1];
  // What a 64-bit program cannot find out about a 32-bit DLL.
  if (view == 32 && facts.bits == 64)
    found +=
        "; whether a 32-bit program loads it and reaches the server through it cannot be "
        "tried from this 64-bit stiscan: the 32-bit stiscan doctor tries it";
  return Done(check, Status::kOk, found);
}

std::string ActivationRemedy(unsigned long hr)
{
  switch (hr) {
    case 0x80040154ul:  // REGDB_E_CLASSNOTREG
      return "register the server again: run stibridge.exe /RegServer as an administrator";
    case 0x80004002ul:  // E_NOINTERFACE
      return "register the stibridgeps.dll of this program's bitness again, with the regsvr32 of "
             "that bitness";
  }
  return std::string(kReinstall) + "; if the failure stays, report its code";
}

Check Activation(const DoctorFacts& facts)
{
  const Check check = Named("activation", "activation");
  const ActivationFacts& a = facts.activation;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", a.seconds);
  const std::string client = " (from this " + std::to_string(facts.bits) + "-bit stiscan)";
  switch (a.state) {
    case ActivationFacts::State::kNotTried:
      return Done(check, Status::kSkipped,
                  IsServer(facts.server)
                      ? "not tried: this " + std::to_string(facts.bits) +
                            "-bit stiscan has no proxy of its bitness to call the server through"
                      : "not tried: the server is not registered as a 64-bit program that exists");
    case ActivationFacts::State::kTimedOut:
      return Failed(
          check,
          "CoCreateInstance did not answer within " + std::to_string(kActivationLimitSeconds) +
              " s" + client,
          "end the stibridge.exe that hangs (taskkill /im stibridge.exe /f) and try again",
          kExitFailure);
    case ActivationFacts::State::kFailed:
      return Failed(
          check,
          "CoCreateInstance failed after " + std::string(seconds) + client + ": " + a.failure,
          ActivationRemedy(a.hr), a.exitCode);
    case ActivationFacts::State::kAnswered:
      break;
  }
  return Done(check, Status::kOk,
              "the server answered CoCreateInstance in " + std::string(seconds) + client);
}

// Why the server does not serve a device: the model table's reason.
std::string NotServedReason(const DeviceFacts& device)
{
  switch (device.model) {
    case Model::kWia:
      return "a WIA entry, which the server does not serve";
    case Model::kNotServed:
      return "no model the server serves";
    case Model::kServed:
      break;
  }
  return "a model the server serves, but the server does not list it";
}

// The scanners check, and the devices whose values and settings are checked
// after it: those the server accepts (or would, by its model table, when it
// could not be asked), or the one --device names.
Check Scanners(const DoctorFacts& facts, std::vector<const DeviceFacts*>& accepted)
{
  const Check check = Named("scanners", "scanners");
  if (facts.devices.empty())
    return Failed(check,
                  "no STI device is installed (" + facts.classKey + " holds no device record)",
                  "install the scanner's driver package (its TWAIN entry)", kExitNoDevice);
  const ActivationFacts& a = facts.activation;
  if (a.state == ActivationFacts::State::kAnswered && !a.listed)
    return Failed(check, "the server could not list the STI devices: " + a.listFailure,
                  "make sure the Still Image service runs (sc start stisvc) and the scanner's "
                  "driver is installed",
                  kExitFailure);
  const bool asked = a.state == ActivationFacts::State::kAnswered;
  std::string list;
  for (const DeviceFacts& device : facts.devices) {
    const bool accepts = asked ? device.listed : device.model == Model::kServed;
    if (accepts) accepted.push_back(&device);
    list += (list.empty() ? "" : "; ") + Quote(device.localName) + " (" + device.key + ", " +
            device.description + "): " + (accepts ? "accepted" : NotServedReason(device));
  }
  const std::string count = std::to_string(accepted.size()) + " of the " +
                            std::to_string(facts.devices.size()) + " STI devices: " + list;
  const std::string found =
      asked ? "the server accepts " + count
            : "the server could not be asked; by its model table it would accept " + count;
  if (accepted.empty())
    return Failed(check, found,
                  "install the TWAIN driver of a scanner the server serves (its WIA entry alone "
                  "is not served)",
                  kExitNoDevice);
  if (!facts.deviceWanted.empty()) {
    std::vector<const DeviceFacts*> named;
    for (const DeviceFacts* device : accepted)
      if (device->localName == facts.deviceWanted) named.push_back(device);
    accepted = named;
    if (accepted.empty())
      return Failed(check, found + "; none is named " + Quote(facts.deviceWanted),
                    "name one of the accepted scanners with --device, or leave it out to check "
                    "them all",
                    kExitNoDevice);
  }
  return Done(check, asked ? Status::kOk : Status::kSkipped, found);
}

// What is wrong with one device value, or empty.
std::string ValueProblem(const ValueFacts& value, const char* name)
{
  switch (value.state) {
    case ValueFacts::State::kMissing:
      return std::string("no ") + Quote(name);
    case ValueFacts::State::kNotText:
      return Quote(name) + " that is not a string";
    case ValueFacts::State::kRead:
      break;
  }
  if (value.units == 0) return Quote(name) + " that is empty";
  if (value.units > kMostValueUnits)
    return Quote(name) + " longer than the " + std::to_string(kMostValueUnits) +
           " characters the server reads";
  return {};
}

bool Usable(const ValueFacts& value)
{
  return ValueProblem(value, "").empty();
}

Check DeviceValues(const DoctorFacts& facts, const DeviceFacts& device)
{
  Check check = Named("device-values", "values of " + Quote(device.localName), device.localName);
  const std::string where = facts.classKey + "\\" + device.key + "\\DeviceData";
  std::string problems;
  for (const std::string& problem : {ValueProblem(device.userDataKey, "UserDataKey"),
                                     ValueProblem(device.filingPath, "FilingPath")})
    if (!problem.empty()) problems += (problems.empty() ? "" : " and ") + problem;
  if (!problems.empty())
    return Failed(check, where + " holds " + problems,
                  "install the scanner's driver again: it writes UserDataKey (the key of your "
                  "settings) and FilingPath (the folder of its thumbnails)",
                  kExitFailure);
  const std::string values =
      "UserDataKey " + device.userDataKey.text + "; FilingPath " + device.filingPath.text;
  if (!device.folderExists)
    return Failed(check, values + ", a folder that does not exist",
                  "make the folder: md " + Quote(device.filingPath.text), kExitFailure);
  return Done(check, Status::kOk, values + " (the folder exists)");
}

Check UserSettings(const DeviceFacts& device)
{
  const Check check =
      Named("user-settings", "your settings for " + Quote(device.localName), device.localName);
  if (!Usable(device.userDataKey))
    return Done(check, Status::kSkipped, "not looked at: the scanner names no usable key");
  const std::string key = "HKCU\\" + device.userDataKey.text;
  if (!device.userKeyExists)
    return Failed(check, key + " does not exist: no settings and no PIN of yours for this scanner",
                  "set yourself up for this scanner in the scanner's own tools, which make this "
                  "key and store your PIN in it",
                  kExitFailure);
  if (!device.pinSet)
    return Done(check, Status::kWarning, key + " exists; no PIN is set in it (TrvUserPIN)",
                "if your store on the scanner has a PIN, store it with the scanner's own tools");
  return Done(check, Status::kOk, key + " exists; a PIN is set");
}

const char* StatusName(Status status)
{
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kWarning:
      return "warning";
    case Status::kFailed:
      return "failed";
    case Status::kSkipped:
      break;
  }
  return "skipped";
}

}  // namespace

ExecutableKind ExecutableKindOf(const unsigned char* bytes, size_t size)
{
  ExecutableKind kind;
  // The DOS header's e_lfanew at 0x3C gives where "PE\0\0" and the file
  // header (machine at +4, characteristics at +22) are.
  if (bytes == nullptr || size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return kind;
  const size_t pe = size_t(bytes[0x3C]) | size_t(bytes[0x3D]) << 8 | size_t(bytes[0x3E]) << 16 |
                    size_t(bytes[0x3F]) << 24;
  if (pe > size || size - pe < 24 || bytes[pe] != 'P' || bytes[pe + 1] != 'E' ||
      bytes[pe + 2] != 0 || bytes[pe + 3] != 0) {
    return kind;
  }
  constexpr unsigned kImageFileDll = 0x2000;
  kind.portable = true;
  kind.machine = Read16(bytes + pe + 4);
  kind.dll = (Read16(bytes + pe + 22) & kImageFileDll) != 0;
  return kind;
}

bool ExportedNames(const unsigned char* bytes, size_t size, std::vector<std::string>& names)
{
  names.clear();
  const ExecutableKind kind = ExecutableKindOf(bytes, size);
  if (!kind.portable) return false;
  const size_t pe = Read32(bytes + 0x3C);
  const size_t sections = Read16(bytes + pe + 6);
  const size_t optional = pe + 24, optionalBytes = Read16(bytes + pe + 20);
  if (optionalBytes < 2 || size - optional < optionalBytes) return false;
  // The export directory, the first of the data directories, which follow
  // the optional header's fixed part: 96 bytes of it in PE32, 112 in PE32+.
  const unsigned magic = Read16(bytes + optional);
  const size_t fixed = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  if (fixed == 0 || optionalBytes < fixed + 8 || Read32(bytes + optional + fixed - 4) < 1)
    return false;
  const uint32_t exportRva = Read32(bytes + optional + fixed);
  if (exportRva == 0) return true;  // it exports nothing
  const size_t table = optional + optionalBytes;
  if (sections > 96 || size - table < sections * 40) return false;
  // An address as an offset into the file, through the section that holds it.
  const auto offset = [&](uint32_t rva, size_t bytesWanted, size_t& out) {
    for (size_t i = 0; i < sections; ++i) {
      const unsigned char* section = bytes + table + 40 * i;
      const uint32_t start = Read32(section + 12);
      const uint32_t length = std::max(Read32(section + 8), Read32(section + 16));
      if (rva < start || rva - start >= length) continue;
      const uint64_t at = uint64_t{Read32(section + 20)} + (rva - start);
      if (at > size || size - at < bytesWanted) return false;
      out = static_cast<size_t>(at);
      return true;
    }
    return false;
  };
  size_t directory = 0, list = 0;
  if (!offset(exportRva, 40, directory)) return false;
  const uint32_t count = Read32(bytes + directory + 24);
  if (count > 65536 || !offset(Read32(bytes + directory + 32), 4 * size_t{count}, list))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    size_t name = 0;
    if (!offset(Read32(bytes + list + 4 * i), 1, name)) return false;
    std::string text;
    while (name < size && bytes[name] != 0 && text.size() < 512)
      text += static_cast<char>(bytes[name++]);
    if (name >= size || bytes[name] != 0) return false;
    names.push_back(text);
  }
  return true;
}

bool ActivationPossible(const DoctorFacts& facts)
{
  const ProxyFacts& own = facts.bits == 32 ? facts.proxy32 : facts.proxy64;
  return IsServer(facts.server) && IsProxy(own.file, facts.bits == 32 ? kMachineX86 : kMachineX64);
}

std::vector<Check> Diagnose(const DoctorFacts& facts)
{
  std::vector<Check> checks = {Registration(facts), Proxy(facts, 32), Proxy(facts, 64),
                               ClassKeyIn32BitView(facts), Activation(facts)};
  std::vector<const DeviceFacts*> accepted;
  checks.push_back(Scanners(facts, accepted));
  for (const DeviceFacts* device : accepted) {
    checks.push_back(DeviceValues(facts, *device));
    checks.push_back(UserSettings(*device));
  }
  return checks;
}

int DoctorExitCode(const std::vector<Check>& checks)
{
  for (const Check& check : checks)
    if (check.status == Status::kFailed) return check.exitCode;
  return kExitSuccess;
}

std::string DoctorReport(const std::vector<Check>& checks, int bits, bool json)
{
  const int code = DoctorExitCode(checks);
  // Only a data source's bitness can try what a data source does.
  const bool known = code != 0 || bits == 32;
  if (json) {
    std::string out = "{\"works\": " +
                      std::string(!known      ? "null"
                                  : code == 0 ? "true"
                                              : "false") +
                      ", \"exitCode\": " + std::to_string(code) +
                      ", \"bits\": " + std::to_string(bits) + ", \"checks\": [";
    for (size_t i = 0; i < checks.size(); ++i) {
      const Check& c = checks[i];
      out += std::string(i == 0 ? "" : ", ") + "{\"id\": " + JsonString(c.id) +
             ", \"title\": " + JsonString(c.title) +
             (c.scanner.empty() ? "" : ", \"scanner\": " + JsonString(c.scanner)) +
             (c.file.empty() ? "" : ", \"file\": " + JsonString(c.file)) +
             ", \"status\": " + JsonString(StatusName(c.status)) +
             ", \"found\": " + JsonString(c.found) +
             (c.remedy.empty() ? "" : ", \"remedy\": " + JsonString(c.remedy)) + "}";
    }
    return out + "]}\n";
  }
  std::string out;
  int failed = 0, warned = 0;
  const Check* first = nullptr;
  for (const Check& c : checks) {
    std::string status = c.status == Status::kFailed ? "FAILED" : StatusName(c.status);
    status.resize(9, ' ');
    out += status + Printable(c.title) + ": " + Printable(c.found) + "\n";
    if (!c.remedy.empty()) out += "         to do: " + Printable(c.remedy) + "\n";
    if (c.status == Status::kFailed && first == nullptr) first = &c;
    failed += c.status == Status::kFailed ? 1 : 0;
    warned += c.status == Status::kWarning ? 1 : 0;
  }
  if (first != nullptr)
    return out + "A data source would not work: " + std::to_string(failed) + " of " +
           std::to_string(checks.size()) + " checks failed (the first: " + Printable(first->title) +
           ").\n";
  if (!known)
    return out + "Nothing this " + std::to_string(bits) +
           "-bit stiscan can see stands in a data source's way" +
           (warned == 0
                ? std::string()
                : " (" + std::to_string(warned) + (warned == 1 ? " warning)" : " warnings)")) +
           "; whether a data source, a 32-bit program, would work only the 32-bit stiscan doctor "
           "can tell.\n";
  return out + "A data source would work" +
         (warned == 0
              ? std::string(".")
              : " (" + std::to_string(warned) + (warned == 1 ? " warning)." : " warnings).")) +
         "\n";
}

}  // namespace stiscan
