// A second TWAIN manager for the tests, loaded by the TWAIN application
// beside Wine's under the name TWAIN 2.x managers have (TWAINDSM.dll): it
// takes nothing and counts every call, so that a test sees whether the
// data source sent its messages to a manager that did not open it.
#include <windows.h>

#include "protocol/twain2.h"

namespace {

LONG calls = 0;

}  // namespace

extern "C" TW_UINT16 PASCAL DSM_Entry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16,
                                      TW_MEMREF)
{
  InterlockedIncrement(&calls);
  return TWRC_FAILURE;
}

extern "C" int __cdecl ManagerCalls()
{
  return static_cast<int>(InterlockedCompareExchange(&calls, 0, 0));
}
