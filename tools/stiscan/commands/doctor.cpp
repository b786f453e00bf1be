// doctor: the facts gathered, judged in the order a data source meets them,
// and reported.
#include "commands/commands.h"
#include "console/output.h"
#include "doctor/probe.h"
#include "doctor/signature_probe.h"
#include "doctor/windows_probe.h"

namespace stiscan {

int Doctor(const Options& options)
{
  if (options.windowsProbe) return WindowsProbe(options);
  std::vector<Check> checks = Diagnose(GatherDoctorFacts(options.device));
  // Whose files these are comes last: a data source works without it.
  const std::vector<Check> signatures = SignatureChecks(GatherSignatureFacts());
  checks.insert(checks.end(), signatures.begin(), signatures.end());
  Out(DoctorReport(checks, static_cast<int>(sizeof(void*) * 8), options.json));
  return DoctorExitCode(checks);
}

}  // namespace stiscan
