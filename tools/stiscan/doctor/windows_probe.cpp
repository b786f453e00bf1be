#include "doctor/windows_probe.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "console/json.h"
#include "console/messages.h"
#include "console/output.h"
#include "server/connection.h"
#include "server/probe_record.h"
#include "stibridge.h"

namespace stiscan {

namespace {

using probe_record::Learned;
using probe_record::Record;

// The owner SID of a job of somebody else's: a domain account nobody here is.
constexpr wchar_t kForeignSid[] = L"S-1-5-21-1111111111-2222222222-3333333333-1107";

const wchar_t* RecordName()
{
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 on Windows");
  return reinterpret_cast<const wchar_t*>(probe_record::kName);
}

// The record, made by the probe or opened by one of its parts; unmapped and
// closed at the end.
class Section {
 public:
  Section() = default;
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;
  ~Section()
  {
    if (record_ != nullptr) UnmapViewOfFile(record_);
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  bool Open(bool make)
  {
    handle_ = make ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(Record), RecordName())
                   : OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, RecordName());
    if (handle_ != nullptr)
      record_ = static_cast<Record*>(
          MapViewOfFile(handle_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Record)));
    return record_ != nullptr;
  }
  // Another process writes it: every read goes to the memory.
  volatile Record& Get() { return *record_; }

 private:
  HANDLE handle_ = nullptr;
  Record* record_ = nullptr;
};

std::string Hex(long value)
{
  return Format("0x%08lX", static_cast<unsigned long>(value));
}

// An HRESULT with what it means here.
std::string Result(HRESULT hr)
{
  const char* meaning = nullptr;
  switch (static_cast<unsigned long>(hr)) {
    case 0x00000000ul:
      meaning = "S_OK";
      break;
    case 0x00000001ul:
      meaning = "S_FALSE";
      break;
    case 0x80004001ul:
      meaning = "E_NOTIMPL: not implemented";
      break;
    case 0x80010117ul:
      meaning = "RPC_E_CALL_COMPLETE: no call context";
      break;
    case 0x80070005ul:
      meaning = "E_ACCESSDENIED";
      break;
  }
  return "{\"code\": " + JsonString(Hex(hr)) +
         (meaning != nullptr ? ", \"meaning\": " + JsonString(meaning) : std::string()) + "}";
}

std::string UserSid()
{
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  LPWSTR text = nullptr;
  std::string sid;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    sid = Narrow(text);
    LocalFree(text);
  }
  CloseHandle(token);
  return sid;
}

void PutSid(volatile char16_t (&field)[80], const std::wstring& sid)
{
  for (size_t i = 0; i < std::size(field); ++i)
    field[i] = i < sid.size() && i + 1 < std::size(field) ? static_cast<char16_t>(sid[i]) : 0;
}

// Whom a process id is: this client, the server, or another process.
std::string Whom(DWORD id, DWORD server)
{
  if (id == 0) return "nobody";
  if (id == GetCurrentProcessId()) return "this client";
  if (id == server) return "the server itself";
  return "another process";
}

// What the server learned of its caller in one call, as JSON, judged against
// this client.
std::string LearnedJson(const volatile Learned& learned, DWORD server)
{
  const DWORD self = GetCurrentProcessId();
  std::string watched;
  bool selfWatched = false;
  const uint32_t listed = learned.watchedCount < 4 ? learned.watchedCount : 4;
  for (uint32_t i = 0; i < listed; ++i) {
    watched += std::string(i == 0 ? "" : ", ") + std::to_string(learned.watched[i]);
    selfWatched = selfWatched || learned.watched[i] == self;
  }
  const std::string watches = learned.watchedCount == 0 ? "nobody"
                              : selfWatched && learned.watchedCount == 1
                                  ? "this client"
                              : selfWatched ? "this client among " +
                                                  std::to_string(learned.watchedCount) + " processes"
                                            : "other processes only";
  return "{\"recorded\": " + std::string(learned.calls > 0 ? "true" : "false") +
         ", \"rpcClientProcess\": {\"status\": " + std::to_string(learned.rpcStatus) +
         ", \"process\": " + std::to_string(learned.rpcProcess) +
         ", \"is\": " + JsonString(Whom(learned.rpcProcess, server)) +
         "}, \"callerThread\": {\"result\": " + Result(learned.callerThreadResult) +
         ", \"thread\": " + std::to_string(learned.callerThread) +
         ", \"process\": " + std::to_string(learned.callerThreadProcess) +
         ", \"is\": " + JsonString(Whom(learned.callerThreadProcess, server)) +
         "}, \"callingProcessInfo\": {\"result\": " + Result(learned.callingProcessInfo) +
         ", \"process\": " + std::to_string(learned.callingProcessInfoProcess) +
         ", \"is\": " + JsonString(Whom(learned.callingProcessInfoProcess, server)) +
         "}, \"watched\": [" + watched + "], \"watchedCount\": " +
         std::to_string(learned.watchedCount) + ", \"watches\": " + JsonString(watches) + "}";
}

std::string Verdict(int32_t verdict)
{
  return JsonString(verdict == 1 ? "admitted" : verdict == 0 ? "refused" : "not asked");
}

// CoCreateInstance as stiscan asks it, again after a server on its way out.
HRESULT Create(IStiScannerComBridge** bridge, ULONGLONG& milliseconds)
{
  const ULONGLONG begin = GetTickCount64();
  HRESULT hr = E_FAIL;
  for (size_t tries = 0;; ++tries) {
    *bridge = nullptr;
    hr = CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, kServerContext,
                          IID_IStiScannerComBridge, reinterpret_cast<void**>(bridge));
    if (SUCCEEDED(hr) || !MetAnEndingServer(hr) || tries == std::size(kRetryWaitsMs)) break;
    Sleep(kRetryWaitsMs[tries]);
  }
  if (FAILED(hr)) *bridge = nullptr;
  milliseconds = GetTickCount64() - begin;
  return hr;
}

// Activation from this process, what the server learned in CreateInstance
// and in the first direct call, and the owner check's verdicts: one JSON
// object. `ok` is cleared when the server could not be activated.
std::string ClientPart(volatile Record& record, bool& ok)
{
  record.probeProcess = GetCurrentProcessId();
  record.serverProcess = 0;
  record.creation.calls = 0;
  record.directCall.calls = 0;
  record.foreignVerdict = probe_record::kNotAsked;
  record.ownVerdict = probe_record::kNotAsked;
  IStiScannerComBridge* bridge = nullptr;
  ULONGLONG milliseconds = 0;
  const HRESULT created = Create(&bridge, milliseconds);
  std::string out = "{\"bits\": " + std::to_string(sizeof(void*) * 8) +
                    ", \"ran\": true, \"process\": " + std::to_string(GetCurrentProcessId()) +
                    ", \"activation\": {\"result\": " + Result(created) +
                    ", \"milliseconds\": " + std::to_string(milliseconds) + "}";
  if (bridge == nullptr) {
    ok = false;
    return out + "}";
  }
  const DWORD server = record.serverProcess;
  out += ", \"server\": {\"process\": " + std::to_string(server) +
         ", \"bits\": " + std::to_string(record.serverBits) +
         ", \"platform\": " + JsonString(record.underWine != 0 ? "wine" : "windows") +
         "}, \"creation\": " + LearnedJson(record.creation, server);
  const HRESULT initialized = bridge->InitializeSti();
  out += ", \"firstDirectCall\": " + LearnedJson(record.directCall, server) +
         ", \"initializeSti\": " + Result(initialized) +
         ", \"ownerCheck\": {\"impersonation\": " + Result(record.impersonation) +
         ", \"anotherSid\": " + Verdict(record.foreignVerdict) +
         ", \"ownSid\": " + Verdict(record.ownVerdict) + "}";
  bridge->Release();
  return out + "}";
}

// A program of this stiscan's, started with `arguments`, its standard output
// to a pipe that `output` reads from; its standard error goes nowhere.
struct Child {
  PROCESS_INFORMATION process = {};
  HANDLE output = nullptr;
  bool Start(const std::wstring& program, const std::wstring& arguments)
  {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&output, &write, &inherit, 64 * 1024)) return false;
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    HANDLE none = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = none;
    startup.hStdOutput = write;
    startup.hStdError = none;
    std::wstring line = L"\"" + program + L"\" " + arguments;
    const bool started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    CloseHandle(write);
    if (none != INVALID_HANDLE_VALUE) CloseHandle(none);
    return started;
  }
  // What it wrote so far, without waiting for more.
  std::string Available()
  {
    std::string text;
    DWORD waiting = 0;
    while (output != nullptr && PeekNamedPipe(output, nullptr, 0, nullptr, &waiting, nullptr) &&
           waiting > 0) {
      char buffer[4096];
      DWORD got = 0;
      if (!ReadFile(output, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &got,
                    nullptr) ||
          got == 0)
        break;
      text.append(buffer, got);
    }
    return text;
  }
  ~Child()
  {
    if (process.hProcess != nullptr) {
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process.hProcess, 1);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
    }
    if (output != nullptr) CloseHandle(output);
  }
};

std::wstring ThisProgram()
{
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

// One part of the probe in a process of its own: `program` with
// --probe-part `part`, which prints one JSON object. `bits` names the part
// when it cannot run.
std::string RunPart(const std::wstring& program, const wchar_t* part, int bits)
{
  const std::string named = "{\"bits\": " + std::to_string(bits) + ", \"ran\": false";
  if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES)
    return named + ", \"why\": " + JsonString("no " + Narrow(program) + " (--other-stiscan)") + "}";
  Child child;
  if (!child.Start(program, std::wstring(L"doctor --windows-probe --probe-part ") + part))
    return named + ", \"why\": " + JsonString("it could not be started") + "}";
  std::string text;
  for (ULONGLONG begin = GetTickCount64(); GetTickCount64() - begin < 180000;) {
    text += child.Available();
    if (WaitForSingleObject(child.process.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  text += child.Available();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.size() < 2 || text.front() != '{' || text.back() != '}')
    return named + ", \"why\": " + JsonString("it said nothing the probe reads") +
           ", \"output\": " + JsonString(text) + "}";
  return text;
}

// The stiscan of the other bitness: --other-stiscan, else the one beside
// this program (stiscan64.exe beside the 32-bit one, stiscan32.exe beside
// the 64-bit one).
std::wstring OtherStiscan(const std::string& given)
{
  if (!given.empty()) return Widen(given);
  std::wstring program = ThisProgram();
  const size_t slash = program.find_last_of(L"\\/");
  return program.substr(0, slash == std::wstring::npos ? 0 : slash + 1) +
         (sizeof(void*) == 8 ? L"stiscan32.exe" : L"stiscan64.exe");
}

// Waits up to `milliseconds` for `done`, looking every 10 ms.
template <typename Done>
bool Within(ULONGLONG milliseconds, Done done)
{
  for (ULONGLONG begin = GetTickCount64(); !done();) {
    if (GetTickCount64() - begin >= milliseconds) return false;
    Sleep(10);
  }
  return true;
}

// The way out: an object made and let go, so that the server begins to go
// (its class object suspended), and a creation at once: which server
// answers it.
std::string WayOut(volatile Record& record, bool& ok)
{
  IStiScannerComBridge* bridge = nullptr;
  ULONGLONG milliseconds = 0;
  HRESULT hr = Create(&bridge, milliseconds);
  if (bridge == nullptr) {
    ok = false;
    return "{\"ran\": false, \"why\": \"no activation: " + Hex(hr) + "\"}";
  }
  const DWORD first = record.serverProcess;
  const uint32_t wayOuts = record.wayOuts;
  bridge->Release();
  const bool began = Within(3000, [&] { return record.wayOuts != wayOuts; });
  const HRESULT suspended = record.suspendResult;
  hr = Create(&bridge, milliseconds);
  const DWORD second = bridge != nullptr ? static_cast<DWORD>(record.serverProcess) : 0;
  if (bridge != nullptr) bridge->Release();
  const std::string answered = bridge == nullptr ? "nobody: " + Hex(hr)
                               : second == first ? "the same server"
                                                 : "a new server";
  return "{\"ran\": true, \"began\": " + std::string(began ? "true" : "false") +
         ", \"suspendResult\": " + Result(suspended) +
         ", \"firstServer\": " + std::to_string(first) +
         ", \"creationMeanwhile\": {\"answeredBy\": " + JsonString(answered) +
         ", \"server\": " + std::to_string(second) +
         ", \"milliseconds\": " + std::to_string(milliseconds) + "}}";
}

// A client that holds an object is killed: how long the object lives.
std::string KilledClient(volatile Record& record, int seconds)
{
  Child holder;
  if (!holder.Start(ThisProgram(), L"doctor --windows-probe --probe-part holder"))
    return "{\"ran\": false, \"why\": \"the holder could not be started\"}";
  std::string said;
  const bool holding = Within(60000, [&] {
    said += holder.Available();
    return said.find("holding") != std::string::npos ||
           WaitForSingleObject(holder.process.hProcess, 0) == WAIT_OBJECT_0;
  }) && said.find("holding") != std::string::npos;
  if (!holding)
    return "{\"ran\": false, \"why\": " + JsonString("the holder made no object: " + said) + "}";
  const int32_t before = record.liveObjects;
  const uint32_t cutOff = record.cutOff;
  TerminateProcess(holder.process.hProcess, 9);
  WaitForSingleObject(holder.process.hProcess, 10000);
  const ULONGLONG killed = GetTickCount64();
  const bool gone = Within(static_cast<ULONGLONG>(seconds) * 1000,
                           [&] { return record.liveObjects < before; });
  const double lived = static_cast<double>(GetTickCount64() - killed) / 1000.0;
  return "{\"ran\": true, \"objectsBefore\": " + std::to_string(before) +
         ", \"gone\": " + std::string(gone ? "true" : "false") + ", \"seconds\": " +
         Format("%.1f", lived) + ", \"limit\": " + std::to_string(seconds) +
         ", \"cutOffByTheWatch\": " + std::string(record.cutOff != cutOff ? "true" : "false") +
         "}";
}

// The part that is killed: it makes an object, makes its first direct call
// and holds it until it is ended (at the latest after 15 minutes).
int Holder()
{
  ComScope com;
  IStiScannerComBridge* bridge = nullptr;
  ULONGLONG milliseconds = 0;
  if (FAILED(Create(&bridge, milliseconds))) return 1;
  bridge->InitializeSti();
  Out("holding\n");
  Sleep(15 * 60 * 1000);
  bridge->Release();
  return 0;
}

bool UnderWine()
{
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace

int WindowsProbe(const Options& options)
{
  const std::string& part = options.probePart;
  if (part == "holder") return Holder();
  // The parts that use COM run in processes of their own, each ended before
  // the next: the probe itself is never a client of the server, so that
  // under Wine the watch learns the holder alone (a client connected to the
  // server when another makes an object keeps that object under Wine).
  Section section;
  if (!section.Open(part.empty())) {
    Out("{\"probe\": \"windows\", \"error\": " +
        JsonString("the probe's record could not be " +
                   std::string(part.empty() ? "made" : "opened")) +
        "}\n");
    return kExitFailure;
  }
  volatile Record& record = section.Get();
  bool ok = true;
  if (part == "client" || part == "wayout") {
    ComScope com;
    Out((part == "client" ? ClientPart(record, ok) : WayOut(record, ok)) + "\n");
    return ok ? kExitSuccess : kExitFailure;
  }
  std::memset(const_cast<Record*>(&record), 0, sizeof(Record));
  record.version = probe_record::kVersion;
  PutSid(record.foreignSid, kForeignSid);
  PutSid(record.ownSid, Widen(UserSid()));
  record.magic = probe_record::kMagic;
  const int bits = static_cast<int>(sizeof(void*) * 8);
  const std::string own = RunPart(ThisProgram(), L"client", bits);
  const std::string other = RunPart(OtherStiscan(options.otherStiscan), L"client", 96 - bits);
  const std::string wayOut = RunPart(ThisProgram(), L"wayout", bits);
  const std::string killed = KilledClient(record, options.secondsGiven ? options.seconds : 420);
  ok = own.find("\"server\"") != std::string::npos;
  Out("{\"probe\": \"windows\", \"version\": " + std::to_string(probe_record::kVersion) +
      ", \"platform\": " + JsonString(UnderWine() ? "wine" : "windows") +
      ", \"probeBits\": " + std::to_string(bits) + ", \"user\": " + JsonString(UserSid()) +
      ", \"anotherSid\": " + JsonString(Narrow(kForeignSid)) + ", \"clients\": [" + own + ", " +
      other + "], \"wayOut\": " + wayOut + ", \"killedClient\": " + killed + "}\n");
  return ok ? kExitSuccess : kExitFailure;
}

}  // namespace stiscan
