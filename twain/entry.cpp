// The data source's one entry point. The module does nothing when it is
// loaded (no DllMain of its own, no object built at load): the loader lock
// allows nothing useful, and a manager loads a source to ask its identity
// as often as to open it. What it keeps is made at the first call.
#include "source/triplets.h"

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                     TW_UINT16 MSG, TW_MEMREF pData)
{
  static twainds::Module module;
  return twainds::Dispatch(module, pOrigin, DG, DAT, MSG, pData);
}
