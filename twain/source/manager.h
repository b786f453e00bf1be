// Messages from the source to the application, through the manager
// (DG_CONTROL / DAT_NULL: MSG_XFERREADY, MSG_CLOSEDSREQ): by the entry point
// the manager gave with DAT_ENTRYPOINT, else by the DSM_Entry of the module
// that opened the source (Wine's twain_32.dll gives no entry point). Never
// by a manager that merely happens to be loaded in the process: an
// application may have both managers loaded and have opened the source
// through either.
//
// A message is queued while an operation runs and sent once it has ended
// and the source is no longer busy (triplets.cpp), so that an application
// whose manager calls it back at once may call the source from its
// callback. The manager knows the source by the identity it assigned at
// MSG_OPENDS, and the application by its own.
#pragma once

#include <vector>

#include "protocol/twain2.h"

namespace twainds {

class Manager {
 public:
  void UseEntry(DSMENTRYPROC entry) { entry_ = entry; }
  // The manager that opened the source: the module `caller` (the address
  // DS_Entry returns to) lies in, else the one that holds `origin`,
  // whichever exports DSM_Entry.
  void OpenedFrom(const void* caller, const void* origin);
  // Who the messages are from and for, from MSG_OPENDS.
  void Address(const TW_IDENTITY& application, const TW_IDENTITY& source);
  void Forget();

  // Whether a message can go out at all: a manager to send it through and
  // an application to send it to.
  bool CanSend() const { return addressed_ && Entry() != nullptr; }
  // Queues one message, to go out after the operation under way.
  void Queue(TW_UINT16 message) { queued_.push_back(message); }
  // The next message queued, or MSG_NULL.
  TW_UINT16 Next();
  // Sends one message now; false when no manager took it.
  bool Send(TW_UINT16 message);

 private:
  DSMENTRYPROC Entry() const;

  DSMENTRYPROC entry_ = nullptr;
  DSMENTRYPROC opener_ = nullptr;
  TW_IDENTITY application_ = {};
  TW_IDENTITY source_ = {};
  bool addressed_ = false;
  std::vector<TW_UINT16> queued_;
};

}  // namespace twainds
