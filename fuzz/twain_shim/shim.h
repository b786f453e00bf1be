// What the fuzz target asks of the Win32 shim beyond the API itself: its
// scratch folder, the code page, faults to inject, and what is left over
// (blocks, files, windows) for its rules.
#pragma once

#include <cstddef>
#include <string>

#include "windows.h"

namespace twainshim {

// Makes the scratch folder of this process (the drive C:, with C:\work
// the current folder and C:\temp the temporary one) and removes it at exit.
void Start();
// Empties the scratch folder again, forgets every fault, and frees every
// block and closes every file still held (after the rules looked at them).
void Reset();
// The folder on this machine that holds the Windows path `path` (a full
// one, as GetFullPathNameA makes it); empty for one outside drive C:.
std::string HostPath(const std::string& path);
// A folder under C:\ for the run's file names (created, or removed again).
void MakeFolder(const std::string& path);
void RemoveFolder(const std::string& path);

// The ANSI code page: 1252 or CP_UTF8.
void UseCodePage(UINT codePage);

// The `nth` GlobalAlloc from now (1 the next) fails, once.
void FailAllocation(unsigned nth);
// Memory of the application's own, which no fault reaches.
HGLOBAL AppAlloc(UINT flags, SIZE_T bytes);

// File faults: the `nth` call of the kind from now fails with `error`, once
// (a write then writes nothing, a close closes all the same).
enum class FileCall { kCreate, kWrite, kRead, kClose, kTempName, kTempPath, kCount };
void FailFile(FileCall call, unsigned nth, DWORD error);

// What is left over.
size_t LiveBlocks();
// Whether `handle` is a live block, its size, and how often it is locked.
bool IsBlock(HGLOBAL handle);
size_t BlockSize(HGLOBAL handle);
int LockCount(HGLOBAL handle);
// GlobalFree, GlobalUnlock or GlobalReAlloc of something that is no live
// block, and a file call on no open file, since the last Reset (GlobalSize
// and GlobalLock of no block are only what an application's lie makes).
size_t BadHandleCalls();
size_t OpenFiles();
size_t LiveWindows();
// Files that GetTempFileNameA made and nobody deleted.
size_t TemporaryFiles();

// Windows of the source's stand-ins.
HWND CreateWindowToken();
void DestroyWindowToken(HWND window);

}  // namespace twainshim
