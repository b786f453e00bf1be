// The doctor's checks: executable headers, exported names, the first
// failing check of a machine with its exit code, and the files' signatures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "doctor/signatures.h"

namespace {

using namespace stiscan;

// The first bytes of a program or DLL as the linker writes them: the DOS
// header, whose e_lfanew leads to "PE\0\0" and the file header.
std::vector<unsigned char> PeHead(unsigned machine, bool dll, size_t lfanew = 0x80)
{
  std::vector<unsigned char> head(lfanew + 24, 0);
  head[0] = 'M';
  head[1] = 'Z';
  head[0x3C] = static_cast<unsigned char>(lfanew);
  head[0x3D] = static_cast<unsigned char>(lfanew >> 8);
  std::memcpy(head.data() + lfanew, "PE\0\0", 4);
  head[lfanew + 4] = static_cast<unsigned char>(machine);
  head[lfanew + 5] = static_cast<unsigned char>(machine >> 8);
  head[lfanew + 23] = dll ? 0x20 : 0x00;  // IMAGE_FILE_DLL
  return head;
}

TEST(StiscanDoctor, ExecutableHeaders)
{
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    bool portable, dll;
    unsigned machine;
  };
  std::vector<unsigned char> cut = PeHead(kMachineX64, false);
  cut.pop_back();
  std::vector<unsigned char> noSignature = PeHead(kMachineX64, false);
  noSignature[0x81] = 'X';
  std::vector<unsigned char> beyond = PeHead(kMachineX64, false);
  beyond[0x3D] = 0x10;  // e_lfanew past the bytes read
  const Case cases[] = {
      {"x64 program", PeHead(kMachineX64, false), true, false, kMachineX64},
      {"x86 dll", PeHead(kMachineX86, true), true, true, kMachineX86},
      {"far header", PeHead(0xAA64, false, 0x400), true, false, 0xAA64},
      {"cut in the file header", cut, false, false, 0},
      {"no PE signature", noSignature, false, false, 0},
      {"offset beyond the bytes", beyond, false, false, 0},
      {"a text file", std::vector<unsigned char>(100, 'a'), false, false, 0},
      {"empty", {}, false, false, 0},
  };
  for (const Case& c : cases) {
    const ExecutableKind kind = ExecutableKindOf(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(kind.portable, c.portable) << c.what;
    EXPECT_EQ(kind.dll, c.dll) << c.what;
    EXPECT_EQ(kind.machine, c.machine) << c.what;
  }
}

// Facts of a machine on which a data source works: one accepted scanner and
// one that is not served.
DoctorFacts HealthyFacts()
{
  DoctorFacts f;
  f.classId = "{C}";
  f.interfaceId = "{I}";
  f.classKey = "HKLM\\Class";
  const std::vector<std::string> exports = {"DllCanUnloadNow", "DllGetClassObject",
                                            "DllRegisterServer", "DllUnregisterServer"};
  f.server = {"C:\\stibridge.exe", true, true, {true, kMachineX64, false}, false, {}};
  f.proxy32 = {"{P}", {"C:\\x86\\ps.dll", true, true, {true, kMachineX86, true}, true, exports}};
  f.proxy64 = {"{P}", {"C:\\x64\\ps.dll", true, true, {true, kMachineX64, true}, true, exports}};
  f.activation.state = ActivationFacts::State::kAnswered;
  f.activation.listed = true;
  f.activation.accepted = {"Lab MFP"};
  DeviceFacts lab;
  lab.key = "0001";
  lab.localName = "Lab MFP";
  lab.model = Model::kServed;
  lab.listed = true;
  lab.userDataKey = {ValueFacts::State::kRead, "Software\\Lab", 12};
  lab.filingPath = {ValueFacts::State::kRead, "C:\\Spool", 8};
  lab.folderExists = lab.userKeyExists = lab.pinSet = true;
  DeviceFacts wia;
  wia.key = "0000";
  wia.localName = "Lab MFP (WIA)";
  wia.model = Model::kWia;
  f.devices = {wia, lab};
  return f;
}

TEST(StiscanDoctor, FirstFailingCheckAndItsExitCode)
{
  using State = ActivationFacts::State;
  struct Case {
    const char* what;
    void (*breaks)(DoctorFacts&);
    const char* failing;  // the first failed check; null: none
    int exitCode;
    bool activationPossible;
  };
  const Case cases[] = {
      {"healthy", [](DoctorFacts&) {}, nullptr, 0, true},
      {"no PIN only warns", [](DoctorFacts& f) { f.devices[1].pinSet = false; }, nullptr, 0, true},
      {"a 32-bit server", [](DoctorFacts& f) { f.server.kind.machine = kMachineX86; },
       "registration", 5, false},
      {"x64 proxy in the 32-bit view", [](DoctorFacts& f) { f.proxy32 = f.proxy64; }, "proxy-x86",
       5, false},
      {"x64 proxy gone (32-bit stiscan)", [](DoctorFacts& f) { f.proxy64.file.exists = false; },
       "proxy-x64", 5, true},
      {"x64 proxy gone (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy64.file.exists = false;
       },
       "proxy-x64", 5, false},
      {"timed out", [](DoctorFacts& f) { f.activation.state = State::kTimedOut; }, "activation", 1,
       true},
      {"no interface",
       [](DoctorFacts& f) {
         f.activation.state = State::kFailed;
         f.activation.exitCode = 5;
       },
       "activation", 5, true},
      {"no list", [](DoctorFacts& f) { f.activation.listed = false; }, "scanners", 1, true},
      {"another --device", [](DoctorFacts& f) { f.deviceWanted = "Floor 2"; }, "scanners", 3, true},
      {"UserDataKey a number",
       [](DoctorFacts& f) { f.devices[1].userDataKey.state = ValueFacts::State::kNotText; },
       "device-values", 1, true},
      {"FilingPath too long for the server",
       [](DoctorFacts& f) { f.devices[1].filingPath.units = 260; }, "device-values", 1, true},
      {"no folder", [](DoctorFacts& f) { f.devices[1].folderExists = false; }, "device-values", 1,
       true},
      // The x86 proxy as the 64-bit doctor finds it in the 32-bit view.
      {"x86 proxy without DllGetClassObject (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy32.file.exports = {"DllCanUnloadNow"};
       },
       "proxy-x86", 5, true},
      {"x86 proxy's export table unreadable (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy32.file.exportsRead = false;
       },
       "proxy-x86", 5, true},
      {"x86 proxy class without a file (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy32.file = {};
       },
       "proxy-x86", 5, true},
      {"x64 proxy without exports (32-bit stiscan)",
       [](DoctorFacts& f) { f.proxy64.file.exports.clear(); }, "proxy-x64", 5, true},
      {"healthy from 64 bits", [](DoctorFacts& f) { f.bits = 64; }, nullptr, 0, true},
      {"a class key in the 32-bit view only warns",
       [](DoctorFacts& f) {
         f.view32.classKey = true;
         f.view32.localServer = "C:\\old\\stibridge.exe";
       },
       nullptr, 0, true},
      // LocalServer32 with a space in its path: quoted it is sound, unquoted
      // COM may start C:\Program.exe instead, which only warns.
      {"server path with a space, quoted",
       [](DoctorFacts& f) {
         f.server.path = "C:\\Program Files\\stibridge.exe";
         f.serverValue = " \"C:\\Program Files\\stibridge.exe\"";
       },
       nullptr, 0, true},
      {"server path with a space, unquoted",
       [](DoctorFacts& f) {
         f.server.path = "C:\\Program Files\\stibridge.exe";
         f.serverValue = "C:\\Program Files\\stibridge.exe";
       },
       nullptr, 0, true},
  };
  for (const Case& c : cases) {
    DoctorFacts facts = HealthyFacts();
    c.breaks(facts);
    EXPECT_EQ(ActivationPossible(facts), c.activationPossible) << c.what;
    const std::vector<Check> checks = Diagnose(facts);
    const Check* failed = nullptr;
    for (const Check& check : checks) {
      if (check.status == Check::Status::kFailed && failed == nullptr) failed = &check;
      // Every check says what it found, and every one that failed what to do.
      EXPECT_FALSE(check.found.empty()) << c.what << ": " << check.id;
      EXPECT_EQ(check.remedy.empty(),
                check.status == Check::Status::kOk || check.status == Check::Status::kSkipped)
          << c.what << ": " << check.id;
    }
    EXPECT_EQ(failed == nullptr ? "" : failed->id, c.failing ? c.failing : "") << c.what;
    EXPECT_EQ(DoctorExitCode(checks), c.exitCode) << c.what;
    // Only the 32-bit stiscan, a data source's bitness, says that a data
    // source would work; the 64-bit one says who can tell.
    const std::string report = DoctorReport(checks, facts.bits, false);
    const std::string json = DoctorReport(checks, facts.bits, true);
    const char* verdict = c.failing          ? "A data source would not work"
                          : facts.bits == 32 ? "A data source would work"
                                             : "only the 32-bit stiscan doctor can tell";
    EXPECT_NE(report.find(verdict), std::string::npos) << c.what << ": " << report;
    EXPECT_EQ(report.find("A data source would work") != std::string::npos,
              !c.failing && facts.bits == 32)
        << c.what;
    const char* works = c.failing          ? "\"works\": false"
                        : facts.bits == 32 ? "\"works\": true"
                                           : "\"works\": null";
    EXPECT_EQ(json.rfind(std::string("{") + works, 0), 0u) << c.what << ": " << json;
    EXPECT_EQ(checks[0].status == Check::Status::kWarning,
              std::string(c.what) == "server path with a space, unquoted")
        << c.what << ": " << checks[0].found;
    if (!c.failing && facts.bits == 64) {
      EXPECT_NE(checks[1].found.find("cannot be tried from this 64-bit stiscan"), std::string::npos)
          << checks[1].found;
    }
  }
}

// The product's files as a machine signed by one publisher has them.
std::vector<SignatureFacts> SignedFiles()
{
  std::vector<SignatureFacts> files;
  for (const char* name : {"stibridge.exe", "stibridgeps.dll (x64)", "stibridgeps.dll (x86)",
                           "stibridge.ds (32-bit)", "stibridge.ds (64-bit)"}) {
    SignatureFacts file;
    file.name = name;
    file.path = std::string("C:\\stibridge\\") + name;
    file.exists = file.asked = true;
    file.signer = "Example Publisher";
    files.push_back(file);
  }
  return files;
}

TEST(StiscanDoctor, SignaturesAndPublishers)
{
  using Status = Check::Status;
  struct Case {
    const char* what;
    void (*changes)(std::vector<SignatureFacts>&);
    Status server;      // the first file's check
    const char* found;  // a phrase of its finding
    Status publisher;
    const char* publishers;  // a phrase of the publisher check's finding
  };
  const Case cases[] = {
      {"all signed by one", [](std::vector<SignatureFacts>&) {}, Status::kOk,
       "signed by \"Example Publisher\"; the signature is valid", Status::kOk,
       "every file looked at (5) is signed by \"Example Publisher\""},
      {"unsigned",
       [](std::vector<SignatureFacts>& f) {
         f[0].verdict = kTrustNoSignature;
         f[0].signer.clear();
       },
       Status::kWarning, "carries no signature (WinVerifyTrust: 0x800B0100)", Status::kOk,
       "the signed files (4 of the 5 looked at) are all signed by"},
      {"none signed",
       [](std::vector<SignatureFacts>& f) {
         for (SignatureFacts& file : f) {
           file.verdict = kTrustNoSignature;
           file.signer.clear();
         }
       },
       Status::kWarning, "carries no signature", Status::kSkipped, "none of the files carries"},
      {"changed after signing",
       [](std::vector<SignatureFacts>& f) { f[0].verdict = kTrustBadDigest; }, Status::kWarning,
       "was changed after \"Example Publisher\" signed it", Status::kOk, "every file"},
      {"a root nobody trusts",
       [](std::vector<SignatureFacts>& f) { f[0].verdict = kTrustUntrustedRoot; }, Status::kWarning,
       "does not lead to a root certificate this machine trusts", Status::kOk, "every file"},
      {"expired without a time stamp",
       [](std::vector<SignatureFacts>& f) { f[0].verdict = kTrustExpired; }, Status::kWarning,
       "has expired", Status::kOk, "every file"},
      {"not for code", [](std::vector<SignatureFacts>& f) { f[0].verdict = kTrustWrongUsage; },
       Status::kWarning, "not for signing code", Status::kOk, "every file"},
      {"another failure, with the system's words",
       [](std::vector<SignatureFacts>& f) {
         f[0].verdict = 0x80096019ul;
         f[0].verdictText = "0x80096019 (the basic constraint extension is not valid)";
       },
       Status::kWarning, "not valid (WinVerifyTrust: 0x80096019 (the basic", Status::kOk,
       "every file"},
      // Windows answers "no signature" for one it cannot read as such; a
      // signer found all the same makes it a signature that is not valid.
      {"a signature that cannot be read",
       [](std::vector<SignatureFacts>& f) { f[0].verdict = kTrustNoSignature; }, Status::kWarning,
       "signature is not valid", Status::kOk, "every file"},
      {"two publishers",
       [](std::vector<SignatureFacts>& f) { f[3].signer = f[4].signer = "Someone Else"; },
       Status::kOk, "signed by", Status::kWarning,
       "differ: \"Example Publisher\" (stibridge.exe, stibridgeps.dll (x64), stibridgeps.dll "
       "(x86)); \"Someone Else\" (stibridge.ds (32-bit), stibridge.ds (64-bit))"},
      {"not registered",
       [](std::vector<SignatureFacts>& f) {
         f[0].path.clear();
         f[0].exists = f[0].asked = false;
       },
       Status::kSkipped, "no registration names it", Status::kOk, "every file looked at (4)"},
      {"nothing installed",
       [](std::vector<SignatureFacts>& f) {
         for (SignatureFacts& file : f) file.exists = file.asked = false;
       },
       Status::kSkipped, "does not exist", Status::kSkipped, "no file of the product"},
  };
  for (const Case& c : cases) {
    std::vector<SignatureFacts> files = SignedFiles();
    c.changes(files);
    const std::vector<Check> checks = SignatureChecks(files);
    ASSERT_EQ(checks.size(), files.size() + 1) << c.what;
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(checks[i].id, "signature") << c.what;
      EXPECT_EQ(checks[i].file, files[i].path) << c.what;
    }
    for (const Check& check : checks) {
      // A warning says what to do; no signature check fails the doctor.
      EXPECT_EQ(check.remedy.empty(), check.status != Status::kWarning)
          << c.what << ": " << check.found;
      EXPECT_NE(check.status, Status::kFailed) << c.what;
    }
    EXPECT_EQ(checks[0].status, c.server) << c.what << ": " << checks[0].found;
    EXPECT_NE(checks[0].found.find(c.found), std::string::npos)
        << c.what << ": " << checks[0].found;
    EXPECT_EQ(checks.back().id, "publisher") << c.what;
    EXPECT_EQ(checks.back().status, c.publisher) << c.what << ": " << checks.back().found;
    EXPECT_NE(checks.back().found.find(c.publishers), std::string::npos)
        << c.what << ": " << checks.back().found;
    EXPECT_EQ(DoctorExitCode(checks), 0) << c.what;
  }
  // The report names each file's path in its JSON.
  const std::string json = DoctorReport(SignatureChecks(SignedFiles()), 32, true);
  EXPECT_NE(json.find("\"id\": \"signature\", \"title\": \"signature of stibridge.exe\", "
                      "\"file\": \"C:\\\\stibridge\\\\stibridge.exe\", \"status\": \"ok\""),
            std::string::npos)
      << json;
}

// The class key in the 32-bit registry view (a leftover 32-bit
// registration that COM would give a 32-bit client asking for a local
// server) is a warning that names what it registers and how to remove it.
TEST(StiscanDoctor, AClassKeyInThe32BitViewWarns)
{
  const struct Row {
    const char* what;
    bool classKey;
    const char* localServer;
    Check::Status status;
    const char* found;
  } rows[] = {
      {"none", false, "", Check::Status::kOk, "is not in the 32-bit registry view"},
      {"with a LocalServer32", true, "C:\\old\\stibridge.exe", Check::Status::kWarning,
       "its LocalServer32 names C:\\old\\stibridge.exe"},
      {"without one", true, "", Check::Status::kWarning, "without a LocalServer32"},
  };
  for (const Row& row : rows) {
    DoctorFacts facts = HealthyFacts();
    facts.view32.classKey = row.classKey;
    facts.view32.localServer = row.localServer;
    const std::vector<Check> checks = Diagnose(facts);
    ASSERT_GE(checks.size(), 5u);
    const Check& check = checks[3];
    EXPECT_EQ(check.id, "registration-x86-view") << row.what;
    EXPECT_EQ(check.status, row.status) << row.what;
    EXPECT_NE(check.found.find(row.found), std::string::npos) << row.what << ": " << check.found;
    EXPECT_EQ(check.remedy.find("reg delete HKCR\\CLSID\\{C} /reg:32 /f") != std::string::npos,
              row.classKey)
        << row.what << ": " << check.remedy;
    EXPECT_EQ(checks[4].id, "activation") << "the key is judged before the activation";
  }
}

// A DLL as the linker lays it out: DOS header, PE header, the optional
// header of PE32 (or PE32+) whose first data directory names the export
// table, one section holding that table and its names.
std::vector<unsigned char> DllWithExports(const std::vector<std::string>& names, bool plus)
{
  const size_t lfanew = 0x80, optional = lfanew + 24, optionalBytes = plus ? 240 : 224;
  const size_t table = optional + optionalBytes, raw = 0x400;
  const uint32_t base = 0x2000;  // the section's address
  std::vector<unsigned char> bytes = PeHead(plus ? kMachineX64 : kMachineX86, true, lfanew);
  bytes.resize(raw, 0);
  const auto put16 = [&](size_t at, unsigned v) {
    bytes[at] = static_cast<unsigned char>(v);
    bytes[at + 1] = static_cast<unsigned char>(v >> 8);
  };
  const auto put32 = [&](size_t at, uint32_t v) {
    if (bytes.size() < at + 4) bytes.resize(at + 4, 0);
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put16(lfanew + 6, 1);  // one section
  put16(lfanew + 20, static_cast<unsigned>(optionalBytes));
  put16(optional, plus ? 0x20B : 0x10B);
  const size_t directories = optional + (plus ? 112 : 96);
  put32(directories - 4, 16);  // NumberOfRvaAndSizes
  put32(directories, base);    // the export table, at the section's start
  // The section: virtual size, address, raw size, raw offset.
  put32(table + 8, 0x1000);
  put32(table + 12, base);
  put32(table + 16, 0x1000);
  put32(table + 20, static_cast<uint32_t>(raw));
  // The export directory, then the array of name addresses, then the names.
  const uint32_t list = base + 40;
  put32(raw + 24, static_cast<uint32_t>(names.size()));
  put32(raw + 32, list);
  uint32_t next = list + 4 * static_cast<uint32_t>(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    put32(raw + (list - base) + 4 * i, next);
    const size_t at = raw + (next - base);
    bytes.resize(std::max(bytes.size(), at + names[i].size() + 1), 0);
    std::memcpy(bytes.data() + at, names[i].c_str(), names[i].size() + 1);
    next += static_cast<uint32_t>(names[i].size() + 1);
  }
  bytes.resize(raw + 0x1000, 0);
  return bytes;
}

TEST(StiscanDoctor, ExportedNames)
{
  const std::vector<std::string> proxy = {"DllCanUnloadNow", "DllGetClassObject",
                                          "DllRegisterServer", "DllUnregisterServer"};
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    bool read;
    std::vector<std::string> names;
  };
  std::vector<unsigned char> noTable = DllWithExports({}, false);
  noTable[0x80 + 24 + 96] = noTable[0x80 + 24 + 97] = 0;  // no export directory
  std::vector<unsigned char> astray = DllWithExports(proxy, false);
  astray[0x80 + 24 + 96 + 2] = 0x7f;  // the table's address in no section
  std::vector<unsigned char> cut = DllWithExports(proxy, true);
  cut.resize(0x400 + 60);  // the names' array cut short
  std::vector<unsigned char> unterminated = DllWithExports({"DllGetClassObject"}, false);
  unterminated.resize(unterminated.size() - 0x1000 + 40 + 4 + 17);
  std::vector<unsigned char> magic = DllWithExports(proxy, false);
  magic[0x80 + 24] = 0x07;  // neither PE32 nor PE32+
  const Case cases[] = {
      {"a PE32 proxy", DllWithExports(proxy, false), true, proxy},
      {"a PE32+ proxy", DllWithExports(proxy, true), true, proxy},
      {"exports nothing", noTable, true, {}},
      {"an export table outside every section", astray, false, {}},
      {"cut in its names", cut, false, {}},
      {"a name without its end", unterminated, false, {}},
      {"an optional header of no kind", magic, false, {}},
      {"not a PE file", std::vector<unsigned char>(4096, 'x'), false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names = {"left over"};
    EXPECT_EQ(ExportedNames(c.bytes.data(), c.bytes.size(), names), c.read) << c.what;
    EXPECT_EQ(names, c.names) << c.what;
  }
}

}  // namespace
