// The portable subset has no other process: no client can be learned, and
// nothing ever needs the timer.
#include "platform/posix/posix_internal.h"
#include "platform/client_process.h"

namespace platform_client {

void CallingProcesses(std::vector<ClientProcess>&) {}

bool DirectCaller(ClientProcess&)
{
  return false;
}

void ReportCaller(CallerReport& report)
{
  report = CallerReport();
  report.rpcStatus = 1725;  // RPC_S_NO_CALL_ACTIVE: the subset has no remoting
}

bool UnderWine()
{
  return false;
}

size_t HandleScans()
{
  return 0;
}

void NoteLastingHandle(HANDLE) {}

bool HasEnded(HANDLE)
{
  return false;
}

void CloseProcess(HANDLE) {}

void StartTicks(UINT, void (*)()) {}

void StopTicks() {}

}  // namespace platform_client
