// Messages from the source to the application, through the manager
// (DG_CONTROL / DAT_NULL: MSG_XFERREADY, MSG_CLOSEDSREQ): by the entry point
// the manager gave with DAT_ENTRYPOINT, or, from a manager that gives none
// (Wine's twain_32.dll), by the DSM_Entry of the manager loaded in the
// process. The manager knows the source by the identity it assigned at
// MSG_OPENDS, and the application by its own.
#pragma once

#include "protocol/twain2.h"

namespace twainds {

class Manager {
 public:
  void UseEntry(DSMENTRYPROC entry) { entry_ = entry; }
  // Who the messages are from and for, from MSG_OPENDS.
  void Address(const TW_IDENTITY& application, const TW_IDENTITY& source);
  void Forget();

  // Sends one message; false when no manager took it.
  bool Send(TW_UINT16 message);

 private:
  DSMENTRYPROC Entry() const;

  DSMENTRYPROC entry_ = nullptr;
  TW_IDENTITY application_ = {};
  TW_IDENTITY source_ = {};
  bool addressed_ = false;
};

}  // namespace twainds
