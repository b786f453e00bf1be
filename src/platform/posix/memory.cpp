// Global, local and task memory, interlocked operations. There is no
// movable memory: a handle is the block's own address, so that ASan and
// valgrind see every block exactly as the caller does (no hidden header).
// The sizes live in a side table, which also lets a free of something that
// was never allocated here fail cleanly instead of corrupting the heap. A
// block freed a second time is a double free, though, not a stranger: it is
// handed to free() again, so that the sanitizers (or the C library) report
// it where it happens.
#include "platform/posix/posix_internal.h"
#include "platform/hook_state.h"

#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

struct BlockTable {
  std::mutex lock;
  std::unordered_map<const void*, SIZE_T> sizes;
  // The blocks freed last, oldest first (a bounded memory: a long run frees
  // millions).
  std::unordered_set<const void*> freed;
  std::deque<const void*> freedInOrder;
};

constexpr size_t kFreedRemembered = 65536;

BlockTable& Blocks()
{
  // Never destroyed: blocks may be freed by static destructors at exit.
  static BlockTable* table = new BlockTable;
  return *table;
}

HANDLE Allocate(UINT flags, SIZE_T bytes)
{
  // A zero-byte block is still a distinct, freeable block, as on Windows.
  SIZE_T real = bytes == 0 ? 1 : bytes;
  void* block = (flags & GMEM_ZEROINIT) ? calloc(1, real) : malloc(real);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(Blocks().lock);
  Blocks().sizes[block] = bytes;
  // An address the C library gives again is a new block.
  Blocks().freed.erase(block);
  return block;
}

// Frees a block of the table; answers null on success and the handle itself
// (with ERROR_INVALID_HANDLE) for anything the table does not know.
HANDLE Release(HANDLE block)
{
  if (block == nullptr) return nullptr;
  {
    std::lock_guard<std::mutex> guard(Blocks().lock);
    BlockTable& table = Blocks();
    if (table.sizes.erase(block) == 0) {
      if (table.freed.count(block) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return block;
      }
      // Freed before: fall through to the second free().
    } else {
      table.freed.insert(block);
      table.freedInOrder.push_back(block);
      if (table.freedInOrder.size() > kFreedRemembered) {
        table.freed.erase(table.freedInOrder.front());
        table.freedInOrder.pop_front();
      }
    }
  }
  free(block);
  return nullptr;
}

// Whether the table holds `block`, with its size; ERROR_INVALID_HANDLE for
// anything it does not hold, null included.
bool Known(const void* block, SIZE_T* size)
{
  if (block != nullptr) {
    std::lock_guard<std::mutex> guard(Blocks().lock);
    auto found = Blocks().sizes.find(block);
    if (found != Blocks().sizes.end()) {
      if (size != nullptr) *size = found->second;
      return true;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

// Global and local memory as callers get it: subject to the allocation-failure
// hook.
HANDLE AllocateHooked(UINT flags, SIZE_T bytes)
{
  if (platform_hooks::state::TakeAllocationFailure()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return Allocate(flags, bytes);
}

}  // namespace

namespace posix_internal {

HLOCAL AllocateLocalUnhooked(UINT flags, SIZE_T bytes)
{
  return Allocate(flags, bytes);
}

LPVOID AllocateTaskUnhooked(SIZE_T bytes)
{
  return malloc(bytes == 0 ? 1 : bytes);
}

}  // namespace posix_internal

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes)
{
  return AllocateHooked(flags, bytes);
}

HGLOBAL GlobalFree(HGLOBAL block)
{
  return Release(block);
}

LPVOID GlobalLock(HGLOBAL block)
{
  return Known(block, nullptr) ? block : nullptr;
}

BOOL GlobalUnlock(HGLOBAL block)
{
  // Fixed memory has no lock count: the block is always "unlocked" after
  // the call, which Windows reports as FALSE with NO_ERROR.
  if (Known(block, nullptr)) SetLastError(NO_ERROR);
  return FALSE;
}

SIZE_T GlobalSize(HGLOBAL block)
{
  SIZE_T size = 0;
  return Known(block, &size) ? size : 0;
}

HGLOBAL GlobalHandle(LPCVOID pointer)
{
  return Known(pointer, nullptr) ? const_cast<LPVOID>(pointer) : nullptr;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
  return AllocateHooked(flags, bytes);
}

HLOCAL LocalFree(HLOCAL block)
{
  return Release(block);
}

LPVOID CoTaskMemAlloc(SIZE_T size)
{
  if (platform_hooks::state::TakeAllocationFailure()) return nullptr;
  return posix_internal::AllocateTaskUnhooked(size);
}

void CoTaskMemFree(LPVOID block)
{
  free(block);
}

LONG InterlockedIncrement(LONG volatile* value)
{
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* value)
{
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* value, LONG newValue)
{
  return __atomic_exchange_n(value, newValue, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* value, LONG exchange, LONG comparand)
{
  __atomic_compare_exchange_n(value, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
