// A client in its own process, 32-bit or 64-bit, that creates the bridge
// through COM's local activation and the proxy, calls it, and reports each
// check as a line "ok <name>" or "FAIL <name>: <detail>". Exit code: the
// number of failed checks.
//
// Usage: bridge_client <part>; the parts are listed in main(). "whoami"
// prints the SID of the user the client runs as and creates nothing;
// "versions FILE..." reads the files' version resources and manifests;
// "churn N [PAUSE [SEED]]" creates and releases N objects one after another, with random
// pauses of up to PAUSE ms; "hold" keeps
// its object until a line arrives on standard input.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "e2e_support.h"
#include "stibridge.h"

namespace {

// The identity of a new object, as the foundation of the interface promises.
void NewObjectValues(IStiScannerComBridge* bridge)
{
  BSTR name = nullptr;
  HRESULT hr = bridge->GetServerFileName(&name);
  Check(hr == S_OK && Narrow(name) == "tibr", "server-file-name",
        Hex(hr) + " [" + Narrow(name) + "]");
  SysFreeString(name);

  int family = 99;
  hr = bridge->GetDeviceFamily(&family);
  Check(hr == S_OK && family == -1, "device-family", Hex(hr) + " " + std::to_string(family));

  int last = 99;
  hr = bridge->GetLastItemIndex(&last);
  Check(hr == S_OK && last == -1, "last-item-index", Hex(hr) + " " + std::to_string(last));

  int page = 99, pages = 99;
  hr = bridge->GetPagePosition(&page, &pages);
  Check(hr == S_OK && page == 1 && pages == 0, "page-position",
        Hex(hr) + " " + std::to_string(page) + "/" + std::to_string(pages));
}

// [in, out] parameters keep the caller's value across the processes when
// the server does not write them, and TW_IMAGEINFO crosses as its 42 bytes:
// guard bytes on both sides of it stay as they were.
void CallerValuesSurvive(IStiScannerComBridge* bridge)
{
  int count = 77;
  HRESULT hr = bridge->RefreshItemList(&count);
  Check(FAILED(hr) && count == 77, "in-out-int-kept", Hex(hr) + " " + std::to_string(count));

  struct Guarded {
    unsigned char before[16];
    TW_IMAGEINFO info;
    unsigned char after[16];
  };
  static_assert(sizeof(TW_IMAGEINFO) == 42, "TW_IMAGEINFO is 42 bytes");
  Guarded guarded;
  std::memset(&guarded, 0xA5, sizeof guarded);
  guarded.info.ImageWidth = 1234;
  bridge->GetImageInfo(&guarded.info, 0);
  bool guardsIntact = true;
  for (int i = 0; i < 16; ++i)
    guardsIntact = guardsIntact && guarded.before[i] == 0xA5 && guarded.after[i] == 0xA5;
  Check(guardsIntact, "image-info-42-bytes", "guard bytes around TW_IMAGEINFO changed");
}

// Discovery, selection, open and events of the default simulated machine,
// through the proxy: the served devices are listed, the family-2 one is
// selected by name and opened, and the events are registered.
void Connection(IStiScannerComBridge* bridge)
{
  HRESULT hr = bridge->InitializeSti();
  Check(hr == S_OK, "initialize-sti", Hex(hr));

  int count = 0;
  BSTR names = nullptr;
  hr = bridge->EnumerateDevices(&count, &names);
  Check(hr == S_OK && count == 2 && Narrow(names) == "Lab MFP;Floor 2;", "enumerate-devices",
        Hex(hr) + " " + std::to_string(count) + " [" + Narrow(names) + "]");
  SysFreeString(names);

  int family = 99;
  wchar_t lowerCase[] = L"lab mfp";
  hr = bridge->SelectDeviceByName(lowerCase, &family);
  // Not found: the family of the enumeration (its last name, family 0) stays.
  Check(hr == S_OK && family == 0, "select-by-name-is-case-sensitive",
        Hex(hr) + " " + std::to_string(family));
  wchar_t name[] = L"Lab MFP";
  hr = bridge->SelectDeviceByName(name, &family);
  Check(hr == E_FAIL, "select-needs-a-fresh-list", Hex(hr));
  count = 0;
  names = nullptr;
  bridge->EnumerateDevices(&count, &names);
  SysFreeString(names);
  family = 99;
  hr = bridge->SelectDeviceByName(name, &family);
  Check(hr == S_OK && family == 2, "select-by-name", Hex(hr) + " " + std::to_string(family));

  wchar_t qualifier[] = L"LAB", profile[] = L"anna", store[] = L"ann";
  hr = bridge->OpenDevice(qualifier, profile, store);
  Check(hr == S_OK, "open-device", Hex(hr));
  hr = bridge->OpenDevice(nullptr, profile, store);
  Check(FAILED(hr), "open-device-null-string", Hex(hr));

  // The client made "JobEnded" itself, as a manual-reset event; the server
  // opens it and it keeps its mode.
  HANDLE jobEnded = CreateEventW(nullptr, TRUE, FALSE, L"JobEnded");
  hr = bridge->RegisterEvents();
  Check(hr == S_OK, "register-events", Hex(hr));
  HANDLE itemDeleted = OpenEventW(SYNCHRONIZE, FALSE, L"ItemDeleted");
  HANDLE itemAdded = OpenEventW(SYNCHRONIZE, FALSE, L"ItemAdded");
  Check(jobEnded != nullptr && itemDeleted != nullptr && itemAdded != nullptr,
        "events-visible-to-the-client");
  // The driver signals "JobEnded" when the last data of a job's last page
  // has gone: read the one page of a one-page job to the end, and wait in
  // this process for the signal.
  wchar_t itemName[] = L"scan0002.bmp";
  STI_TRANSFER_REQUEST request = {};
  request.operation = 1;
  request.itemName = itemName;
  static unsigned char buffer[64 * 1024];
  int status = 0;
  int reads = 0;
  do {
    hr = bridge->ReadImageData(&request, buffer, sizeof buffer, &status);
    ++reads;
  } while (hr == S_OK && status == 0 && reads < 1000);
  Check(hr == S_OK && status == 6, "read-page-to-the-end",
        Hex(hr) + " status " + std::to_string(status) + " after " + std::to_string(reads));
  DWORD first = jobEnded != nullptr ? WaitForSingleObject(jobEnded, 5000) : WAIT_FAILED;
  DWORD second = jobEnded != nullptr ? WaitForSingleObject(jobEnded, 0) : WAIT_FAILED;
  Check(first == WAIT_OBJECT_0, "job-ended-signal-reaches-the-client", std::to_string(first));
  Check(second == WAIT_OBJECT_0, "client-event-stays-manual-reset", std::to_string(second));

  hr = bridge->UnregisterEvents();
  Check(hr == S_OK, "unregister-events", Hex(hr));
  if (itemDeleted != nullptr) CloseHandle(itemDeleted);
  if (itemAdded != nullptr) CloseHandle(itemAdded);
  if (jobEnded != nullptr) CloseHandle(jobEnded);

  hr = bridge->Close();
  Check(hr == S_OK, "close", Hex(hr));
  family = 99;
  bridge->GetDeviceFamily(&family);
  Check(family == 2, "family-survives-close", std::to_string(family));
}

// The SID of the user this process runs as.
int WhoAmI()
{
  HANDLE token = nullptr;
  BYTE buffer[256];
  DWORD needed = 0;
  LPWSTR text = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    return 1;
  }
  std::printf("%s\n", Narrow(text).c_str());
  LocalFree(text);
  CloseHandle(token);
  return 0;
}

// One creation: the class object and the creation apart, to tell which step
// failed; then a call on the new object.
std::string CreateAndAsk()
{
  IClassFactory* factory = nullptr;
  IStiScannerComBridge* bridge = nullptr;
  const char* step = "class-object";
  HRESULT hr = CoGetClassObject(CLSID_CStiScannerComBridge, CLSCTX_LOCAL_SERVER, nullptr,
                                IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) {
    step = "create-instance";
    hr = factory->CreateInstance(nullptr, IID_IStiScannerComBridge,
                                 reinterpret_cast<void**>(&bridge));
    factory->Release();
  }
  int family = 99;
  if (SUCCEEDED(hr)) {
    step = "call";
    hr = bridge->GetDeviceFamily(&family);
  }
  if (bridge != nullptr) bridge->Release();
  if (hr == S_OK && family == -1) return {};
  return std::string(step) + ": " + Hex(hr);
}

// Creates an object, asks it one question and releases it, `rounds` times,
// as a data source that opens and closes its scanner again and again: some
// creations reach a server whose last object has just gone. Before each
// round it waits a random 0 to `pauseMs` (seeded by `seed`), so that with a
// pause creations also fall in the moment the server, idle since the last
// release, stops being handed out and ends. A creation that fails is told
// and tried again (twice, half a second apart): the first attempts are what
// a data source that does not try again would meet.
void Churn(int rounds, int pauseMs, unsigned seed)
{
  std::srand(seed);
  int firstFailed = 0, unserved = 0;
  ULONGLONG longest = 0;
  std::string first;
  for (int round = 0; round < rounds; ++round) {
    if (pauseMs > 0) Sleep(static_cast<DWORD>(std::rand() % (pauseMs + 1)));
    ULONGLONG started = GetTickCount64();
    std::string failure = CreateAndAsk();
    ULONGLONG took = GetTickCount64() - started;
    if (took > longest) longest = took;
    if (failure.empty()) continue;
    if (firstFailed++ == 0) first = "round " + std::to_string(round) + ", " + failure;
    bool served = false;
    for (int retry = 0; retry < 2 && !served; ++retry) {
      Sleep(500);
      served = CreateAndAsk().empty();
    }
    if (!served) ++unserved;
  }
  std::printf("note churn: %d rounds, %d first attempts failed, longest %llu ms%s%s\n", rounds,
              firstFailed, static_cast<unsigned long long>(longest),
              first.empty() ? "" : ", first ", first.c_str());
  Check(unserved == 0, "churn-every-round-served", std::to_string(unserved) + " never served");
}

// Holds one object until a line arrives on standard input.
void Hold(IStiScannerComBridge* bridge)
{
  int family = 99;
  HRESULT hr = bridge->GetDeviceFamily(&family);
  Check(hr == S_OK, "hold-object-answers", Hex(hr));
  std::printf("holding\n");
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return;
}

}  // namespace

int main(int argc, char** argv)
{
  const char* scenario = argc > 1 ? argv[1] : "identity";
  if (std::strcmp(scenario, "whoami") == 0) return WhoAmI();
  if (std::strcmp(scenario, "versions") == 0) return FileVersions(argc - 2, argv + 2);
  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) {
    Check(false, "co-initialize", Hex(hr));
    return Failures();
  }
  if (std::strcmp(scenario, "churn") == 0) {
    Churn(argc > 2 ? std::atoi(argv[2]) : 100, argc > 3 ? std::atoi(argv[3]) : 0,
          argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 1);
    CoUninitialize();
    return Failures();
  }

  IStiScannerComBridge* bridge = nullptr;
  hr = CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                        IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge));
  Check(hr == S_OK && bridge != nullptr, "create-local-server", Hex(hr));
  if (bridge != nullptr) {
    if (std::strcmp(scenario, "identity") == 0) {
      NewObjectValues(bridge);
      CallerValuesSurvive(bridge);
    } else if (std::strcmp(scenario, "connection") == 0) {
      Connection(bridge);
    } else if (std::strcmp(scenario, "catalogue") == 0) {
      Catalogue(bridge);
    } else if (std::strcmp(scenario, "session") == 0) {
      Session(bridge);
    } else if (std::strcmp(scenario, "hold") == 0) {
      Hold(bridge);
    }
    ULONG remaining = bridge->Release();
    Check(remaining == 0, "release", std::to_string(remaining));
  }
  CoUninitialize();
  return Failures();
}
