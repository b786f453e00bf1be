// The memory the simulator keeps. In the Windows build everything the
// stand-in and its driver allocate (blocks, their strings, the driver's
// bookkeeping, every C++ object of the DLL) comes from a heap of the DLL's
// own, so that what the simulator holds can be told apart from what the
// process it serves holds: a server's growth, less this, is its own. The
// portable build shares the process's allocator (and its sanitizers).
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace sim {

// Zero-filled memory; null when none is to be had.
void* Allocate(size_t bytes);
void Free(void* at);

// A BSTR that only the driver frees (a job's names in an item record): in
// the simulator's heap, laid out as the system lays one out (the byte
// length before the characters, a terminator after them).
BSTR AllocateString(const WCHAR* text, UINT length);
void FreeString(BSTR text);

// The bytes the simulator's heap holds from the system (what it has
// committed, free space in it included); 0 where there is no heap of its
// own. Walks the heap: not for every call.
size_t HeapBytes();

}  // namespace sim
