// PNG, TIFF and JPEG files of pages through the platform's imaging component
// (WIC): black and white as 1 bit, grey as 8, colour as 24, each frame with
// its page's resolution. A TIFF holds one frame per page, written into its
// file frame by frame. The component's factory is made at the first use and
// let go with the encoder: its owner lives within one COM initialisation.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "documents/image_files.h"

struct IWICImagingFactory;
struct IWICBitmapEncoder;
struct IStream;

namespace stiscan {

enum class Container { kPng, kTiff, kJpeg };

// What failed, and the HRESULT.
struct EncodeFailure {
  std::string what;
  HRESULT hr = S_OK;
};

class WicEncoder {
 public:
  WicEncoder() = default;
  ~WicEncoder();
  WicEncoder(const WicEncoder&) = delete;
  WicEncoder& operator=(const WicEncoder&) = delete;

  // A new file: in memory, or written into `target` as the frames come (a
  // TIFF of many pages). `quality`: JPEG's, 1 to 100.
  bool Begin(Container container, int quality, EncodeFailure& failure, IStream* target = nullptr);
  // One frame; JPEG has no 1 bit, so a black-and-white page goes in as grey.
  bool Add(const Raster& page, EncodeFailure& failure);
  // The file in memory: its bytes; the encoder is then empty again.
  bool Finish(std::vector<unsigned char>& file, EncodeFailure& failure);
  // The file written into its target: finished there; the encoder is then
  // empty again.
  bool Commit(EncodeFailure& failure);
  // The file begun is dropped.
  void Discard();

 private:
  Container container_ = Container::kPng;
  int quality_ = kDefaultQuality;
  IWICImagingFactory* factory_ = nullptr;
  IWICBitmapEncoder* encoder_ = nullptr;
  IStream* stream_ = nullptr;
  static constexpr int kDefaultQuality = 90;
};

}  // namespace stiscan
