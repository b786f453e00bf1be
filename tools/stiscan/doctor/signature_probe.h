// The Windows side of stiscan doctor's signature checks: which files of the
// product this machine has (where the registry and the package put them),
// what WinVerifyTrust says of each, and the signer named in each signature.
#pragma once

#include <vector>

#include "doctor/signatures.h"

namespace stiscan {

// The server (its LocalServer32), both proxies (each registry view's
// InprocServer32), both data sources (where the package installs them) and
// this stiscan, in that order.
std::vector<SignatureFacts> GatherSignatureFacts();

}  // namespace stiscan
