#include "doctor/signatures.h"

#include <cstdio>
#include <utility>

namespace stiscan {

namespace {

using Status = Check::Status;

const char kSignedPackage[] =
    "install the publisher's signed package (msiexec /i stibridge.msi): a policy that admits only "
    "signed code refuses this file";

std::string Quote(const std::string& text)
{
  return "\"" + text + "\"";
}

std::string Hex(unsigned long value)
{
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", value);
  return text;
}

Check FileCheck(const SignatureFacts& file, Status status, std::string found,
                std::string remedy = {})
{
  Check check;
  check.id = "signature";
  check.title = "signature of " + file.name;
  check.file = file.path;
  check.status = status;
  check.found = std::move(found);
  check.remedy = std::move(remedy);
  return check;
}

// The result as WinVerifyTrust gave it, for the end of a finding.
std::string Verdict(const SignatureFacts& file)
{
  return " (WinVerifyTrust: " + (file.verdictText.empty() ? Hex(file.verdict) : file.verdictText) +
         ")";
}

Check OneFile(const SignatureFacts& file)
{
  if (file.path.empty())
    return FileCheck(file, Status::kSkipped, "not looked at: no registration names it");
  if (!file.exists)
    return FileCheck(file, Status::kSkipped, "not looked at: " + file.path + " does not exist");
  if (!file.asked)
    return FileCheck(file, Status::kSkipped,
                     "not looked at: " + file.path + " could not be given to WinVerifyTrust");
  const std::string signer =
      file.signer.empty() ? "a signer whose name cannot be read" : Quote(file.signer);
  switch (file.verdict) {
    case 0:
      return FileCheck(file, Status::kOk,
                       file.path + " is signed by " + signer +
                           "; the signature is valid and its certificate trusted (WinVerifyTrust)");
    case kTrustNoSignature:
    case kTrustSubjectUnknown:
    case kTrustProviderUnknown:
      // A signer found all the same means a signature that cannot be read
      // as one (Windows answers so for a signature cut short).
      if (file.signer.empty())
        return FileCheck(file, Status::kWarning,
                         file.path + " carries no signature" + Verdict(file), kSignedPackage);
      break;
    case kTrustBadDigest:
      return FileCheck(file, Status::kWarning,
                       file.path + " was changed after " + signer +
                           " signed it: its contents no longer match the signature" + Verdict(file),
                       "install the package again: this file is not the one its publisher signed");
    case kTrustUntrustedRoot:
    case kTrustChaining:
      return FileCheck(file, Status::kWarning,
                       file.path + " is signed by " + signer +
                           ", whose certificate does not lead to a root certificate this machine "
                           "trusts" +
                           Verdict(file),
                       "if " + signer +
                           " is your publisher, add its root certificate to the machine's trusted "
                           "roots; otherwise install the publisher's package");
    case kTrustExpired:
      return FileCheck(file, Status::kWarning,
                       file.path + " is signed by " + signer +
                           " with a certificate that has expired, and no time stamp shows that it "
                           "was signed while the certificate was valid" +
                           Verdict(file),
                       "install a package of the publisher's that is signed with a time stamp");
    case kTrustRevoked:
      return FileCheck(file, Status::kWarning,
                       file.path + " is signed by " + signer +
                           " with a certificate that its issuer has revoked" + Verdict(file),
                       "do not use this file: install the publisher's current package");
    case kTrustWrongUsage:
      return FileCheck(file, Status::kWarning,
                       file.path + " is signed by " + signer +
                           " with a certificate that is not for signing code" + Verdict(file),
                       kSignedPackage);
    case kTrustDistrusted:
      return FileCheck(file, Status::kWarning,
                       file.path + " is signed by " + signer +
                           ", whose certificate this machine is told not to trust" + Verdict(file),
                       "do not use this file unless you trust " + signer +
                           " again: install the publisher's package");
  }
  return FileCheck(
      file, Status::kWarning,
      file.path + " is signed by " + signer + ", but the signature is not valid" + Verdict(file),
      "install the package again; if this stays, report the code");
}

// The files each signer signed, in the order the files come.
std::vector<std::pair<std::string, std::string>> BySigner(const std::vector<SignatureFacts>& files)
{
  std::vector<std::pair<std::string, std::string>> signers;
  for (const SignatureFacts& file : files) {
    if (!file.exists || !file.asked || file.signer.empty()) continue;
    bool known = false;
    for (auto& [signer, names] : signers)
      if (signer == file.signer) {
        names += ", " + file.name;
        known = true;
      }
    if (!known) signers.emplace_back(file.signer, file.name);
  }
  return signers;
}

Check Publisher(const std::vector<SignatureFacts>& files)
{
  Check check;
  check.id = "publisher";
  check.title = "publisher";
  size_t present = 0;
  for (const SignatureFacts& file : files) present += file.exists && file.asked ? 1 : 0;
  const auto signers = BySigner(files);
  if (signers.empty()) {
    check.status = Status::kSkipped;
    check.found = present == 0 ? "no file of the product was looked at"
                               : "none of the files carries a signature";
    return check;
  }
  if (signers.size() == 1) {
    size_t signedFiles = 0;
    for (const SignatureFacts& file : files)
      signedFiles += file.exists && file.asked && !file.signer.empty() ? 1 : 0;
    check.status = Status::kOk;
    const std::string signer = Quote(signers.front().first);
    check.found =
        signedFiles == present
            ? "every file looked at (" + std::to_string(present) + ") is signed by " + signer
            : "the signed files (" + std::to_string(signedFiles) + " of the " +
                  std::to_string(present) + " looked at) are all signed by " + signer;
    return check;
  }
  check.status = Status::kWarning;
  check.found = "the files' publishers differ:";
  for (size_t i = 0; i < signers.size(); ++i)
    check.found +=
        std::string(i == 0 ? " " : "; ") + Quote(signers[i].first) + " (" + signers[i].second + ")";
  check.remedy =
      "install every file from one package of one publisher (msiexec /i stibridge.msi): a policy "
      "that admits one publisher refuses the others' files";
  return check;
}

}  // namespace

std::vector<Check> SignatureChecks(const std::vector<SignatureFacts>& files)
{
  std::vector<Check> checks;
  for (const SignatureFacts& file : files) checks.push_back(OneFile(file));
  checks.push_back(Publisher(files));
  return checks;
}

}  // namespace stiscan
