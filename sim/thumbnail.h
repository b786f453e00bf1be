// The thumbnail files of stored jobs: what a scanner's installation keeps in
// the device's "FilingPath" folder for each job, named as the bridge names
// it, and written when a scenario is installed.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/scenario.h"

namespace sim {

// The longest side of a thumbnail, in pixels; a smaller page keeps its size.
inline constexpr LONG kThumbnailSide = 128;

// The path the bridge gives for the job's thumbnail: folder, "\", item name,
// the last "." of the whole path made "_", and ".tmb".
Text ThumbnailPath(const Text& folder, const Text& itemName);

// The bytes of the job's thumbnail: a 24-bit BMP of its first page scaled to
// at most kThumbnailSide on its long side, the aspect kept, each pixel the
// mean of 4 x 4 samples of the page under it; for a corrupt thumbnail the
// same file cut inside its header, which no decoder takes for a picture.
std::vector<BYTE> ThumbnailBytes(const JobSpec& job);

// Writes (or, for a missing thumbnail, removes) the thumbnail of every job of
// the device, arrivals included, when its device data names a FilingPath.
// A path the bridge cannot give (longer than 259 units) or whose file name is no
// plain file name (separators, characters or device names that Windows
// refuses) is skipped. False with a message when a file cannot be written.
bool WriteThumbnails(const DeviceSpec& device, const std::string& where, std::string& error);

// Removes the job's thumbnail file, if the device names a folder for it.
void RemoveThumbnail(const DeviceSpec& device, const JobSpec& job);

}  // namespace sim
