// This source's own capability, for an application that does not show the
// source's window: which stored jobs to bring over (docs/integration-guide.md).
//   MSG_GET         TW_ARRAY of TWTY_STR255 (ANSI code page): the item names
//                   of every job the source can bring over now, in the
//                   scanner's order; a name the code page cannot hold in
//                   255 bytes is left out (name it in TWTY_UNI512)
//   MSG_GETCURRENT  TW_ARRAY: the jobs named (none: every job), in
//                   TWTY_STR255, or TWTY_UNI512 when one of them does not fit
//   MSG_GETDEFAULT  an empty TW_ARRAY of TWTY_STR255
//   MSG_SET         TW_ARRAY or TW_ONEVALUE of TWTY_UNI512 or TWTY_STR32 to
//                   TWTY_STR1024 (ANSI code page): the jobs to bring over, in
//                   that order; each must be one the source can bring over
//                   now; an empty array names none
//   MSG_RESET       none named again (an empty TW_ARRAY of TWTY_STR255)
#pragma once

#include "protocol/twain2.h"

#define STIBRIDGE_CAP_JOBS (CAP_CUSTOMBASE + 1)

// This source's own item of extended image information (DAT_EXTIMAGEINFO):
// the item name of the job the page belongs to, in TWTY_STR255 (ANSI code
// page) when it fits there, else in TWTY_UNI512; a handle the application
// frees, as for every item that does not fit in TW_INFO's Item.
#define STIBRIDGE_TWEI_ITEMNAME 0x8001
