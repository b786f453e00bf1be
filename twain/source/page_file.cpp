#include "source/page_file.h"

#include <objbase.h>
#include <wincodec.h>

#include <climits>
#include <cstring>
#include <memory>

#include "protocol/twain2.h"
#include "source/frame.h"

namespace twainds {

namespace {

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using Held = std::unique_ptr<T, Releaser>;

// The TIFF encoder's option for no compression (WICTiffCompressionNone):
// the application asked for none (ICAP_COMPRESSION).
constexpr BYTE kTiffUncompressed = 1;

// The DIB's parts.
struct Dib {
  BITMAPINFOHEADER header = {};
  const RGBQUAD* palette = nullptr;
  const unsigned char* rows = nullptr;
  long width = 0, length = 0;
  size_t stride = 0;
  // Black and white whose first colour is the lighter: its bits say white
  // where the formats written here say black.
  bool whiteFirst = false;

  // Row `y` counted from the top.
  const unsigned char* Row(long y) const
  {
    return rows + stride * static_cast<size_t>(header.biHeight > 0 ? length - 1 - y : y);
  }
};

bool Read(const unsigned char* bytes, size_t size, Dib& dib)
{
  if (size < sizeof dib.header) return false;
  std::memcpy(&dib.header, bytes, sizeof dib.header);
  const BITMAPINFOHEADER& h = dib.header;
  const int bits = h.biBitCount;
  if (h.biSize != sizeof h || h.biCompression != BI_RGB || (bits != 1 && bits != 8 && bits != 24) ||
      h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == LONG_MIN ||
      (bits <= 8 && h.biClrUsed > (1u << bits)))
    return false;
  const size_t entries = bits > 8 ? 0 : h.biClrUsed != 0 ? h.biClrUsed : 1u << bits;
  const size_t start = sizeof h + entries * sizeof(RGBQUAD);
  dib.width = h.biWidth;
  dib.length = h.biHeight > 0 ? h.biHeight : -h.biHeight;
  dib.stride = DibRowBytes(dib.width, bits);
  if (start > size || (size - start) / dib.stride < static_cast<size_t>(dib.length)) return false;
  dib.palette = reinterpret_cast<const RGBQUAD*>(bytes + sizeof h);
  dib.rows = bytes + start;
  if (bits == 1 && entries == 2) {
    const auto light = [](const RGBQUAD& c) { return c.rgbRed + c.rgbGreen + c.rgbBlue; };
    dib.whiteFirst = light(dib.palette[0]) > light(dib.palette[1]);
  }
  return true;
}

void Bmp(const unsigned char* bytes, size_t size, const Dib& dib, std::vector<unsigned char>& file)
{
  BITMAPFILEHEADER header = {};
  header.bfType = 0x4D42;  // "BM"
  header.bfSize = static_cast<DWORD>(sizeof header + size);
  header.bfOffBits = static_cast<DWORD>(sizeof header + (dib.rows - bytes));
  file.resize(sizeof header + size);
  std::memcpy(file.data(), &header, sizeof header);
  std::memcpy(file.data() + sizeof header, bytes, size);
}

// A TIFF or JPEG of one frame: black and white as 1 bit with 0 black (JPEG
// has no 1 bit: grey levels), grey as 8 bits, colour as B, G, R.
HRESULT Encode(const GUID& container, const Dib& dib, double dpi, std::vector<unsigned char>& file)
{
  const int bits = dib.header.biBitCount;
  const bool widened = bits == 1 && container == GUID_ContainerFormatJpeg;
  const GUID wanted = bits == 24             ? GUID_WICPixelFormat24bppBGR
                      : bits == 8 || widened ? GUID_WICPixelFormat8bppGray
                                             : GUID_WICPixelFormatBlackWhite;
  IWICImagingFactory* factory = nullptr;
  IStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  Held<IWICImagingFactory> heldFactory(SUCCEEDED(hr) ? factory : nullptr);
  if (SUCCEEDED(hr)) hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  Held<IStream> heldStream(SUCCEEDED(hr) ? stream : nullptr);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(container, nullptr, &encoder);
  Held<IWICBitmapEncoder> heldEncoder(SUCCEEDED(hr) ? encoder : nullptr);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &options);
  Held<IWICBitmapFrameEncode> heldFrame(SUCCEEDED(hr) ? frame : nullptr);
  Held<IPropertyBag2> heldOptions(SUCCEEDED(hr) ? options : nullptr);
  if (SUCCEEDED(hr) && container == GUID_ContainerFormatTiff) {
    PROPBAG2 option = {};
    option.pstrName = const_cast<LPOLESTR>(L"TiffCompressionMethod");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI1;
    value.bVal = kTiffUncompressed;
    hr = options->Write(1, &option, &value);
  }
  if (SUCCEEDED(hr)) hr = frame->Initialize(options);
  if (SUCCEEDED(hr))
    hr = frame->SetSize(static_cast<UINT>(dib.width), static_cast<UINT>(dib.length));
  if (SUCCEEDED(hr)) hr = frame->SetResolution(dpi > 0 ? dpi : 72, dpi > 0 ? dpi : 72);
  GUID format = wanted;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  // An encoder that takes other pixels would get these wrong.
  if (SUCCEEDED(hr) && format != wanted) hr = E_NOTIMPL;

  // Row by row from the top, each as the encoder takes it.
  const size_t plain = RowBytes(dib.width, widened ? 8 : bits);
  std::vector<unsigned char> line(plain);
  for (long y = 0; SUCCEEDED(hr) && y < dib.length; ++y) {
    const unsigned char* row = dib.Row(y);
    if (widened) {
      for (long x = 0; x < dib.width; ++x)
        line[x] = (((row[x / 8] >> (7 - x % 8)) & 1) != 0) != dib.whiteFirst ? 255 : 0;
      row = line.data();
    } else if (dib.whiteFirst) {
      for (size_t i = 0; i < plain; ++i) line[i] = static_cast<unsigned char>(~row[i]);
      CopyPixels(line.data(), plain, 0, dib.width, 1, line.data());
      row = line.data();
    }
    hr = frame->WritePixels(1, static_cast<UINT>(plain), static_cast<UINT>(plain),
                            const_cast<BYTE*>(row));
  }
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();

  HGLOBAL memory = nullptr;
  STATSTG stat = {};
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(stream, &memory);
  if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  const size_t size = static_cast<size_t>(stat.cbSize.QuadPart);
  const auto* data = static_cast<const unsigned char*>(GlobalLock(memory));
  if (data == nullptr || GlobalSize(memory) < size) hr = E_FAIL;
  if (SUCCEEDED(hr)) file.assign(data, data + size);
  if (data != nullptr) GlobalUnlock(memory);
  return hr;
}

}  // namespace

HRESULT PageFile(unsigned short format, const unsigned char* dib, size_t bytes, double dpi,
                 std::vector<unsigned char>& file)
{
  Dib parts;
  if (!Read(dib, bytes, parts)) return E_INVALIDARG;
  switch (format) {
    case TWFF_BMP:
      Bmp(dib, bytes, parts, file);
      return S_OK;
    case TWFF_TIFF:
      return Encode(GUID_ContainerFormatTiff, parts, dpi, file);
    case TWFF_JFIF:
      return Encode(GUID_ContainerFormatJpeg, parts, dpi, file);
    default:
      return E_INVALIDARG;
  }
}

}  // namespace twainds
