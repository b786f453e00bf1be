// DG_CONTROL / DAT_PENDINGXFERS: how many transfers are left, the end of
// one (MSG_ENDXFER, which says when it ended a job), and the end of all of
// them (MSG_RESET).
#include "source/session.h"

namespace twainds {

Result Session::PendingTransfers(TW_UINT16 message, TW_MEMREF data)
{
  auto* pending = static_cast<TW_PENDINGXFERS*>(data);
  if (pending == nullptr) return Failed(TWCC_BADVALUE);
  bool jobEnded = false;
  switch (message) {
    case MSG_ENDXFER:
      // Also when the server is gone: the walk is then over, nothing is
      // pending, and the application may close the source.
      walk_.End(jobEnded);
      // The user cancelled: no more transfers, and the job left where it
      // stands (none is deleted, the cancelled one was not whole).
      if (userCancelled_) {
        walk_.Stop();
        jobEnded = false;
      }
      Settle();
      break;
    case MSG_RESET:
      walk_.Stop();
      Settle();
      break;
    default:
      break;
  }
  pending->Count = static_cast<TW_UINT16>(walk_.Pending());
  // Under job control, the end of a job is a separator between documents:
  // there is no sheet of it, the walk goes on with the next job.
  pending->u.EOJ =
      jobEnded && choices_.jobControl != TWJC_NONE ? TWEJ_MIDSEPARATOR : TWEJ_NONE;
  return Done();
}

}  // namespace twainds
