#include "sim/thumbnail.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "sim/page_image.h"

namespace sim {

namespace {

namespace fs = std::filesystem;

// The longest path the bridge gives, without its terminator.
constexpr size_t kLongestPath = 259;

// A corrupt thumbnail is the picture's file cut here: after the file header
// and inside the bitmap header, so that a decoder that knows the file by its
// first bytes takes it up and then fails on it.
constexpr size_t kCorruptBytes = 30;

WCHAR Upper(WCHAR c)
{
  return c >= W('a') && c <= W('z') ? WCHAR(c - 32) : c;
}

bool SameName(const Text& a, const WCHAR* b)
{
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return i == a.size() && b[i] == 0;
}

// Whether Windows makes a file of this name in a folder: no separators or
// characters it refuses, no trailing dot or blank, and not one of the
// device names (CON, NUL, COM1, ...), which it takes whatever follows the
// first dot.
bool IsPlainFileName(const Text& name)
{
  if (name.empty() || name.back() == W('.') || name.back() == W(' ')) return false;
  for (WCHAR c : name) {
    if (c < 0x20) return false;
    for (const WCHAR* bad = W("<>:\"/\\|?*"); *bad != 0; ++bad)
      if (c == *bad) return false;
  }
  Text base = name.substr(0, name.find(W('.')));
  while (!base.empty() && base.back() == W(' ')) base.pop_back();
  static const WCHAR* const kDevices[] = {W("CON"), W("PRN"), W("AUX"), W("NUL")};
  for (const WCHAR* device : kDevices)
    if (SameName(base, device)) return false;
  if (base.size() == 4 && base[3] >= W('1') && base[3] <= W('9')) {
    const Text stem = base.substr(0, 3);
    if (SameName(stem, W("COM")) || SameName(stem, W("LPT"))) return false;
  }
  return true;
}

// The folder the device's data names for its thumbnails ("FilingPath", a
// string), as the bridge reads it: up to the first terminator.
bool FilingFolder(const DeviceSpec& device, Text& folder)
{
  for (const DeviceValueSpec& value : device.deviceData) {
    if (value.type != REG_SZ || !SameName(value.name, W("FilingPath"))) continue;
    folder = value.text.substr(0, value.text.find(WCHAR(0)));
    return true;
  }
  return false;
}

// The job's thumbnail path when the simulator may write there: a path the
// bridge can give, in the folder it names, with a plain file name.
bool WritablePath(const Text& folder, const JobSpec& job, Text& path)
{
  if (job.itemName.find_first_of(W("\\/")) != Text::npos) return false;
  path = ThumbnailPath(folder, job.itemName);
  if (path.size() > kLongestPath) return false;
  return IsPlainFileName(path.substr(path.find_last_of(W('\\')) + 1));
}

// Where a Windows path lies in this build's file system. On Windows it is
// itself (under Wine, drive C: is the prefix's drive_c). Natively there are
// no drives: "X:\rest" lies under the folder STIBRIDGE_SIM_DRIVES names (by
// default stibridge-sim-drives in the temporary folder) as x/rest, and any
// other path is taken as it stands; "\" separates in both.
fs::path LocalPath(const Text& path)
{
#ifdef _WIN32
  return fs::path(path);
#else
  std::string local = TextToUtf8(path);
  std::replace(local.begin(), local.end(), '\\', '/');
  const bool drive = local.size() >= 2 && local[1] == ':' &&
                     ((local[0] >= 'A' && local[0] <= 'Z') || (local[0] >= 'a' && local[0] <= 'z'));
  if (!drive) return fs::path(local);
  fs::path root;
  if (const char* drives = std::getenv("STIBRIDGE_SIM_DRIVES"); drives != nullptr && *drives != 0)
    root = drives;
  else
    root = fs::temp_directory_path() / "stibridge-sim-drives";
  const char letter = static_cast<char>(local[0] | 0x20);
  return root / std::string(1, letter) / fs::path(local.substr(2)).relative_path();
#endif
}

bool WriteFile(const fs::path& file, const std::vector<BYTE>& bytes, std::string& error)
{
  std::error_code failure;
  fs::create_directories(file.parent_path(), failure);
  if (failure) {
    error = "cannot make its folder: " + failure.message();
    return false;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    error = "cannot write the file";
    return false;
  }
  return true;
}

}  // namespace

Text ThumbnailPath(const Text& folder, const Text& itemName)
{
  Text path = folder + W("\\") + itemName;
  const size_t dot = path.find_last_of(W('.'));
  if (dot != Text::npos) path[dot] = W('_');
  return path + W(".tmb");
}

std::vector<BYTE> ThumbnailBytes(const JobSpec& job)
{
  const LONG w = job.width, h = job.height;
  const LONG longest = std::max(w, h);
  PageImage thumbnail;
  thumbnail.bitsPerPixel = 24;
  thumbnail.dotsPerInch = DotsPerInch(job.resolution);
  if (longest <= kThumbnailSide) {
    thumbnail.width = w;
    thumbnail.height = h;
  } else {
    // Rounded, and never below one pixel.
    thumbnail.width = std::max<LONG>(1, (w * kThumbnailSide + longest / 2) / longest);
    thumbnail.height = std::max<LONG>(1, (h * kThumbnailSide + longest / 2) / longest);
  }
  const LONG tw = thumbnail.width, th = thumbnail.height;
  thumbnail.rows.resize(static_cast<size_t>(tw) * static_cast<size_t>(th) * 3);
  // Four samples across each side of the page's block under a pixel, at
  // the middles of its quarters: a bounded cost whatever the page's size.
  auto sample = [](LONG pixel, LONG count, LONG side, int i) {
    const LONG from = pixel * side / count, to = (pixel + 1) * side / count;
    return from + (2 * i + 1) * (to - from) / 8;
  };
  for (LONG ty = 0; ty < th; ++ty) {
    for (LONG tx = 0; tx < tw; ++tx) {
      unsigned sum[3] = {};
      for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
          const Rgb c = PageColour(job, 1, sample(tx, tw, w, i), sample(ty, th, h, j));
          sum[0] += c.r;
          sum[1] += c.g;
          sum[2] += c.b;
        }
      }
      BYTE* at = thumbnail.rows.data() + (static_cast<size_t>(ty) * tw + tx) * 3;
      for (int k = 0; k < 3; ++k) at[k] = static_cast<BYTE>((sum[k] + 8) / 16);
    }
  }
  std::vector<BYTE> bytes = BmpFile(thumbnail);
  if (job.thumbnail == JobSpec::Thumbnail::Corrupt) bytes.resize(kCorruptBytes);
  return bytes;
}

bool WriteThumbnails(const DeviceSpec& device, const std::string& where, std::string& error)
{
  Text folder;
  if (!FilingFolder(device, folder)) return true;
  for (size_t i = 0; i < device.jobs.size(); ++i) {
    const JobSpec& job = device.jobs[i];
    Text path;
    if (!WritablePath(folder, job, path)) continue;
    const fs::path file = LocalPath(path);
    if (job.thumbnail == JobSpec::Thumbnail::Missing) {
      // An earlier installation may have left one.
      std::error_code ignored;
      fs::remove(file, ignored);
      continue;
    }
    std::string why;
    if (!WriteFile(file, ThumbnailBytes(job), why)) {
      error = where + ".jobs[" + std::to_string(i) + "]: thumbnail " + TextToUtf8(path) + ": " +
              why;
      return false;
    }
  }
  return true;
}

void RemoveThumbnail(const DeviceSpec& device, const JobSpec& job)
{
  Text folder, path;
  if (!FilingFolder(device, folder) || !WritablePath(folder, job, path)) return;
  std::error_code ignored;
  fs::remove(LocalPath(path), ignored);
}

}  // namespace sim
