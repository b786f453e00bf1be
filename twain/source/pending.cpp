// DG_CONTROL / DAT_PENDINGXFERS: how many transfers are left, the end of
// one (MSG_ENDXFER), and the end of all of them (MSG_RESET).
#include "source/session.h"

namespace twainds {

Result Session::PendingTransfers(TW_UINT16 message, TW_MEMREF data)
{
  auto* pending = static_cast<TW_PENDINGXFERS*>(data);
  if (pending == nullptr) return Failed(TWCC_BADVALUE);
  switch (message) {
    case MSG_ENDXFER:
      // Also when the server is gone: the walk is then over, nothing is
      // pending, and the application may close the source.
      walk_.End();
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
  pending->u.EOJ = 0;
  return Done();
}

}  // namespace twainds
