// The pictures of the job window's tiles: each job's thumbnail file read,
// decoded by its content (WIC) and scaled to fit a tile, on a thread of
// its own, so that a slow or broken file never holds up the window. The
// window asks for a picture by a key of its own, and hears of finished
// ones by a message it names; it then takes them.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace twainds {

// A tile's side in pixels: a picture is scaled to fit it with its aspect
// kept, the longer side filling it, and centred on the window's colour.
constexpr int kTileSide = 96;

// The size a picture of `width` by `height` pixels takes in a tile.
void TileFit(long width, long height, long& fitWidth, long& fitHeight);

// `source` (top-down rows of 4 bytes a pixel, B, G, R, unused) scaled to
// `width` by `height` by the share of each source pixel's area that falls
// in each target pixel; the same layout out.
std::vector<unsigned char> ScaledPixels(const unsigned char* source, long sourceWidth,
                                        long sourceHeight, long width, long height);

struct Thumbnail {
  std::wstring key;
  // A tile of kTileSide square, top-down B, G, R, A; empty where the file
  // could not be read or decoded.
  std::vector<unsigned char> pixels;
};

class Thumbnails {
 public:
  // Finished pictures are announced by posting `message` to `window`.
  Thumbnails(HWND window, UINT message);
  ~Thumbnails();
  Thumbnails(const Thumbnails&) = delete;
  Thumbnails& operator=(const Thumbnails&) = delete;

  // The picture of the file at `path`, to be announced under `key`.
  void Request(const std::wstring& key, const std::wstring& path);
  // The pictures finished since the last call.
  std::vector<Thumbnail> Take();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  HANDLE thread_ = nullptr;
};

}  // namespace twainds
