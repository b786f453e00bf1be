// What the server learns of its clients' processes, and the thread timer that
// lets it look at them again: the one place where Windows and Wine (and the
// portable subset, which has no other process) differ in how a COM server
// can tell which process is calling it.
#pragma once

#include <vector>

namespace platform_client {

// A process held open for SYNCHRONIZE: while the handle is held its id is
// not given to another process, so a process that ended cannot be taken for
// a new one with its id.
struct ClientProcess {
  HANDLE handle;
  DWORD id;
};

// The processes that may have made the COM call this thread is serving,
// appended to `processes` (the caller closes them with CloseProcess):
// - the calling process itself, where the RPC runtime names it for the call
//   in progress (I_RpcBindingInqLocalClientPID);
// - where it does not (Wine answers no call active on the thread of a
//   single-threaded apartment, whose calls its RPC threads hand over as
//   messages), every process connected to this process's named pipes, which
//   carry Wine's COM calls: the caller is one of them;
// - nothing where neither tells anything (a call from inside the process,
//   or none at all): such a caller cannot be learned.
void CallingProcesses(std::vector<ClientProcess>& processes);

// Whether the process has ended.
bool HasEnded(HANDLE process);
void CloseProcess(HANDLE process);

// Runs `tick` on this thread every `milliseconds`, as its messages are
// dispatched, until StopTicks; a second StartTicks only changes the tick.
void StartTicks(UINT milliseconds, void (*tick)());
void StopTicks();

}  // namespace platform_client
