// doctor: the facts gathered, judged in the order a data source meets them,
// and reported.
#include "commands/commands.h"
#include "console/output.h"
#include "doctor/probe.h"

namespace stiscan {

int Doctor(const Options& options)
{
  const std::vector<Check> checks = Diagnose(GatherDoctorFacts(options.device));
  Out(DoctorReport(checks, static_cast<int>(sizeof(void*) * 8), options.json));
  return DoctorExitCode(checks);
}

}  // namespace stiscan
