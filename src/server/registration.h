// Self-registration as the local server of the hosted class.
//
// Registration writes only HKCR\CLSID\{clsid}\LocalServer32 = the
// executable's path, in double quotes when it holds a space (COM starts the
// server from that value as a command line). Unregistration removes the class key and both ProgID
// keys, unless the class key also holds an InprocServer32 subkey (some other
// module serves the class in-process): then only LocalServer32 goes.
//
// Both report whether they did what they were asked, so that the process's
// exit code tells a script or an installer (a write under HKEY_CLASSES_ROOT
// without elevation is refused, and the registration it meant is not
// there). A registration that fails leaves no key of its own behind.
#pragma once

#include "platform/win32.h"

extern HINSTANCE moduleInstance;

// S_OK when LocalServer32 holds the path; otherwise a failure, with the keys
// this call created removed again (those that were there stay).
HRESULT WriteRegistration();
// S_OK when nothing of the entries is left (also when nothing was there); a
// failure when a key that exists could not be removed. Every tree is
// attempted whatever became of the one before.
HRESULT RemoveRegistration(const CLSID& clsid, const char* progId, const char* versionedProgId);

// Deletes `subKeyName` of `parent` with everything below it, children before
// parents. Returns the registry status; a key that cannot be deleted stops
// the deletion of its ancestors.
LSTATUS DeleteKeyTree(HKEY parent, LPCWSTR subKeyName);
