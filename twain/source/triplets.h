// The operations this source answers, each with the states it may come in.
#pragma once

#include "source/session.h"

namespace twainds {

// One call of DS_Entry: the operation's return code. An operation this
// source does not know is TWCC_BADPROTOCOL, one in a state it may not come
// in TWCC_SEQERROR; the condition of every operation is kept for DAT_STATUS.
TW_UINT16 Dispatch(Module& module, pTW_IDENTITY origin, TW_UINT32 group, TW_UINT16 dat,
                   TW_UINT16 message, TW_MEMREF data);

}  // namespace twainds
