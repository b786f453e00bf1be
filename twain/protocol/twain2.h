// TWAIN as this data source speaks it: Wine's twain.h (protocol 1.8 with
// DAT_ENTRYPOINT), and the few values of TWAIN 2.x that it lacks, with the
// numbers the public TWAIN 2.x specification gives them.
#pragma once

#include <windows.h>

// Wine's header marks DS_Entry with a macro of Wine's own headers, which
// mingw's do not have; the source's exports are its .def file's.
#ifndef DECLSPEC_EXPORT
#define DECLSPEC_EXPORT
#endif
#include <twain.h>

// The protocol this source speaks: 2.2, the first with MSG_SETCONSTRAINT.
#define STIBRIDGE_PROTOCOLMAJOR 2
#define STIBRIDGE_PROTOCOLMINOR 2

// Who speaks 2.x (TW_IDENTITY.SupportedGroups).
#ifndef DF_DSM2
#define DF_DSM2 0x10000000L
#endif
#ifndef DF_APP2
#define DF_APP2 0x20000000L
#endif

// Capability operations added by 2.x.
#ifndef MSG_SETCONSTRAINT
#define MSG_SETCONSTRAINT 0x000c
#endif
#ifndef MSG_RESETALL
#define MSG_RESETALL 0x0a01
#endif
#ifndef TWQC_SETCONSTRAINT
#define TWQC_SETCONSTRAINT 0x0020
#endif
#ifndef TWQC_CONSTRAINABLE
#define TWQC_CONSTRAINABLE 0x0040
#endif

// Item types for longer and wide strings.
#ifndef TWTY_STR1024
#define TWTY_STR1024 0x000d
#endif
#ifndef TWTY_UNI512
#define TWTY_UNI512 0x000e
#endif

// The operation found nothing to acquire.
#ifndef TWCC_NOMEDIA
#define TWCC_NOMEDIA 29
#endif

// 2.x spells out the default index of an enumeration whose default value is
// not among its (constrained) items.
#ifndef TWON_DONTCARE32
#define TWON_DONTCARE32 0xffffffff
#endif

namespace twainds {

// A TW_UNI512 string: 512 UTF-16 units with their terminator.
constexpr size_t kUni512Units = 512;

// What an operation answers: the return code, and the condition code that
// DAT_STATUS reports afterwards.
struct Result {
  TW_UINT16 rc = TWRC_SUCCESS;
  TW_UINT16 cc = TWCC_SUCCESS;
};

inline Result Done(TW_UINT16 rc = TWRC_SUCCESS)
{
  return {rc, TWCC_SUCCESS};
}

inline Result Failed(TW_UINT16 cc)
{
  return {TWRC_FAILURE, cc};
}

}  // namespace twainds
