// COM on the application's thread, as the data source finds it. The source
// runs on a thread it does not own: a thread without COM gets a
// single-threaded apartment for as long as the source is open; a thread in
// an apartment of either kind is used as it is and left as it was. The
// server's object belongs to the apartment of the thread that entered (a
// call from any other thread gets RPC_E_WRONG_THREAD), so that thread is
// recorded, and only it undoes what Enter did.
#pragma once

#include <windows.h>

namespace twainds {

class Apartment {
 public:
  Apartment() = default;
  ~Apartment() { Leave(); }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

  // S_OK when COM can be used on this thread (set up here or before); the
  // thread is the apartment's from then on.
  HRESULT Enter();
  // Undoes Enter's own initialisation, if it made one; nothing on any other
  // thread than the one that entered (it never initialised COM there, and
  // an uninitialisation there would take one of that thread's own).
  void Leave();
  // Whether the calling thread is the one that entered (true before Enter).
  bool OnItsThread() const;

 private:
  bool initialised_ = false;
  DWORD thread_ = 0;
};

}  // namespace twainds
