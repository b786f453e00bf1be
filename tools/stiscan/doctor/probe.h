// The Windows side of stiscan doctor: what the registry, the file system and
// the server itself say, gathered for the checks of doctor.h. Nothing is
// changed: the server is only asked which scanners it accepts, and no
// scanner is opened (opening one would make the user's key).
#pragma once

#include <string>

#include "doctor/doctor.h"

namespace stiscan {

// The facts of this machine, as this stiscan's bitness sees them;
// `deviceWanted` is --device.
DoctorFacts GatherDoctorFacts(const std::string& deviceWanted);

}  // namespace stiscan
