// This source's own capability, for an application that does not show the
// source's window: which stored jobs to bring over (docs/integration-guide.md).
//   MSG_GET         TW_ARRAY of TWTY_UNI512: the item names of every job the
//                   source can bring over now, in the scanner's order
//   MSG_GETCURRENT  TW_ARRAY of TWTY_UNI512: the jobs named (none: every job)
//   MSG_GETDEFAULT  an empty TW_ARRAY
//   MSG_SET         TW_ARRAY or TW_ONEVALUE of TWTY_UNI512 or TWTY_STR32 to
//                   TWTY_STR1024 (ANSI code page): the jobs to bring over, in
//                   that order; each must be one MSG_GET lists; an empty
//                   array names none
//   MSG_RESET       none named again
#pragma once

#include "protocol/twain2.h"

#define STIBRIDGE_CAP_JOBS (CAP_CUSTOMBASE + 1)
