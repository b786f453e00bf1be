// The operations this source answers, each with the states it may come in.
#pragma once

#include <vector>

#include "source/session.h"

namespace twainds {

// One call of DS_Entry from code at `caller`: the operation's return code.
// An operation this source does not know is TWCC_BADPROTOCOL, one in a
// state it may not come in TWCC_SEQERROR; the condition of every operation
// is kept for DAT_STATUS. The messages the operation gave rise to go to the
// application once it has ended (manager.h).
// Every operation the source answers (CAP_SUPPORTEDDATS): the data group
// in the upper 16 bits, the data argument type in the lower.
std::vector<TW_UINT32> SupportedOperations();

// Sends the messages queued (manager.h); a transfer offered that cannot be
// told of is taken back. Whether MSG_ENABLEDS, had it offered the
// transfer, would fail.
bool SendNotices(Module& module);

TW_UINT16 Dispatch(Module& module, const void* caller, pTW_IDENTITY origin, TW_UINT32 group,
                   TW_UINT16 dat, TW_UINT16 message, TW_MEMREF data);

}  // namespace twainds
