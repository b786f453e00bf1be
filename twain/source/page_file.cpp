#include "source/page_file.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "protocol/twain2.h"
#include "source/frame.h"

namespace twainds {

namespace {

HRESULT LastError()
{
  const DWORD error = GetLastError();
  return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// A file written at its end or at a place of its own.
class File {
 public:
  ~File() { Close(); }
  // Creates (or empties) the file, or opens the one there to add to.
  HRESULT Open(const std::string& path, bool existing)
  {
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          existing ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? LastError() : S_OK;
  }
  HRESULT Size(ULONGLONG& size) const
  {
    LARGE_INTEGER at = {};
    if (!GetFileSizeEx(handle_, &at)) return LastError();
    size = static_cast<ULONGLONG>(at.QuadPart);
    return S_OK;
  }
  HRESULT WriteAt(ULONGLONG offset, const void* bytes, size_t size)
  {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN)) return LastError();
    const auto* from = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
      const DWORD now = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(handle_, from, now, &written, nullptr)) return LastError();
      if (written != now) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
      from += now;
      size -= now;
    }
    return S_OK;
  }
  // Cuts the file back to `size` bytes.
  void Truncate(ULONGLONG size)
  {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN)) SetEndOfFile(handle_);
  }
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HRESULT Close()
  {
    if (handle_ == INVALID_HANDLE_VALUE) return S_OK;
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed ? S_OK : LastError();
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

bool Usable(const RowShape& shape)
{
  return shape.width > 0 && shape.length > 0 &&
         (shape.bits == 1 || shape.bits == 8 || shape.bits == 24);
}

// A BMP: the file's header, the bitmap's, the palette, then the rows
// bottom-up, each padded to 4 bytes, 24 bits as B, G, R. Rows coming
// top-down land from the end of the file towards its start.
class BmpWriter : public PageWriter {
 public:
  BmpWriter(std::string path, const RowShape& shape)
      : path_(std::move(path)), shape_(shape), stride_(DibRowBytes(shape.width, shape.bits))
  {
  }
  ~BmpWriter() override
  {
    if (!finished_) {
      file_.Close();
      DeleteFileA(path_.c_str());
    }
  }
  HRESULT Begin()
  {
    HRESULT hr = file_.Open(path_, false);
    if (FAILED(hr)) return hr;
    const size_t colours = shape_.bits == 24 ? 0 : shape_.bits == 8 ? 256 : 2;
    start_ = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + 4 * colours;
    const ULONGLONG image = static_cast<ULONGLONG>(stride_) * static_cast<ULONGLONG>(shape_.length);
    if (start_ + image > 0xFFFFFFFFull) return E_OUTOFMEMORY;
    std::vector<unsigned char> head(start_, 0);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfSize = static_cast<DWORD>(start_ + image);
    file.bfOffBits = static_cast<DWORD>(start_);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = shape_.width;
    info.biHeight = shape_.length;
    info.biPlanes = 1;
    info.biBitCount = static_cast<WORD>(shape_.bits);
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(image);
    info.biXPelsPerMeter = static_cast<LONG>(std::lround(shape_.xDpi / 0.0254));
    info.biYPelsPerMeter = static_cast<LONG>(std::lround(shape_.yDpi / 0.0254));
    info.biClrUsed = static_cast<DWORD>(colours);
    std::memcpy(head.data(), &file, sizeof file);
    std::memcpy(head.data() + sizeof file, &info, sizeof info);
    // Black first: the rows' 0 is black.
    unsigned char* palette = head.data() + sizeof file + sizeof info;
    for (size_t i = 0; i < colours; ++i) {
      const auto level = static_cast<unsigned char>(colours == 2 ? i * 255 : i);
      palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = level;
    }
    return file_.WriteAt(0, head.data(), head.size());
  }
  HRESULT Rows(const unsigned char* rows, long count) override
  {
    if (count <= 0 || count > shape_.length - done_) return E_INVALIDARG;
    // The rows of this call are one stretch of the file, the last of them
    // first.
    const size_t row = RowBytes(shape_.width, shape_.bits);
    buffer_.assign(stride_ * static_cast<size_t>(count), 0);
    for (long k = 0; k < count; ++k) {
      const unsigned char* from = rows + row * static_cast<size_t>(k);
      unsigned char* to = buffer_.data() + stride_ * static_cast<size_t>(count - 1 - k);
      if (shape_.bits == 24) {
        for (long x = 0; x < shape_.width; ++x) {
          to[3 * x] = from[3 * x + 2];
          to[3 * x + 1] = from[3 * x + 1];
          to[3 * x + 2] = from[3 * x];
        }
      } else {
        std::memcpy(to, from, row);
      }
    }
    const long lowest = shape_.length - done_ - count;
    done_ += count;
    return file_.WriteAt(start_ + stride_ * static_cast<ULONGLONG>(lowest), buffer_.data(),
                         buffer_.size());
  }
  HRESULT Finish() override
  {
    if (done_ != shape_.length) return E_UNEXPECTED;
    const HRESULT hr = file_.Close();
    if (SUCCEEDED(hr)) finished_ = true;
    return hr;
  }

 private:
  std::string path_;
  RowShape shape_;
  size_t stride_;
  ULONGLONG start_ = 0;
  long done_ = 0;
  std::vector<unsigned char> buffer_;
  File file_;
  bool finished_ = false;
};

// An uncompressed TIFF, little-endian: each page's rows in one strip as
// they come, then its directory. A page added to a multi-page file goes at
// the end, and the directory before it is made to point at its own; until
// then the file is the pages it had.
class TiffWriter : public PageWriter {
 public:
  TiffWriter(std::string path, const RowShape& shape, MultiPage& multiPage, bool multi)
      : path_(std::move(path)), shape_(shape), multiPage_(multiPage), multi_(multi)
  {
  }
  ~TiffWriter() override
  {
    if (finished_) return;
    if (adding_) {
      // The page is cut off again, and the page before leads to none: the
      // file is the pages it had. A closing that failed after the page was
      // linked left the file closed: it is opened again for that.
      if (!file_.IsOpen()) file_.Open(path_, true);
      if (file_.IsOpen()) {
        const unsigned char none[4] = {};
        if (linked_) file_.WriteAt(multiPage_.nextField, none, sizeof none);
        file_.Truncate(before_);
      }
      file_.Close();
    } else {
      file_.Close();
      DeleteFileA(path_.c_str());
    }
  }
  HRESULT Begin()
  {
    // A page to add: to the file as the last page left it.
    if (multi_ && multiPage_.Open() && multiPage_.path == path_ &&
        SUCCEEDED(file_.Open(path_, true))) {
      ULONGLONG size = 0;
      if (SUCCEEDED(file_.Size(size)) && size == multiPage_.size) {
        adding_ = true;
        before_ = size;
        at_ = size + (size & 1);
        start_ = at_;
        return S_OK;
      }
      file_.Close();
    }
    if (multi_) multiPage_ = MultiPage();
    const HRESULT hr = file_.Open(path_, false);
    if (FAILED(hr)) return hr;
    // "II", 42, and where the first directory lies (written at the end).
    const unsigned char header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
    at_ = start_ = sizeof header;
    return file_.WriteAt(0, header, sizeof header);
  }
  HRESULT Rows(const unsigned char* rows, long count) override
  {
    if (count <= 0 || count > shape_.length - done_) return E_INVALIDARG;
    const size_t bytes = RowBytes(shape_.width, shape_.bits) * static_cast<size_t>(count);
    // A TIFF's offsets have 32 bits.
    if (at_ + bytes + 512 > 0xFFFFFFFFull) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    const HRESULT hr = file_.WriteAt(at_, rows, bytes);
    if (FAILED(hr)) return hr;
    at_ += bytes;
    done_ += count;
    return S_OK;
  }
  HRESULT Finish() override
  {
    if (done_ != shape_.length) return E_UNEXPECTED;
    const ULONGLONG directory = at_ + (at_ & 1);
    const bool colour = shape_.bits == 24;
    constexpr int kEntries = 14;
    // After the directory: the three samples' bits, then both resolutions.
    const ULONGLONG extra = directory + 2 + 12 * kEntries + 4;
    const ULONGLONG bitsAt = extra, xAt = extra + 8, yAt = extra + 16;
    std::vector<unsigned char> out(static_cast<size_t>(yAt + 8 - at_), 0);
    unsigned char* dir = out.data() + (directory - at_);
    const auto put16 = [](unsigned char* p, unsigned v) {
      p[0] = static_cast<unsigned char>(v);
      p[1] = static_cast<unsigned char>(v >> 8);
    };
    const auto put32 = [](unsigned char* p, ULONGLONG v) {
      for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
    };
    put16(dir, kEntries);
    int n = 0;
    // Types: 3 SHORT, 4 LONG, 5 RATIONAL; a value of up to four bytes
    // stands in the entry.
    const auto entry = [&](unsigned tag, unsigned type, ULONGLONG count, ULONGLONG value) {
      unsigned char* e = dir + 2 + 12 * n++;
      put16(e, tag);
      put16(e + 2, type);
      put32(e + 4, count);
      if (type == 3 && count == 1)
        put16(e + 8, static_cast<unsigned>(value));
      else
        put32(e + 8, value);
    };
    const ULONGLONG bytes = at_ - start_;
    entry(254, 4, 1, multi_ ? 2 : 0);  // NewSubfileType: a page of several
    entry(256, 4, 1, static_cast<ULONGLONG>(shape_.width));
    entry(257, 4, 1, static_cast<ULONGLONG>(shape_.length));
    entry(258, 3, colour ? 3 : 1, colour ? bitsAt : static_cast<ULONGLONG>(shape_.bits));
    entry(259, 3, 1, 1);                 // no compression
    entry(262, 3, 1, colour ? 2 : 1);    // RGB, or black is zero
    entry(273, 4, 1, start_);            // the one strip
    entry(277, 3, 1, colour ? 3 : 1);    // samples per pixel
    entry(278, 4, 1, static_cast<ULONGLONG>(shape_.length));
    entry(279, 4, 1, bytes);
    entry(282, 5, 1, xAt);
    entry(283, 5, 1, yAt);
    entry(284, 3, 1, 1);  // chunky
    entry(296, 3, 1, 2);  // inches
    // The next directory: none yet.
    put32(dir + 2 + 12 * kEntries, 0);
    unsigned char* more = out.data() + (extra - at_);
    for (int i = 0; i < 3; ++i) put16(more + 2 * i, 8);
    const auto rational = [&](unsigned char* p, double dpi) {
      put32(p, static_cast<ULONGLONG>(std::lround((dpi > 0 ? dpi : 72) * 100)));
      put32(p + 4, 100);
    };
    rational(out.data() + (xAt - at_), shape_.xDpi);
    rational(out.data() + (yAt - at_), shape_.yDpi);
    HRESULT hr = file_.WriteAt(at_, out.data(), out.size());
    // Only now does the file lead to the page: from its header, or from
    // the directory of the page before.
    unsigned char link[4];
    put32(link, directory);
    if (SUCCEEDED(hr)) hr = file_.WriteAt(adding_ ? multiPage_.nextField : 4, link, sizeof link);
    linked_ = SUCCEEDED(hr);
    if (SUCCEEDED(hr)) hr = file_.Close();
    if (FAILED(hr)) return hr;
    finished_ = true;
    if (multi_)
      multiPage_ = MultiPage{path_, at_ + out.size(), directory + 2 + 12 * kEntries};
    return S_OK;
  }

 private:
  std::string path_;
  RowShape shape_;
  MultiPage& multiPage_;
  bool multi_;
  bool adding_ = false, linked_ = false;
  ULONGLONG before_ = 0, start_ = 0, at_ = 0;
  long done_ = 0;
  File file_;
  bool finished_ = false;
};

template <typename Writer, typename... Args>
std::unique_ptr<PageWriter> Begun(HRESULT& hr, Args&&... args)
{
  auto writer = std::make_unique<Writer>(std::forward<Args>(args)...);
  hr = writer->Begin();
  if (FAILED(hr)) return nullptr;
  return writer;
}

}  // namespace

std::unique_ptr<PageWriter> WritePage(unsigned short format, const std::string& path,
                                      const RowShape& shape, MultiPage& multiPage, HRESULT& hr)
{
  hr = E_INVALIDARG;
  if (!Usable(shape)) return nullptr;
  switch (format) {
    case TWFF_BMP:
      return Begun<BmpWriter>(hr, path, shape);
    case TWFF_TIFF:
      return Begun<TiffWriter>(hr, path, shape, multiPage, false);
    case TWFF_TIFFMULTI:
      return Begun<TiffWriter>(hr, path, shape, multiPage, true);
    case TWFF_JFIF:
      return WriteJpeg(path, shape, hr);
    default:
      return nullptr;
  }
}

}  // namespace twainds
