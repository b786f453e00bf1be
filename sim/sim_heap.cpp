#include "sim/sim_heap.h"

#include <cstdlib>
#include <cstring>
#include <new>

#ifdef _WIN32

namespace {

HANDLE Heap()
{
  static const HANDLE heap = HeapCreate(0, 0, 0);
  return heap;
}

void* Take(size_t bytes)
{
  return HeapAlloc(Heap(), 0, bytes == 0 ? 1 : bytes);
}

void* TakeOrThrow(size_t bytes)
{
  void* at = Take(bytes);
  if (at == nullptr) throw std::bad_alloc();
  return at;
}

void Give(void* at)
{
  if (at != nullptr) HeapFree(Heap(), 0, at);
}

}  // namespace

// Every C++ allocation of the DLL: operator new is the module's own, the
// standard library being linked in statically.
void* operator new(size_t bytes)
{
  return TakeOrThrow(bytes);
}
void* operator new[](size_t bytes)
{
  return TakeOrThrow(bytes);
}
void* operator new(size_t bytes, const std::nothrow_t&) noexcept
{
  return Take(bytes);
}
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept
{
  return Take(bytes);
}
void operator delete(void* at) noexcept
{
  Give(at);
}
void operator delete[](void* at) noexcept
{
  Give(at);
}
void operator delete(void* at, size_t) noexcept
{
  Give(at);
}
void operator delete[](void* at, size_t) noexcept
{
  Give(at);
}
void operator delete(void* at, const std::nothrow_t&) noexcept
{
  Give(at);
}
void operator delete[](void* at, const std::nothrow_t&) noexcept
{
  Give(at);
}

namespace sim {

void* Allocate(size_t bytes)
{
  return HeapAlloc(Heap(), HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
}

void Free(void* at)
{
  Give(at);
}

BSTR AllocateString(const WCHAR* text, UINT length)
{
  const size_t bytes = size_t(length) * sizeof(WCHAR);
  auto* at = static_cast<BYTE*>(Allocate(sizeof(DWORD) + bytes + sizeof(WCHAR)));
  if (at == nullptr) return nullptr;
  const DWORD prefix = static_cast<DWORD>(bytes);
  std::memcpy(at, &prefix, sizeof prefix);
  if (text != nullptr) std::memcpy(at + sizeof prefix, text, bytes);
  return reinterpret_cast<BSTR>(at + sizeof prefix);
}

void FreeString(BSTR text)
{
  if (text != nullptr) Give(reinterpret_cast<BYTE*>(text) - sizeof(DWORD));
}

size_t HeapBytes()
{
  // The heap's regions, as committed, and its large blocks, which lie
  // outside every region, each in whole pages of their own.
  const size_t page = 4096;
  size_t bytes = 0;
  const BYTE* regionFirst = nullptr;
  const BYTE* regionLast = nullptr;
  PROCESS_HEAP_ENTRY entry = {};
  HeapLock(Heap());
  while (HeapWalk(Heap(), &entry)) {
    const auto* at = static_cast<const BYTE*>(entry.lpData);
    if (entry.wFlags & PROCESS_HEAP_REGION) {
      bytes += entry.Region.dwCommittedSize;
      regionFirst = static_cast<const BYTE*>(entry.Region.lpFirstBlock);
      regionLast = static_cast<const BYTE*>(entry.Region.lpLastBlock);
    } else if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) && (at < regionFirst || at >= regionLast)) {
      bytes += (entry.cbData + entry.cbOverhead + page - 1) / page * page;
    }
  }
  HeapUnlock(Heap());
  return bytes;
}

}  // namespace sim

#else

namespace sim {

void* Allocate(size_t bytes)
{
  return std::calloc(bytes == 0 ? 1 : bytes, 1);
}
void Free(void* at)
{
  std::free(at);
}
BSTR AllocateString(const WCHAR* text, UINT length)
{
  return SysAllocStringLen(text, length);
}
void FreeString(BSTR text)
{
  SysFreeString(text);
}
size_t HeapBytes()
{
  return 0;
}

}  // namespace sim

#endif
