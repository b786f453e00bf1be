// stiscan doctor's signature checks: whether each installed file of the
// product carries a valid Authenticode signature and whose, and whether all
// of them come from one publisher. An administrator whose application-control
// policy admits only signed code, or only one publisher's, learns here which
// file it would refuse. This part judges what the Windows side found
// (signature_probe.cpp) and needs no Windows.
#pragma once

#include <string>
#include <vector>

#include "doctor/doctor.h"

namespace stiscan {

// WinVerifyTrust's answers that the checks tell apart.
constexpr unsigned long kTrustNoSignature = 0x800B0100ul;      // TRUST_E_NOSIGNATURE
constexpr unsigned long kTrustSubjectUnknown = 0x800B0003ul;   // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr unsigned long kTrustProviderUnknown = 0x800B0001ul;  // TRUST_E_PROVIDER_UNKNOWN
constexpr unsigned long kTrustBadDigest = 0x80096010ul;        // TRUST_E_BAD_DIGEST
constexpr unsigned long kTrustUntrustedRoot = 0x800B0109ul;    // CERT_E_UNTRUSTEDROOT
constexpr unsigned long kTrustChaining = 0x800B010Aul;         // CERT_E_CHAINING
constexpr unsigned long kTrustExpired = 0x800B0101ul;          // CERT_E_EXPIRED
constexpr unsigned long kTrustRevoked = 0x800B010Cul;          // CERT_E_REVOKED
constexpr unsigned long kTrustWrongUsage = 0x800B0110ul;       // CERT_E_WRONG_USAGE
constexpr unsigned long kTrustDistrusted = 0x800B0111ul;       // TRUST_E_EXPLICIT_DISTRUST

// One file of the product as this machine has it.
struct SignatureFacts {
  std::string name;  // as the report names it: "stibridge.exe", "stibridgeps.dll (x86)"
  std::string path;  // UTF-8; empty: nothing says where it is
  bool exists = false;
  bool asked = false;         // WinVerifyTrust was asked about it
  unsigned long verdict = 0;  // WinVerifyTrust's result (0: a valid signature, trusted)
  std::string verdictText;    // that result, its code and what the system says of it
  std::string signer;         // the signer's name from its certificate; empty: none found
};

// One check per file (id "signature", `file` its path), then one of the
// publishers (id "publisher"). Unsigned files, signatures that are not
// valid and publishers that differ are warnings: the product runs, but a
// policy that admits only signed code (or one publisher's) refuses it.
std::vector<Check> SignatureChecks(const std::vector<SignatureFacts>& files);

}  // namespace stiscan
