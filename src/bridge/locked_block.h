// Global blocks that the bridge keeps locked for as long as it holds them
// (the launch buffer, the item list header): the block and its locked
// pointer live in two fields and are made and forgotten together.
#pragma once

#include "platform/win32.h"

// Frees the block and empties both fields; nothing happens to empty ones.
template <typename T>
void FreeLockedBlock(HGLOBAL& block, T*& locked)
{
  if (block != nullptr) {
    GlobalUnlock(block);
    GlobalFree(block);
  }
  block = nullptr;
  locked = nullptr;
}

// A new zero-filled block of `bytes`, locked. On failure both fields stay
// empty and the result is false.
template <typename T>
bool AllocateLockedBlock(HGLOBAL& block, T*& locked, SIZE_T bytes)
{
  block = GlobalAlloc(GHND, bytes);
  locked = static_cast<T*>(GlobalLock(block));
  if (locked != nullptr) return true;
  FreeLockedBlock(block, locked);
  return false;
}
