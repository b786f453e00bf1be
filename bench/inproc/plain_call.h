// The yardstick of the in-process call benchmark: an interface method of the
// same shape as GetPagePosition whose implementation lives in another
// translation unit, so that the compiler must make a real virtual call.
#pragma once

struct PlainPosition {
  virtual ~PlainPosition() = default;
  virtual long GetPosition(int* page, int* pages) = 0;
};

PlainPosition* NewPlainPosition();
