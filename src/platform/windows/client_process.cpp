// The calling process from the RPC runtime, else the clients of this
// process's named pipes; a thread timer.
#include <winternl.h>

#include "platform/win32.h"

namespace platform_client {

namespace {

// The system's handle list (information class 16): one entry per handle of
// every process, with its owner.
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
  std::vector<BYTE> buffer(256 * 1024);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status =
        NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation),
                                 buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) return buffer;
    if (status != kInfoLengthMismatch) break;
    buffer.resize(needed > buffer.size() ? needed + 65536 : buffer.size() * 2);
  }
  return {};
}

void Add(std::vector<ClientProcess>& processes, DWORD id)
{
  if (id == 0 || id == GetCurrentProcessId()) return;
  for (const ClientProcess& known : processes)
    if (known.id == id) return;
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (handle != nullptr) processes.push_back({handle, id});
}

// The processes at the other end of this process's connected named pipes
// whose server end is this process's.
void PipeClients(std::vector<ClientProcess>& processes)
{
  const std::vector<BYTE> buffer = SystemHandles();
  if (buffer.empty()) return;
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  for (ULONG i = 0; i < list->count; ++i) {
    const HandleEntry& entry = list->entries[i];
    if (entry.ownerPid != self) continue;
    HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(entry.handle));
    if (GetFileType(pipe) != FILE_TYPE_PIPE) continue;
    ULONG server = 0, client = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server) || server != self) continue;
    // An instance that waits for a client (or whose client has gone)
    // cannot be peeked at; its client id means nothing.
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr)) continue;
    if (GetNamedPipeClientProcessId(pipe, &client)) Add(processes, client);
  }
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
    Add(processes, caller);
    return;
  }
  PipeClients(processes);
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
