#include "resource_probe.h"

#include <objbase.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "soak_session.h"
#include "stibridge.h"

namespace soak {

namespace {

// The system's handle list (information class 16): one entry per handle of
// every process, with its owner and the index of its object type.
constexpr ULONG kSystemHandleInformation = 16;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

struct HandleEntry {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};

struct HandleList {
  ULONG count;
  HandleEntry entries[1];
};

std::vector<BYTE> SystemHandles()
{
  std::vector<BYTE> buffer(1 << 20);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation), buffer.data(),
        static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) return buffer;
    if (status != kInfoLengthMismatch) break;
    buffer.resize(needed > buffer.size() ? needed + 65536 : buffer.size() * 2);
  }
  return {};
}

// The object type index of one of this process's own handles.
int TypeOf(HANDLE handle)
{
  std::vector<BYTE> buffer = SystemHandles();
  if (buffer.empty()) return -1;
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  for (ULONG i = 0; i < list->count; ++i) {
    const HandleEntry& e = list->entries[i];
    if (e.ownerPid == self && e.handle == static_cast<USHORT>(reinterpret_cast<UINT_PTR>(handle)))
      return e.objectType;
  }
  return -1;
}

// Whether a handle of process `process` refers to one of the events the
// bridge creates by name ("JobEnded", "ItemDeleted", "ItemAdded"), from the
// name of a duplicate in this process.
bool IsBridgeEvent(HANDLE process, USHORT value)
{
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(value)),
                       GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return false;
  union {
    OBJECT_NAME_INFORMATION info;
    BYTE bytes[1024];
  } name = {};
  ULONG length = 0;
  bool ours = false;
  if (NtQueryObject(copy, ObjectNameInformation, &name, sizeof name, &length) == 0 &&
      name.info.Name.Buffer != nullptr) {
    std::wstring text(name.info.Name.Buffer, name.info.Name.Length / sizeof(wchar_t));
    for (const wchar_t* event : {L"\\JobEnded", L"\\ItemDeleted", L"\\ItemAdded"}) {
      const std::wstring suffix(event);
      ours = ours || (text.size() >= suffix.size() &&
                      text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0);
    }
  }
  CloseHandle(copy);
  return ours;
}

bool Ok(Ledger& ledger, const char* method, HRESULT hr)
{
  ledger.Note(method, hr);
  ledger.Expect(hr == S_OK, method, hr, "a session without faults fails");
  return hr == S_OK;
}

// One session; every call is expected to succeed. A session cut short at
// `depth` shows which of its steps a growth belongs to; without `close` the
// object is released without Close, as a data source that forgets it does.
void OpenCloseSession(Ledger& ledger, SessionDepth depth, bool close)
{
  IStiScannerComBridge* bridge = CreateBridge(ledger);
  if (bridge == nullptr) return;
  if (depth == SessionDepth::Create) {
    bridge->Release();
    return;
  }
  Ok(ledger, "InitializeSti", bridge->InitializeSti());
  int count = 0;
  BSTR names = nullptr;
  Ok(ledger, "EnumerateDevices", bridge->EnumerateDevices(&count, &names));
  SysFreeString(names);
  int family = 0;
  wchar_t device[] = L"Soak MFP";
  Ok(ledger, "SelectDeviceByName", bridge->SelectDeviceByName(device, &family));
  wchar_t qualifier[] = L"SOAK", profile[] = L"soak", store[] = L"ann";
  Ok(ledger, "OpenDevice", bridge->OpenDevice(qualifier, profile, store));
  if (depth == SessionDepth::Open) {
    if (close) Ok(ledger, "Close", bridge->Close());
    bridge->Release();
    return;
  }
  Ok(ledger, "RegisterEvents", bridge->RegisterEvents());
  if (depth == SessionDepth::Events) {
    Ok(ledger, "UnregisterEvents", bridge->UnregisterEvents());
    if (close) Ok(ledger, "Close", bridge->Close());
    bridge->Release();
    return;
  }
  Ok(ledger, "RefreshItemList", bridge->RefreshItemList(&count));
  short v[5] = {};
  Ok(ledger, "GetScanSettings", bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]));
  int first = 0;
  Ok(ledger, "SetSelection", bridge->SetSelection(&first, 1));
  TW_IMAGEINFO info = {};
  Ok(ledger, "GetImageInfo", bridge->GetImageInfo(&info, 0));
  BSTR name = nullptr;
  int page = 0;
  Ok(ledger, "GetCurrentItemName", bridge->GetCurrentItemName(&name, &page));
  wchar_t itemName[260] = {};
  for (UINT i = 0; name != nullptr && i < SysStringLen(name) && i < 259; ++i) itemName[i] = name[i];
  SysFreeString(name);
  STI_TRANSFER_REQUEST request = {};
  request.operation = 1;
  request.itemName = itemName;
  static BYTE buffer[16384];
  int status = 0;
  for (int reads = 0; reads < 1000 && status == 0; ++reads)
    Ok(ledger, "ReadImageData", bridge->ReadImageData(&request, buffer, sizeof buffer, &status));
  ledger.Expect(status == 6, "ReadImageData", S_OK, "status " + std::to_string(status));
  Ok(ledger, "UnregisterEvents", bridge->UnregisterEvents());
  if (close) Ok(ledger, "Close", bridge->Close());
  const ULONG remaining = bridge->Release();
  ledger.Expect(remaining == 0, "Release", S_OK, "references left " + std::to_string(remaining));
}

long Median(long a, long b, long c)
{
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The counts of a server at rest: a handle that a thread of Wine's RPC
// holds only for a moment is not the server's, so of three counts a little
// apart the middle one is taken, field by field.
HandleCounts SettledCounts(DWORD pid)
{
  HandleCounts a = CountHandles(pid);
  Sleep(50);
  HandleCounts b = CountHandles(pid);
  Sleep(50);
  HandleCounts c = CountHandles(pid);
  HandleCounts m;
  m.total = Median(a.total, b.total, c.total);
  m.events = Median(a.events, b.events, c.events);
  m.named = Median(a.named, b.named, c.named);
  m.keys = Median(a.keys, b.keys, c.keys);
  m.other = Median(a.other, b.other, c.other);
  m.reported = c.reported;
  m.reportedOwn = c.reportedOwn;
  return m;
}

}  // namespace

DWORD FindProcess(const wchar_t* exe)
{
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  DWORD pid = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && pid == 0;
       more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, exe) == 0) pid = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return pid;
}

HandleCounts CountHandles(DWORD pid)
{
  HandleCounts counts;
  // The type indices of an event and of a registry key, from handles of this
  // process's own.
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key);
  const int eventType = TypeOf(event);
  const int keyType = key != nullptr ? TypeOf(reinterpret_cast<HANDLE>(key)) : -1;
  CloseHandle(event);
  if (key != nullptr) RegCloseKey(key);

  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE, FALSE, pid);
  std::vector<BYTE> buffer = SystemHandles();
  if (!buffer.empty()) {
    counts.total = counts.events = counts.named = counts.keys = counts.other = 0;
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    for (ULONG i = 0; i < list->count; ++i) {
      const HandleEntry& e = list->entries[i];
      if (e.ownerPid != pid) continue;
      ++counts.total;
      if (e.objectType == eventType) {
        ++counts.events;
        if (process != nullptr && IsBridgeEvent(process, e.handle)) ++counts.named;
      } else if (e.objectType == keyType) {
        ++counts.keys;
      } else {
        ++counts.other;
      }
    }
  }
  DWORD reported = 0;
  if (process != nullptr && GetProcessHandleCount(process, &reported))
    counts.reported = static_cast<long>(reported);
  if (process != nullptr) CloseHandle(process);
  if (GetProcessHandleCount(GetCurrentProcess(), &reported))
    counts.reportedOwn = static_cast<long>(reported);
  return counts;
}

long RunResourceSessions(int sessions, int every, bool wait, SessionDepth depth, bool close,
                         Ledger& ledger)
{
  // Holds the server for the whole run, so that every session meets the
  // same server process.
  IStiScannerComBridge* anchor = CreateBridge(ledger);
  if (anchor == nullptr) return ledger.Violations();
  const DWORD server = FindProcess(L"stibridge.exe");
  std::printf("server pid %lu\n", static_cast<unsigned long>(server));
  // The first session loads what a server loads once (the stand-in driver,
  // its scenario, the registry keys it keeps open): the count starts after it.
  OpenCloseSession(ledger, depth, close);
  for (int done = 0;; ++done) {
    // Also after the first ten, to show where the counts stand early on.
    if (done % every == 0 || done == 10 || done == sessions) {
      HandleCounts c = SettledCounts(server);
      std::printf(
          "checkpoint %d handles %ld events %ld named %ld keys %ld other %ld reported %ld own "
          "%ld in-out-strings %ld\n",
          done, c.total, c.events, c.named, c.keys, c.other, c.reported, c.reportedOwn,
          ledger.InOutStrings());
      std::fflush(stdout);
      if (wait) {
        char line[64];
        if (std::fgets(line, sizeof line, stdin) == nullptr) wait = false;
      }
    }
    if (done == sessions) break;
    OpenCloseSession(ledger, depth, close);
  }
  const ULONG remaining = anchor->Release();
  ledger.Expect(remaining == 0, "Release", S_OK, "references left " + std::to_string(remaining));
  return ledger.Violations();
}

}  // namespace soak
