// The owner check of stored jobs: whether the token of the caller, the
// client whose call is being served, holds a job's owner SID, as its user
// or as one of its enabled groups.
//
// The server runs as whoever started it, and COM may admit callers of other
// identities (SYSTEM, or more once its access list is widened), so the
// check impersonates the client for its duration (identification is
// enough) and reverts. An impersonation that COM refuses fails the check.
// Where there is no call context to impersonate (a call from inside the
// process, or Wine 8, whose COM gives a server none: CoImpersonateClient
// answers RPC_E_CALL_COMPLETE there) the caller is taken to run under the
// server's own token, the thread's impersonation token if it has one, else
// the process's.
#pragma once

#include "platform/win32.h"

struct OwnerVerdict {
  bool holds = false;
  // What CoImpersonateClient answered; S_FALSE when the owner text was no
  // SID and nothing was asked.
  HRESULT impersonation = S_FALSE;
};

OwnerVerdict CheckCallerOwns(const WCHAR* ownerSid);
