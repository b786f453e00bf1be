// Kernel, user and memory services of the portable subset.
#pragma once

#include "types.h"

// Global and local memory. The portable subset has no movable memory: a
// handle is the block's address, and locking returns it.
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL block);
LPVOID GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
SIZE_T GlobalSize(HGLOBAL block);
HGLOBAL GlobalHandle(LPCVOID pointer);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);

// Interlocked operations on 32-bit counts.
LONG InterlockedIncrement(LONG volatile* value);
LONG InterlockedDecrement(LONG volatile* value);
LONG InterlockedExchange(LONG volatile* value, LONG newValue);
LONG InterlockedCompareExchange(LONG volatile* value, LONG exchange, LONG comparand);

// Threads, errors, time.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
DWORD GetLastError();
void SetLastError(DWORD error);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// Module.
HMODULE GetModuleHandleW(LPCWSTR name);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity);

// Messages of the thread queue.
#define WM_NULL 0x0000
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define SW_SHOWDEFAULT 10
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_THREAD_ID 1444L
BOOL GetMessageW(LPMSG message, HWND window, UINT first, UINT last);
BOOL PeekMessageW(LPMSG message, HWND window, UINT first, UINT last, UINT removal);
LRESULT DispatchMessageW(const MSG* message);
BOOL TranslateMessage(const MSG* message);
BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Thread timers (no window): each is the calling thread's, and its WM_TIMER
// (wParam the timer's id, lParam its procedure) is made when the thread
// takes a message, a period after the last one, and only when no posted
// message or quit is waiting. SetTimer with the id of one of the thread's
// timers sets that one anew; with any other id it makes a new timer and
// returns its id. DispatchMessageW calls the procedure of a WM_TIMER that
// names one.
#define WM_TIMER 0x0113
#define USER_TIMER_MINIMUM 0x0000000A
typedef void(CALLBACK* TIMERPROC)(HWND window, UINT message, UINT_PTR id, DWORD time);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC procedure);
BOOL KillTimer(HWND window, UINT_PTR id);

// Kernel objects: events and handles. Names live in one process-local
// namespace, as the default local namespace does for one session.
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL CloseHandle(HANDLE object);
#define EVENT_ALL_ACCESS 0x1F0003
#define SYNCHRONIZE 0x00100000L
#define EVENT_MODIFY_STATE 0x0002

// Code-page conversion.
#define CP_ACP 0
#define CP_UTF8 65001
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out,
                        int capacity, LPCSTR defaultChar, LPBOOL usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                        int capacity);

// Entry point of a windowless program; the portable subset's main() builds
// the command tail as the language runtime does and calls it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandTail, int show);
// The part of `commandLine` after the program name and the blanks that
// follow it, as the runtime passes it to WinMain.
LPSTR RuntimeCommandTail(LPSTR commandLine);

// Clears memory in a way the compiler may not drop as a dead store (for
// buffers that held a secret).
inline PVOID SecureZeroMemory(PVOID block, SIZE_T bytes)
{
  volatile BYTE* p = static_cast<volatile BYTE*>(block);
  while (bytes-- > 0) *p++ = 0;
  return block;
}
