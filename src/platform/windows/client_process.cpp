// The calling process from the RPC runtime, else (under Wine) the clients of
// this process's named pipes; a thread timer.
#include <winternl.h>

#include <algorithm>
#include <string>

#include "platform/win32.h"
#include "platform/hook_state.h"

namespace platform_client {

namespace {

// Handle values that stay open for the process's life and are no pipes (the
// bridge's named events, which it never closes): a scan passes over them,
// so that its cost does not grow with the server's life.
std::vector<UINT_PTR> lasting;
UINT_PTR highestLasting = 0;
// The highest handle value a pipe of this process has been seen at.
UINT_PTR highestPipe = 0;

// How far past the highest value known to be in use a scan looks before it
// gives up: the handle table hands out the lowest free value, so values
// above it are few.
constexpr UINT_PTR kSlack = 256 * 4;

bool IsLasting(UINT_PTR value)
{
  return std::binary_search(lasting.begin(), lasting.end(), value);
}

std::basic_string<WCHAR> ObjectName(HANDLE handle)
{
  union {
    OBJECT_NAME_INFORMATION info;
    BYTE bytes[1024];
  } name = {};
  ULONG length = 0;
  if (NtQueryObject(handle, ObjectNameInformation, &name, sizeof name, &length) != 0 ||
      name.info.Name.Buffer == nullptr)
    return {};
  return std::basic_string<WCHAR>(name.info.Name.Buffer, name.info.Name.Length / sizeof(WCHAR));
}

// One scan of this process's handle values for the server ends of its named
// pipes (under Wine every COM call to this process arrives through
// instances of one such pipe), collecting the ids of their clients.
// Complete once every instance of the pipe has been found (the instance
// count of the first one found says how many there are), so that the
// caller's instance is among them; Incomplete when that cannot be said (a
// second pipe name, or instances that came or went while the scan ran);
// None when the process serves no pipe at all.
enum class Scan { Complete, Incomplete, None };

size_t scans = 0;

Scan ScanPipeClients(std::vector<DWORD>& clients)
{
  ++scans;
  const DWORD self = GetCurrentProcessId();
  std::basic_string<WCHAR> name;
  DWORD instances = 0, found = 0;
  UINT_PTR limit = std::max(highestLasting, highestPipe) + kSlack;
  for (UINT_PTR value = 4; value <= limit; value += 4) {
    if (IsLasting(value)) continue;
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    if (GetFileType(handle) != FILE_TYPE_PIPE) continue;
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(handle, &server) || server != self) continue;
    DWORD current = 0;
    if (!GetNamedPipeHandleState(handle, nullptr, &current, nullptr, nullptr, nullptr, 0))
      return Scan::Incomplete;
    const std::basic_string<WCHAR> own = ObjectName(handle);
    if (found == 0) {
      name = own;
      instances = current;
    } else if (own != name || current != instances) {
      return Scan::Incomplete;
    }
    ++found;
    highestPipe = std::max(highestPipe, value);
    limit = std::max(limit, value + kSlack);
    // An instance that waits for a client (Wine answers ERROR_BAD_PIPE), or
    // whose client has gone, cannot be peeked at, and its client id means
    // nothing; any other failure leaves the instance's client unknown.
    ULONG client = 0;
    if (PeekNamedPipe(handle, nullptr, 0, nullptr, nullptr, nullptr)) {
      if (!GetNamedPipeClientProcessId(handle, &client)) return Scan::Incomplete;
      clients.push_back(client);
    } else {
      const DWORD error = GetLastError();
      if (error != ERROR_BAD_PIPE && error != ERROR_PIPE_LISTENING &&
          error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED)
        return Scan::Incomplete;
    }
    if (found == instances) return Scan::Complete;
  }
  return found == 0 ? Scan::None : Scan::Incomplete;
}

// Holds process `id` open among `processes`. False when it lives but cannot
// be opened (another user's, say): it could not be watched, and a set of
// processes that may have made a call is no use without every one of them.
// One that has ended already is simply left out.
bool Add(std::vector<ClientProcess>& processes, DWORD id)
{
  if (id == 0 || id == GetCurrentProcessId()) return true;
  for (const ClientProcess& known : processes)
    if (known.id == id) return true;
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (handle == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  processes.push_back({handle, id});
  return true;
}

// All of `ids`, or none of them.
void AddAll(std::vector<ClientProcess>& processes, const std::vector<DWORD>& ids)
{
  std::vector<ClientProcess> held;
  for (DWORD id : ids) {
    if (Add(held, id)) continue;
    for (const ClientProcess& process : held) CloseHandle(process.handle);
    return;
  }
  processes.insert(processes.end(), held.begin(), held.end());
}

UINT_PTR timer = 0;
void (*timerTick)() = nullptr;

void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
  if (timerTick != nullptr) timerTick();
}

}  // namespace

void CallingProcesses(std::vector<ClientProcess>& processes)
{
  unsigned long caller = 0;
  if (I_RpcBindingInqLocalClientPID(nullptr, &caller) == RPC_S_OK && caller != 0) {
    AddAll(processes, {caller});
    return;
  }
  if (!UnderWine()) return;
  // Connections come and go while a scan runs; the caller's own stays, so
  // another scan soon finds every instance.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<DWORD> clients;
    const Scan scan = ScanPipeClients(clients);
    if (scan == Scan::None) return;
    if (scan == Scan::Incomplete) continue;
    AddAll(processes, clients);
    return;
  }
}

bool DirectCaller(ClientProcess& process)
{
  DWORD id = 0;
  unsigned long rpcCaller = 0;
  if (I_RpcBindingInqLocalClientPID(nullptr, &rpcCaller) == RPC_S_OK) id = rpcCaller;
  DWORD thread = 0;
  // S_OK: a caller in another process; its apartment's id is its thread's
  // for a single-threaded apartment, 0 or -1 for the others.
  if (id == 0 && CoGetCallerTID(&thread) == S_OK && thread != 0 && thread != ~DWORD{0}) {
    const HANDLE handle = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread);
    if (handle != nullptr) {
      id = GetProcessIdOfThread(handle);
      CloseHandle(handle);
    }
  }
  if (id == 0 || id == GetCurrentProcessId()) return false;
  const HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (handle == nullptr) return false;
  process = {handle, id};
  return true;
}

namespace {

// The calling process as COM's call context gives it (Windows 10 and later).
struct ICallingProcessInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OpenCallerProcessHandle(DWORD access, HANDLE* process) = 0;
};
const IID kCallingProcessInfo = {
    0x68C6A1B9, 0xDE39, 0x42C3, {0x8D, 0x28, 0xBF, 0x40, 0xA5, 0x12, 0x65, 0x41}};

}  // namespace

void ReportCaller(CallerReport& report)
{
  report = CallerReport();
  unsigned long rpcCaller = 0;
  report.rpcStatus = static_cast<LONG>(I_RpcBindingInqLocalClientPID(nullptr, &rpcCaller));
  report.rpcProcess = rpcCaller;
  DWORD thread = 0;
  report.callerThreadResult = CoGetCallerTID(&thread);
  report.callerThread = thread;
  if (SUCCEEDED(report.callerThreadResult) && thread != 0 && thread != ~DWORD{0}) {
    const HANDLE handle = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread);
    if (handle != nullptr) {
      report.callerThreadProcess = GetProcessIdOfThread(handle);
      CloseHandle(handle);
    }
  }
  ICallingProcessInfo* info = nullptr;
  report.callingProcessInfo = CoGetCallContext(kCallingProcessInfo, reinterpret_cast<void**>(&info));
  if (SUCCEEDED(report.callingProcessInfo) && info != nullptr) {
    HANDLE process = nullptr;
    report.callingProcessInfo =
        info->OpenCallerProcessHandle(PROCESS_QUERY_LIMITED_INFORMATION, &process);
    if (SUCCEEDED(report.callingProcessInfo) && process != nullptr) {
      report.callingProcessInfoProcess = GetProcessId(process);
      CloseHandle(process);
    }
    info->Release();
  }
}

bool UnderWine()
{
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine && !platform_hooks::state::HostTreatedAsWindows();
}

size_t HandleScans()
{
  return scans;
}

void NoteLastingHandle(HANDLE handle)
{
  const auto value = reinterpret_cast<UINT_PTR>(handle);
  if (value == 0 || IsLasting(value)) return;
  lasting.insert(std::upper_bound(lasting.begin(), lasting.end(), value), value);
  highestLasting = std::max(highestLasting, value);
}

bool HasEnded(HANDLE process)
{
  return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

void CloseProcess(HANDLE process)
{
  if (process != nullptr) CloseHandle(process);
}

void StartTicks(UINT milliseconds, void (*tick)())
{
  timerTick = tick;
  if (timer == 0) timer = SetTimer(nullptr, 0, milliseconds, OnTimer);
}

void StopTicks()
{
  if (timer != 0) KillTimer(nullptr, timer);
  timer = 0;
  timerTick = nullptr;
}

}  // namespace platform_client
