// A unique owner of one handle or block, released by the function it is
// parameterised by when the owner goes out of scope. For what a function owns
// only for its own duration (a registry key opened for one read, a SID, a
// scratch block, a BSTR that a failing path must not leak); fields whose
// release Close performs in a fixed order stay plain fields.
#pragma once

#include <utility>

#include "platform/win32.h"

template <typename T, auto Release>
class Unique {
 public:
  Unique() = default;
  explicit Unique(T value) : value_(value) {}
  ~Unique() { Reset(); }

  Unique(Unique&& other) noexcept : value_(other.Detach()) {}
  Unique& operator=(Unique&& other) noexcept
  {
    Reset(other.Detach());
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;

  T Get() const { return value_; }
  explicit operator bool() const { return value_ != T{}; }

  // The slot for an API that writes the handle through an out-pointer;
  // whatever was owned before is released first.
  T* Put()
  {
    Reset();
    return &value_;
  }

  // Gives up ownership without releasing.
  T Detach() { return std::exchange(value_, T{}); }

  void Reset(T value = T{})
  {
    T old = std::exchange(value_, value);
    if (old != T{}) Release(old);
  }

 private:
  T value_{};
};

namespace unique_release {
inline void CloseKey(HKEY key)
{
  RegCloseKey(key);
}
inline void CloseKernelHandle(HANDLE handle)
{
  CloseHandle(handle);
}
inline void FreeLocal(void* block)
{
  LocalFree(block);
}
inline void FreeGlobal(void* block)
{
  GlobalFree(block);
}
inline void FreeBstr(BSTR text)
{
  SysFreeString(text);
}
inline void FreeTaskMem(void* block)
{
  CoTaskMemFree(block);
}
}  // namespace unique_release

using UniqueKey = Unique<HKEY, unique_release::CloseKey>;
// A kernel handle (token, event) closed with CloseHandle.
using UniqueHandle = Unique<HANDLE, unique_release::CloseKernelHandle>;
using UniqueBstr = Unique<BSTR, unique_release::FreeBstr>;
// LocalAlloc'd memory, SIDs from ConvertStringSidToSidW among it.
template <typename T = void*>
using UniqueLocal = Unique<T, unique_release::FreeLocal>;
template <typename T = void*>
using UniqueGlobal = Unique<T, unique_release::FreeGlobal>;
template <typename T = void*>
using UniqueTaskMem = Unique<T, unique_release::FreeTaskMem>;
