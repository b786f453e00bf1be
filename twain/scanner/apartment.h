// COM on the application's thread, as the data source finds it. The source
// runs on a thread it does not own: a thread without COM gets a
// single-threaded apartment for as long as the source is open; a thread in
// an apartment of either kind is used as it is and left as it was.
#pragma once

#include <windows.h>

namespace twainds {

class Apartment {
 public:
  Apartment() = default;
  ~Apartment() { Leave(); }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

  // S_OK when COM can be used on this thread (set up here or before).
  HRESULT Enter();
  // Undoes Enter's own initialisation, if it made one.
  void Leave();

 private:
  bool initialised_ = false;
};

}  // namespace twainds
