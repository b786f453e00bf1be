#include "doctor/view32.h"

#include "doctor/doctor.h"

namespace stiscan {

Check ClassKeyIn32BitView(const DoctorFacts& facts)
{
  Check check;
  check.id = "registration-x86-view";
  check.title = "class key, 32-bit view";
  const std::string key = "HKCR\\CLSID\\" + facts.classId;
  if (!facts.view32.classKey) {
    check.found = key + " is not in the 32-bit registry view: a 32-bit client is given the "
                        "64-bit server";
    return check;
  }
  check.status = Check::Status::kWarning;
  check.found = key + " is in the 32-bit registry view too" +
                (facts.view32.localServer.empty()
                     ? std::string(" (without a LocalServer32)")
                     : " (its LocalServer32 names " + facts.view32.localServer + ")") +
                ": a 32-bit client that asks for a local server without "
                "CLSCTX_ACTIVATE_64_BIT_SERVER is given what it registers instead of the 64-bit "
                "server (this version's data source and stiscan ask for the 64-bit one)";
  check.remedy = "remove the key from the 32-bit view as an administrator: reg delete " + key +
                 " /reg:32 /f";
  return check;
}

}  // namespace stiscan
