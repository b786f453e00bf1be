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
//   messages), and only under Wine, every process connected to this
//   process's named pipe, which carries Wine's COM calls: the caller is one
//   of them. They are found by a scan of the process's own handle values
//   that has found every instance of the pipe (the system's handle list
//   would be quicker, but asking Wine 8 for it while processes start and
//   end brings its wineserver down). Windows' local COM calls use no named
//   pipe of the server's, so there the scan would find nothing, and its
//   calls (GetFileType, NtQueryObject, PeekNamedPipe) may block on a
//   synchronous handle with I/O pending on another thread (a driver's
//   waiting for a button, say), which would hang the server's only thread:
//   it is not run there. Under Wine those calls are answered by its
//   wineserver without waiting for the handle's I/O;
// - nothing where neither tells anything (a call from inside the process,
//   a scan that could not find every instance, Windows, or no call at all):
//   such a caller cannot be learned here (see DirectCaller).
void CallingProcesses(std::vector<ClientProcess>& processes);

// The process that made the COM call this thread is serving, held open for
// SYNCHRONIZE in `process` (the caller closes it with CloseProcess), where
// the platform names it: the RPC runtime for the call in progress, else
// COM's record of the calling thread (CoGetCallerTID, which names the
// thread of a caller in a single-threaded apartment of another process,
// and is documented for logging and diagnosis only: the watch takes it
// for no more than when a client's objects may go, and a caller that
// named another thread could only cut its own objects off early). False
// when neither names one (a call from inside the process, a caller in a
// multithreaded apartment, or Wine, whose COM implements neither for a
// server), or when it cannot be held open. In CreateInstance, on Windows,
// the caller is COM's activation service rather than the client.
bool DirectCaller(ClientProcess& process);

// What the platform tells of the caller of the COM call this thread is
// serving, every way the server may ask (for the record of stiscan doctor
// --windows-probe): the RPC runtime's client process; COM's record of the
// calling thread and the process that thread belongs to; and the calling
// process that COM's call context gives through ICallingProcessInfo on
// Windows 10 and later (its interface identifier is in the SDK's objidl.h,
// but the interface is not documented, so nothing else relies on it).
// Zero or a failure code where a way tells nothing.
struct CallerReport {
  LONG rpcStatus = 0;
  DWORD rpcProcess = 0;
  HRESULT callerThreadResult = E_NOTIMPL;
  DWORD callerThread = 0, callerThreadProcess = 0;
  HRESULT callingProcessInfo = E_NOTIMPL;
  DWORD callingProcessInfoProcess = 0;
};
void ReportCaller(CallerReport& report);

// Whether the process runs under Wine (its ntdll exports wine_get_version),
// or as the test hook of platform/hooks.h says.
bool UnderWine();

// How many scans of the process's handles CallingProcesses has run (tests
// count them).
size_t HandleScans();

// A handle that stays open for the process's life and is no pipe: the scan
// above passes over it.
void NoteLastingHandle(HANDLE handle);

// Whether the process has ended.
bool HasEnded(HANDLE process);
void CloseProcess(HANDLE process);

// Runs `tick` on this thread every `milliseconds`, as its messages are
// dispatched, until StopTicks; a second StartTicks only changes the tick.
void StartTicks(UINT milliseconds, void (*tick)());
void StopTicks();

}  // namespace platform_client
