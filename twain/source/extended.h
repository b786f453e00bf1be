// DG_IMAGE / DAT_EXTIMAGEINFO: what the source tells of the page just
// transferred (state 7) beyond TW_IMAGEINFO: where it lies among the jobs of
// the walk (document = the job's number, page = the page in the job, one
// frame, the front side), the frame that came over, its pixel flavour, and
// the job's item name (protocol/custom.h). Any other item is
// TWRC_INFONOTSUPPORTED.
#pragma once

#include <vector>

#include "protocol/twain2.h"

namespace twainds {

// The items the source gives (ICAP_SUPPORTEDEXTIMAGEINFO).
std::vector<TW_UINT16> ExtendedInfoIds();

}  // namespace twainds
