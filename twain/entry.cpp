// The data source's one entry point. The module does nothing when it is
// loaded (no DllMain of its own, no object built at load): the loader lock
// allows nothing useful, and a manager loads a source to ask its identity
// as often as to open it. What it keeps is made at the first call.
#if defined(_MSC_VER)
#include <intrin.h>
#pragma intrinsic(_ReturnAddress)
#define STIBRIDGE_CALLER() _ReturnAddress()
#else
#define STIBRIDGE_CALLER() __builtin_return_address(0)
#endif

#include "source/triplets.h"

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                     TW_UINT16 MSG, TW_MEMREF pData)
{
  static twainds::Module module;
  // Where the call comes from: the manager that opens the source is the one
  // its messages go back through.
  return twainds::Dispatch(module, STIBRIDGE_CALLER(), pOrigin, DG, DAT, MSG, pData);
}
