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

// The protocol this source speaks: 2.4, the one TWAIN certification asks
// for.
#define STIBRIDGE_PROTOCOLMAJOR 2
#define STIBRIDGE_PROTOCOLMINOR 4

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

// Capabilities added by 2.x: the operations a source answers (each item
// the data group in its upper and the data argument type in its lower 16
// bits), and the extended image information it gives.
#ifndef CAP_SUPPORTEDDATS
#define CAP_SUPPORTEDDATS 0x103e
#endif
#ifndef ICAP_SUPPORTEDEXTIMAGEINFO
#define ICAP_SUPPORTEDEXTIMAGEINFO 0x115e
#endif

// A file's bytes in memory strips.
#ifndef TWSX_MEMFILE
#define TWSX_MEMFILE 4
#endif
#ifndef DAT_IMAGEMEMFILEXFER
#define DAT_IMAGEMEMFILEXFER 0x0402
#endif

// Extended image information of 2.x (DAT_EXTIMAGEINFO): where a page lies
// in the documents of a session.
#ifndef TWEI_DOCUMENTNUMBER
#define TWEI_DOCUMENTNUMBER 0x123a
#define TWEI_PAGENUMBER 0x123b
#define TWEI_FRAMENUMBER 0x123d
#define TWEI_FRAME 0x123e
#define TWEI_PIXELFLAVOR 0x123f
#define TWEI_PAGESIDE 0x1245
#endif
#ifndef TWCS_TOP
#define TWCS_BOTH 0
#define TWCS_TOP 1
#define TWCS_BOTTOM 2
#endif

// 2.x spells out the default index of an enumeration whose default value is
// not among its (constrained) items.
#ifndef TWON_DONTCARE32
#define TWON_DONTCARE32 0xffffffff
#endif

// One item of DAT_EXTIMAGEINFO as 2.x lays it out: the item a pointer wide
// (1.x had 32 bits, which 2.x widened for 64-bit applications).
#pragma pack(push, 2)
struct TW_INFO2 {
  TW_UINT16 InfoID;
  TW_UINT16 ItemType;
  TW_UINT16 NumItems;
  TW_UINT16 ReturnCode;
  UINT_PTR Item;
};
#pragma pack(pop)
static_assert(sizeof(TW_INFO2) == 8 + sizeof(void*));

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
