// BSTR out-parameters of the interface are [in, out]: the caller's value
// survives the paths that do not write it, and a path that does write it
// frees what the slot held, as COM's rules for [in, out] BSTRs require (the
// stub on the server side would otherwise leak the incoming copy).
#pragma once

#include "platform/win32.h"

inline void ReplaceBstr(BSTR* slot, BSTR value)
{
  SysFreeString(*slot);
  *slot = value;
}
