// Self-registration as the local server of the hosted class.
//
// Registration writes only HKCR\CLSID\{clsid}\LocalServer32 = the
// executable's path, in double quotes when it holds a space (COM starts the
// server from that value as a command line). Unregistration removes the class key and both ProgID
// keys, unless the class key also holds an InprocServer32 subkey (some other
// module serves the class in-process): then only LocalServer32 goes.
#pragma once

#include "platform/win32.h"

extern HINSTANCE moduleInstance;

void WriteRegistration();
HRESULT RemoveRegistration(const CLSID& clsid, const char* progId, const char* versionedProgId);

// Deletes `subKeyName` of `parent` with everything below it, children before
// parents. Returns the registry status; a key that cannot be deleted stops
// the deletion of its ancestors.
LSTATUS DeleteKeyTree(HKEY parent, LPCWSTR subKeyName);
