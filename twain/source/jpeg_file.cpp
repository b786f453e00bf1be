// The JPEG writer of page_file.h, through the platform's imaging component
// (WIC) in the application's process, with COM set up on the thread. Apart
// from the other writers, as the one that needs COM.
#include <objbase.h>
#include <wincodec.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "source/frame.h"
#include "source/page_file.h"

namespace twainds {

namespace {

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using Held = std::unique_ptr<T, Releaser>;

// A JPEG through WIC: grey for grey and black and white (JPEG has no
// single bit), colour as B, G, R, written to the file as the rows come.
class JpegWriter : public PageWriter {
 public:
  JpegWriter(std::string path, const RowShape& shape) : path_(std::move(path)), shape_(shape) {}
  ~JpegWriter() override
  {
    frame_.reset();
    encoder_.reset();
    stream_.reset();
    if (!finished_) DeleteFileA(path_.c_str());
  }
  HRESULT Begin()
  {
    const int units = MultiByteToWideChar(CP_ACP, 0, path_.c_str(), -1, nullptr, 0);
    if (units <= 0) return E_INVALIDARG;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path_.c_str(), -1, wide.data(), units);
    IWICImagingFactory* factory = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    Held<IWICImagingFactory> heldFactory(SUCCEEDED(hr) ? factory : nullptr);
    IWICStream* stream = nullptr;
    if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
    if (SUCCEEDED(hr)) stream_.reset(stream);
    if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(wide.c_str(), GENERIC_WRITE);
    IWICBitmapEncoder* encoder = nullptr;
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder);
    if (SUCCEEDED(hr)) encoder_.reset(encoder);
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    IWICBitmapFrameEncode* frame = nullptr;
    IPropertyBag2* options = nullptr;
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &options);
    if (SUCCEEDED(hr)) frame_.reset(frame);
    Held<IPropertyBag2> heldOptions(SUCCEEDED(hr) ? options : nullptr);
    if (SUCCEEDED(hr)) hr = frame->Initialize(options);
    if (SUCCEEDED(hr))
      hr = frame->SetSize(static_cast<UINT>(shape_.width), static_cast<UINT>(shape_.length));
    if (SUCCEEDED(hr))
      hr = frame->SetResolution(shape_.xDpi > 0 ? shape_.xDpi : 72, shape_.yDpi > 0 ? shape_.yDpi : 72);
    const GUID wanted = shape_.bits == 24 ? GUID_WICPixelFormat24bppBGR : GUID_WICPixelFormat8bppGray;
    GUID format = wanted;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    // An encoder that takes other pixels would get these wrong.
    if (SUCCEEDED(hr) && format != wanted) hr = E_NOTIMPL;
    return hr;
  }
  HRESULT Rows(const unsigned char* rows, long count) override
  {
    if (count <= 0 || count > shape_.length - done_) return E_INVALIDARG;
    const size_t from = RowBytes(shape_.width, shape_.bits);
    const size_t to = RowBytes(shape_.width, shape_.bits == 24 ? 24 : 8);
    line_.resize(to * static_cast<size_t>(count));
    for (long k = 0; k < count; ++k) {
      const unsigned char* row = rows + from * static_cast<size_t>(k);
      unsigned char* out = line_.data() + to * static_cast<size_t>(k);
      if (shape_.bits == 24) {
        for (long x = 0; x < shape_.width; ++x) {
          out[3 * x] = row[3 * x + 2];
          out[3 * x + 1] = row[3 * x + 1];
          out[3 * x + 2] = row[3 * x];
        }
      } else if (shape_.bits == 1) {
        for (long x = 0; x < shape_.width; ++x)
          out[x] = ((row[x / 8] >> (7 - x % 8)) & 1) != 0 ? 255 : 0;
      } else {
        std::memcpy(out, row, from);
      }
    }
    done_ += count;
    return frame_->WritePixels(static_cast<UINT>(count), static_cast<UINT>(to),
                               static_cast<UINT>(line_.size()), line_.data());
  }
  HRESULT Finish() override
  {
    if (done_ != shape_.length) return E_UNEXPECTED;
    HRESULT hr = frame_->Commit();
    if (SUCCEEDED(hr)) hr = encoder_->Commit();
    frame_.reset();
    encoder_.reset();
    if (SUCCEEDED(hr)) hr = stream_->Commit(STGC_DEFAULT);
    stream_.reset();
    if (SUCCEEDED(hr)) finished_ = true;
    return hr;
  }

 private:
  std::string path_;
  RowShape shape_;
  Held<IWICStream> stream_;
  Held<IWICBitmapEncoder> encoder_;
  Held<IWICBitmapFrameEncode> frame_;
  std::vector<unsigned char> line_;
  long done_ = 0;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<PageWriter> WriteJpeg(const std::string& path, const RowShape& shape, HRESULT& hr)
{
  auto writer = std::make_unique<JpegWriter>(path, shape);
  hr = writer->Begin();
  if (FAILED(hr)) return nullptr;
  return writer;
}

}  // namespace twainds
