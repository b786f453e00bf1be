#include "documents/wic_encoder.h"

#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>

namespace stiscan {

namespace {

// The TIFF encoder's compression choices (WICTiffCompressionOption).
constexpr BYTE kTiffCcittGroup4 = 3, kTiffLzw = 4;

// Rows handed to the encoder at a time: enough to keep the calls few, little
// enough that a page is never copied whole.
constexpr long kBandRows = 256;

template <typename T>
void Drop(T*& p)
{
  if (p != nullptr) p->Release();
  p = nullptr;
}

bool Failed(HRESULT hr, const std::string& what, EncodeFailure& failure)
{
  if (SUCCEEDED(hr)) return false;
  failure = {what, hr};
  return true;
}

// One encoder option by name.
HRESULT WriteOption(IPropertyBag2* bag, const wchar_t* name, const VARIANT& value)
{
  PROPBAG2 option = {};
  option.pstrName = const_cast<LPOLESTR>(name);
  return bag->Write(1, &option, const_cast<VARIANT*>(&value));
}

}  // namespace

WicEncoder::~WicEncoder()
{
  Discard();
  Drop(factory_);
}

void WicEncoder::Discard()
{
  Drop(encoder_);
  Drop(stream_);
}

bool WicEncoder::Begin(Container container, int quality, EncodeFailure& failure, IStream* target)
{
  Discard();
  container_ = container;
  quality_ = quality > 0 ? quality : kDefaultQuality;
  if (factory_ == nullptr &&
      Failed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(&factory_)),
             "the imaging component could not be started", failure)) {
    factory_ = nullptr;
    return false;
  }
  const GUID& format = container == Container::kPng    ? GUID_ContainerFormatPng
                       : container == Container::kTiff ? GUID_ContainerFormatTiff
                                                       : GUID_ContainerFormatJpeg;
  if (target != nullptr) {
    stream_ = target;
    stream_->AddRef();
  }
  if ((target == nullptr &&
       Failed(CreateStreamOnHGlobal(nullptr, TRUE, &stream_), "no memory for the file", failure)) ||
      Failed(factory_->CreateEncoder(format, nullptr, &encoder_),
             "the imaging component has no encoder for the format", failure) ||
      Failed(encoder_->Initialize(stream_, WICBitmapEncoderNoCache),
             "the encoder could not be started", failure)) {
    Discard();
    return false;
  }
  return true;
}

bool WicEncoder::Add(const Raster& page, EncodeFailure& failure)
{
  Pixels pixels = PixelsOf(page);
  // JPEG knows no 1 bit: its black-and-white pages are grey levels.
  const bool widened = container_ == Container::kJpeg && pixels == Pixels::kBlackWhite;
  const Pixels stored = widened ? Pixels::kGrey : pixels;
  WICPixelFormatGUID format = stored == Pixels::kBlackWhite ? GUID_WICPixelFormatBlackWhite
                              : stored == Pixels::kGrey     ? GUID_WICPixelFormat8bppGray
                                                            : GUID_WICPixelFormat24bppBGR;
  const WICPixelFormatGUID wanted = format;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  const auto done = [&](bool ok) {
    Drop(options);
    Drop(frame);
    return ok;
  };
  if (Failed(encoder_->CreateNewFrame(&frame, &options), "no page could be added", failure))
    return done(false);
  VARIANT value;
  VariantInit(&value);
  if (container_ == Container::kTiff) {
    value.vt = VT_UI1;
    value.bVal = stored == Pixels::kBlackWhite ? kTiffCcittGroup4 : kTiffLzw;
    WriteOption(options, L"TiffCompressionMethod", value);
  } else if (container_ == Container::kJpeg) {
    value.vt = VT_R4;
    value.fltVal = static_cast<float>(quality_) / 100.0f;
    WriteOption(options, L"ImageQuality", value);
  }
  const UINT width = static_cast<UINT>(page.width), height = static_cast<UINT>(page.height);
  if (Failed(frame->Initialize(options), "the page could not be started", failure) ||
      Failed(frame->SetSize(width, height), "the page's size was refused", failure) ||
      Failed(frame->SetResolution(page.xDpi > 0 ? page.xDpi : 72, page.yDpi > 0 ? page.yDpi : 72),
             "the page's resolution was refused", failure) ||
      Failed(frame->SetPixelFormat(&format), "the page's pixel format was refused", failure))
    return done(false);
  if (!IsEqualGUID(format, wanted)) {
    failure = {"the encoder does not take the page's pixels as they are", E_NOTIMPL};
    return done(false);
  }
  // Rows in bands, as the encoder takes them: 1 bit with 0 black, grey
  // levels, or B, G, R.
  const UINT stride = (width * static_cast<UINT>(PlainBits(stored)) + 7) / 8;
  std::vector<unsigned char> band(static_cast<size_t>(stride) * kBandRows);
  std::vector<unsigned char> row(widened ? (width + 7) / 8 : 0);
  for (long y = 0; y < page.height; y += kBandRows) {
    const long rows = std::min(kBandRows, page.height - y);
    for (long r = 0; r < rows; ++r) {
      unsigned char* out = band.data() + static_cast<size_t>(r) * stride;
      if (!widened) {
        PlainRow(page, pixels, y + r, out);
        continue;
      }
      PlainRow(page, pixels, y + r, row.data());
      for (UINT x = 0; x < width; ++x) out[x] = (row[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
    }
    if (Failed(frame->WritePixels(static_cast<UINT>(rows), stride, stride * static_cast<UINT>(rows),
                                  band.data()),
               "the page's pixels could not be encoded", failure))
      return done(false);
  }
  return done(!Failed(frame->Commit(), "the page could not be finished", failure));
}

bool WicEncoder::Commit(EncodeFailure& failure)
{
  const bool ok = !Failed(encoder_->Commit(), "the file could not be finished", failure);
  Discard();
  return ok;
}

bool WicEncoder::Finish(std::vector<unsigned char>& file, EncodeFailure& failure)
{
  HGLOBAL memory = nullptr;
  // The stream's size, not the block's (which may be larger).
  STATSTG stat = {};
  bool ok = !Failed(encoder_->Commit(), "the file could not be finished", failure) &&
            !Failed(GetHGlobalFromStream(stream_, &memory), "the file was lost", failure) &&
            !Failed(stream_->Stat(&stat, STATFLAG_NONAME), "the file's size was lost", failure);
  if (ok) {
    const size_t bytes = static_cast<size_t>(stat.cbSize.QuadPart);
    const void* data = GlobalLock(memory);
    ok = data != nullptr && GlobalSize(memory) >= bytes;
    if (ok)
      file.assign(static_cast<const unsigned char*>(data),
                  static_cast<const unsigned char*>(data) + bytes);
    else
      failure = {"the file was lost", E_OUTOFMEMORY};
    if (data != nullptr) GlobalUnlock(memory);
  }
  Discard();
  return ok;
}

}  // namespace stiscan
