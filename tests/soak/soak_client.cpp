// The soak client: a 32-bit data source that runs sessions against the server
// through COM and the proxy, and reports every answer a method may not give.
// run_soak.py starts several at once and kills some of them.
//
// Usage:
//   soak_client setup                     the user's settings the sessions use
//   soak_client soak <seed> <stop file> [<sessions>]
//                                         sessions until the stop file exists
//   soak_client jobs                      the stored jobs' document names
//   soak_client hold                      holds one object until a line is read
//   soak_client open-and-wait [closed]    opens the scanner (and closes it), says
//                                         "ready", waits
//   soak_client resources <sessions> <every> [wait] [create|open|events] [noclose]
//                                         open/close sessions with handle counts,
//                                         whole or cut short, closed or released
//                                         without Close
// Any of them with "factory" last: objects from one class object held for
// the run rather than from CoCreateInstance.
// Output lines: "violation ...", "delete-request <job>", "xfer-begin",
// "xfer-end", "session <n>", "results <method> <hresult> <count>",
// "summary sessions <n> calls <n> violations <n>". Exit code: 0 without
// violations, 1 with, 2 for a usage error.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resource_probe.h"
#include "soak_session.h"

namespace {

bool StopRequested(const char* stopFile)
{
  return GetFileAttributesA(stopFile) != INVALID_FILE_ATTRIBUTES;
}

int Soak(unsigned long long seed, const char* stopFile, long sessions)
{
  soak::Random random(seed);
  soak::Ledger ledger;
  long done = 0;
  while ((sessions <= 0 || done < sessions) && !StopRequested(stopFile)) {
    if (!soak::RunSession(random, ledger)) Sleep(200);
    ++done;
    std::printf("session %ld\nin-out-strings %ld\n", done, ledger.InOutStrings());
    std::fflush(stdout);
  }
  ledger.PrintResults();
  std::printf("summary sessions %ld calls %ld violations %ld\n", done, ledger.Calls(),
              ledger.Violations());
  std::fflush(stdout);
  return ledger.Violations() == 0 ? 0 : 1;
}

IStiScannerComBridge* Create()
{
  soak::Ledger ledger;
  return soak::CreateBridge(ledger);
}

// Holds an object, so that the server has a client, until told to let go.
int Hold()
{
  IStiScannerComBridge* bridge = Create();
  if (bridge == nullptr) return 1;
  std::printf("holding\n");
  std::fflush(stdout);
  char line[64];
  std::fgets(line, sizeof line, stdin);
  const ULONG remaining = bridge->Release();
  std::printf("released %lu\n", remaining);
  return remaining == 0 ? 0 : 1;
}

// An object in the middle of a session (or closed again), for the runner to
// kill.
int OpenAndWait(bool closed)
{
  IStiScannerComBridge* bridge = Create();
  if (bridge == nullptr) return 1;
  HRESULT hr = bridge->InitializeSti();
  int count = 0;
  BSTR names = nullptr;
  if (SUCCEEDED(hr)) hr = bridge->EnumerateDevices(&count, &names);
  SysFreeString(names);
  wchar_t qualifier[] = L"SOAK", profile[] = L"soak", store[] = L"ann";
  if (SUCCEEDED(hr)) hr = bridge->OpenDevice(qualifier, profile, store);
  if (SUCCEEDED(hr)) hr = bridge->RegisterEvents();
  int items = 0;
  if (SUCCEEDED(hr)) hr = bridge->RefreshItemList(&items);
  if (SUCCEEDED(hr) && closed) hr = bridge->Close();
  std::printf("ready %s\n", soak::HexCode(hr).c_str());
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv)
{
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "setup") == 0) return soak::PrepareUserSettings() ? 0 : 1;
  const HRESULT initialized = CoInitialize(nullptr);
  if (initialized != S_OK) {
    std::printf("violation CoInitialize %s\n", soak::HexCode(initialized).c_str());
    return 1;
  }
  // "factory" as the last argument: objects from a class object held for the
  // whole run instead of CoCreateInstance each time.
  IClassFactory* factory = nullptr;
  if (argc > 2 && std::strcmp(argv[argc - 1], "factory") == 0) {
    HRESULT hr = CoGetClassObject(CLSID_CStiScannerComBridge, CLSCTX_LOCAL_SERVER, nullptr,
                                  IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
      std::printf("violation CoGetClassObject %s\n", soak::HexCode(hr).c_str());
      CoUninitialize();
      return 1;
    }
    soak::UseClassObject(factory);
    --argc;
  }
  int code = 2;
  if (std::strcmp(mode, "soak") == 0 && argc >= 4) {
    code = Soak(std::strtoull(argv[2], nullptr, 10), argv[3], argc > 4 ? std::atol(argv[4]) : 0);
  } else if (std::strcmp(mode, "jobs") == 0) {
    soak::Ledger ledger;
    code = soak::ListStoredJobs(ledger) >= 0 && ledger.Violations() == 0 ? 0 : 1;
  } else if (std::strcmp(mode, "hold") == 0) {
    code = Hold();
  } else if (std::strcmp(mode, "open-and-wait") == 0) {
    code = OpenAndWait(argc > 2 && std::strcmp(argv[2], "closed") == 0);
  } else if (std::strcmp(mode, "resources") == 0 && argc >= 4) {
    soak::Ledger ledger;
    bool wait = false;
    bool close = true;
    soak::SessionDepth depth = soak::SessionDepth::Full;
    for (int i = 4; i < argc; ++i) {
      wait = wait || std::strcmp(argv[i], "wait") == 0;
      close = close && std::strcmp(argv[i], "noclose") != 0;
      if (std::strcmp(argv[i], "create") == 0) depth = soak::SessionDepth::Create;
      if (std::strcmp(argv[i], "open") == 0) depth = soak::SessionDepth::Open;
      if (std::strcmp(argv[i], "events") == 0) depth = soak::SessionDepth::Events;
    }
    const long violations = soak::RunResourceSessions(std::atoi(argv[2]), std::atoi(argv[3]),
                                                      wait, depth, close, ledger);
    ledger.PrintResults();
    std::printf("summary sessions %s calls %ld violations %ld\n", argv[2], ledger.Calls(),
                violations);
    code = violations == 0 ? 0 : 1;
  } else {
    std::fprintf(stderr,
                 "usage: soak_client setup|soak|jobs|hold|open-and-wait|resources\n");
  }
  std::fflush(stdout);
  soak::UseClassObject(nullptr);
  if (factory != nullptr) factory->Release();
  CoUninitialize();
  return code;
}
