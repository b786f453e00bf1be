// DG_IMAGE / DAT_IMAGENATIVEXFER, DAT_IMAGEMEMXFER, DAT_IMAGEFILEXFER,
// DAT_IMAGEMEMFILEXFER: the page at hand brought over as a DIB in global
// memory, in strips of rows in the application's buffers, as a file, or as
// a file's bytes in the application's buffers. A file is the scanner's own
// (BMP and TIFF of a whole page) or the source's, written from the rows as
// they come (page_file.h): no transfer but the native one holds a page. A
// page that came over whole moves the source to state 7; one that did not
// leaves its job unfinished, so that the job is not deleted.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "source/page_file.h"
#include "source/session.h"

namespace twainds {

namespace {

// A memory transfer's reads hold whole rows and at most this much: a
// larger buffer of the application's is filled that far.
constexpr size_t kLargestStrip = 16 << 20;

// The reads of the source's own: larger ones cost fewer round trips to the
// server, and this is all of a page it holds.
constexpr size_t kReadBytes = 1 << 20;

// A transfer the user cancelled on the indicator between two reads
// (HRESULT_FROM_WIN32(ERROR_CANCELLED)).
constexpr HRESULT kUserCancelled = static_cast<HRESULT>(0x800704C7L);

// The buffer the application handed over, locked when it is a handle:
// null when it cannot take `least` bytes.
class Buffer {
 public:
  Buffer(const TW_MEMORY& memory, size_t least) : memory_(memory)
  {
    if ((memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0 || memory.TheMem == nullptr ||
        memory.Length < least)
      return;
    handle_ = (memory.Flags & TWMF_HANDLE) != 0;
    if (!handle_) {
      at_ = static_cast<unsigned char*>(memory.TheMem);
      return;
    }
    // A handle says how large it is: Length may not claim more.
    auto* held = static_cast<HGLOBAL>(memory.TheMem);
    if (GlobalSize(held) < memory.Length) return;
    at_ = static_cast<unsigned char*>(GlobalLock(held));
  }
  ~Buffer()
  {
    if (handle_ && at_ != nullptr) GlobalUnlock(static_cast<HGLOBAL>(memory_.TheMem));
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  unsigned char* At() const { return at_; }

 private:
  const TW_MEMORY& memory_;
  bool handle_ = false;
  unsigned char* at_ = nullptr;
};

// What a failed file of a file transfer is to the application.
TW_UINT16 FileCondition(HRESULT hr)
{
  return hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) ||
                 hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)
             ? TWCC_DENIED
             : TWCC_FILEWRITEERROR;
}

// The palette bytes of a DIB of this header.
size_t PaletteBytes(const BITMAPINFOHEADER& header)
{
  if (header.biBitCount > 8) return 0;
  return 4 * (header.biClrUsed != 0 ? header.biClrUsed : (1u << header.biBitCount));
}

// Whether the header describes a DIB this source hands on: uncompressed,
// 1, 8 or 24 bits, with its image size worked out (the server does).
bool UsableHeader(const BITMAPINFOHEADER& header, size_t transfer)
{
  return header.biSize == sizeof header && header.biWidth > 0 && header.biHeight != 0 &&
         header.biCompression == BI_RGB && header.biSizeImage > 0 &&
         (header.biBitCount == 1 || header.biBitCount == 8 || header.biBitCount == 24) &&
         (header.biBitCount > 8 || header.biClrUsed <= (1u << header.biBitCount)) &&
         transfer == PaletteBytes(header) + header.biSizeImage;
}

}  // namespace

HRESULT Session::BeginDib(BITMAPINFOHEADER& header, size_t& rest)
{
  int transfer = 0;
  HRESULT hr = walk_.Begin(Mechanism::kNative, 0);
  if (SUCCEEDED(hr)) hr = connection_.ReadHeader(header);
  if (SUCCEEDED(hr)) hr = connection_.TransferSize(transfer);
  if (SUCCEEDED(hr) && (transfer <= 0 || !UsableHeader(header, static_cast<size_t>(transfer))))
    hr = E_FAIL;
  rest = SUCCEEDED(hr) ? static_cast<size_t>(transfer) : 0;
  return hr;
}

Result Session::NativeTransfer(TW_MEMREF data)
{
  auto* handle = static_cast<TW_HANDLE*>(data);
  if (handle == nullptr) return Failed(TWCC_BADVALUE);
  if (choices_.mechanism != TWSX_NATIVE) return Failed(TWCC_SEQERROR);
  TW_IMAGEINFO page;
  Region region;
  bool cut = false;
  const Result framed = Framed(page, region, cut);
  if (framed.rc != TWRC_SUCCESS) return framed;
  if (CancelAsked()) return CancelTransfer();
  BITMAPINFOHEADER header = {};
  size_t rest = 0;
  HRESULT hr = BeginDib(header, rest);
  // The DIB: its header, then the palette and rows the scanner sends; cut
  // to the frame where it lies, and let shrink.
  HGLOBAL dib = nullptr;
  size_t bytes = sizeof header + rest;
  if (SUCCEEDED(hr)) {
    dib = GlobalAlloc(GHND, bytes);
    auto* into = static_cast<unsigned char*>(dib != nullptr ? GlobalLock(dib) : nullptr);
    if (into == nullptr) {
      hr = E_OUTOFMEMORY;
    } else {
      std::memcpy(into, &header, sizeof header);
      hr = connection_.ReadWhole(into + sizeof header, rest);
      if (SUCCEEDED(hr) && cut) bytes = CropDib(into, bytes, region);
      if (bytes == 0) hr = E_FAIL;
      GlobalUnlock(dib);
    }
  }
  if (SUCCEEDED(hr) && cut) {
    HGLOBAL smaller = GlobalReAlloc(dib, bytes, 0);
    if (smaller != nullptr) dib = smaller;
  }
  // Cancel clicked while the page came: the application does not get it.
  if (SUCCEEDED(hr) && CancelAsked()) hr = kUserCancelled;
  if (FAILED(hr)) {
    if (dib != nullptr) GlobalFree(dib);
    if (hr == kUserCancelled) return CancelTransfer();
    walk_.Broken();
    return ScannerFailure(hr);
  }
  *handle = dib;
  walk_.Transferred();
  if (cut) walk_.Cropped();
  state = State::kTransferring;
  return Done(TWRC_XFERDONE);
}

Result Session::Framed(TW_IMAGEINFO& page, Region& region, bool& cut)
{
  cut = false;
  if (!choices_.frame) return Done();
  const HRESULT hr = PageAtHand(page, region);
  if (FAILED(hr)) return ScannerFailure(hr);
  if (region.width <= 0) return Failed(TWCC_BADVALUE);
  cut = !(region == Region{0, 0, page.ImageWidth, page.ImageLength});
  return Done();
}

HRESULT Session::SkipRows(long rows, size_t rowBytes, bool& done)
{
  const size_t most = std::max<size_t>(kLargestStrip / rowBytes, 1);
  HRESULT hr = S_OK;
  for (size_t left = static_cast<size_t>(rows); SUCCEEDED(hr) && left > 0 && !done;) {
    const size_t now = std::min(left, most);
    strip_.resize(now * rowBytes);
    hr = connection_.Read(strip_.data(), static_cast<int>(now * rowBytes), done);
    if (FAILED(hr)) break;
    left -= now;
    rowsRead_ += static_cast<long>(now);
  }
  return hr;
}

Result Session::MemoryTransfer(TW_MEMREF data)
{
  auto* strip = static_cast<TW_IMAGEMEMXFER*>(data);
  if (strip == nullptr) return Failed(TWCC_BADVALUE);
  if (choices_.mechanism != TWSX_MEMORY) return Failed(TWCC_SEQERROR);
  // In state 7 only to go on with a memory transfer, not after another,
  // and not once its last rows were given or the scanner ended it: the
  // application ends the page.
  if (state == State::kTransferring && (!memoryTransfer_ || memoryDone_))
    return Failed(TWCC_SEQERROR);
  TW_IMAGEINFO info;
  Region region;
  HRESULT hr = PageAtHand(info, region);
  if (FAILED(hr)) return ScannerFailure(hr);
  if (info.ImageWidth <= 0 || info.ImageLength <= 0 || info.BitsPerPixel <= 0)
    return Failed(TWCC_OPERATIONERROR);
  if (region.width <= 0) return Failed(TWCC_BADVALUE);
  const bool cut = !(region == Region{0, 0, info.ImageWidth, info.ImageLength});
  // Rows as the scanner sends them, and as the application gets them.
  const size_t row = RowBytes(info.ImageWidth, info.BitsPerPixel);
  const size_t given = RowBytes(region.width, info.BitsPerPixel);

  // The application's buffer, which must hold a row at least.
  const TW_MEMORY& memory = strip->Memory;
  Buffer buffer(memory, given);
  if (buffer.At() == nullptr) return Failed(TWCC_BADVALUE);
  // Cancel clicked since the last strip.
  if (CancelAsked()) return CancelTransfer();
  if (state == State::kReady) {
    hr = walk_.Begin(Mechanism::kMemory, 0);
    rowsDone_ = 0;
    rowsRead_ = 0;
    memoryDone_ = false;
    memoryTransfer_ = SUCCEEDED(hr);
  }
  size_t rows = 0;
  bool done = false;
  // The rows above the frame go before its first.
  if (SUCCEEDED(hr) && rowsRead_ < region.top) hr = SkipRows(region.top - rowsRead_, row, done);
  if (SUCCEEDED(hr) && !done) {
    const size_t rowsLeft = static_cast<size_t>(region.length - rowsDone_);
    const size_t largest = kLargestStrip / row > 0 ? kLargestStrip / row : 1;
    rows = std::min({static_cast<size_t>(memory.Length / given), largest, rowsLeft});
    if (!cut) {
      hr = connection_.Read(buffer.At(), static_cast<int>(rows * row), done);
    } else {
      strip_.resize(rows * row);
      hr = connection_.Read(strip_.data(), static_cast<int>(rows * row), done);
      for (size_t r = 0; SUCCEEDED(hr) && r < rows; ++r)
        CopyPixels(strip_.data() + r * row, row, region.left, region.width, info.BitsPerPixel,
                   buffer.At() + r * given);
    }
    // A strip that failed was not read: asked again, it brings the same
    // rows.
    if (SUCCEEDED(hr)) rowsRead_ += static_cast<long>(rows);
  }
  // After the frame's last row, the rest of the page is read and let go:
  // the scanner's transfer of it ends as a whole page's does.
  const bool last = rowsDone_ + static_cast<long>(rows) >= region.length;
  if (SUCCEEDED(hr) && last && !done && rowsRead_ < info.ImageLength)
    hr = SkipRows(info.ImageLength - rowsRead_, row, done);
  if (FAILED(hr)) {
    walk_.Broken();
    // A transfer that had not begun has not: the page is still to come.
    if (state == State::kReady) memoryTransfer_ = false;
    return ScannerFailure(hr);
  }
  // The scanner ended the page before the frame's first row.
  if (rows == 0) {
    walk_.Broken();
    return Failed(TWCC_OPERATIONERROR);
  }

  strip->Compression = TWCP_NONE;
  strip->BytesPerRow = static_cast<TW_UINT32>(given);
  strip->Columns = static_cast<TW_UINT32>(region.width);
  strip->Rows = static_cast<TW_UINT32>(rows);
  strip->XOffset = 0;
  strip->YOffset = static_cast<TW_UINT32>(rowsDone_);
  strip->BytesWritten = static_cast<TW_UINT32>(rows * given);
  rowsDone_ += static_cast<long>(rows);
  state = State::kTransferring;
  if (last) {
    memoryDone_ = true;
    walk_.Transferred();
    if (cut) walk_.Cropped();
    return Done(TWRC_XFERDONE);
  }
  // The scanner ended the page before its last row: nothing more comes of
  // it (a read after its end would start the page again), and the
  // application ends the page.
  if (done) {
    memoryDone_ = true;
    walk_.Broken();
    return Failed(TWCC_OPERATIONERROR);
  }
  return Done();
}

HRESULT Session::ReadRegion(const TW_IMAGEINFO& page, const Region& region,
                            const std::function<HRESULT(const unsigned char*, long)>& take)
{
  if (page.ImageWidth <= 0 || page.ImageLength <= 0 || page.BitsPerPixel <= 0 ||
      region.width <= 0)
    return E_FAIL;
  HRESULT hr = walk_.Begin(Mechanism::kMemory, 0);
  const size_t row = RowBytes(page.ImageWidth, page.BitsPerPixel);
  const size_t given = RowBytes(region.width, page.BitsPerPixel);
  const bool whole = region.left == 0 && region.width == page.ImageWidth;
  const long most = static_cast<long>(std::max<size_t>(kReadBytes / row, 1));
  std::vector<unsigned char> strip, cut;
  bool done = false;
  long y = 0;
  while (SUCCEEDED(hr) && y < page.ImageLength && !done) {
    if (CancelAsked()) {
      hr = kUserCancelled;
      break;
    }
    const long now = std::min(most, page.ImageLength - y);
    strip.resize(static_cast<size_t>(now) * row);
    hr = connection_.Read(strip.data(), static_cast<int>(strip.size()), done);
    if (FAILED(hr)) break;
    // The rows of the region among them, cut to its columns.
    const long first = std::max(y, region.top);
    const long end = std::min(y + now, region.top + region.length);
    if (first < end) {
      const unsigned char* from = strip.data() + static_cast<size_t>(first - y) * row;
      if (whole) {
        hr = take(from, end - first);
      } else {
        cut.resize(static_cast<size_t>(end - first) * given);
        for (long r = 0; r < end - first; ++r)
          CopyPixels(from + static_cast<size_t>(r) * row, row, region.left, region.width,
                     page.BitsPerPixel, cut.data() + static_cast<size_t>(r) * given);
        hr = take(cut.data(), end - first);
      }
    }
    y += now;
  }
  // A transfer that ends early, or goes on past the page, is not the page.
  if (SUCCEEDED(hr) && (y != page.ImageLength || !done)) hr = E_FAIL;
  return hr;
}

HRESULT Session::WritePageFile(TW_UINT16 format, const std::string& path,
                               const TW_IMAGEINFO& page, const Region& region, bool scanner,
                               bool& fileFailed)
{
  fileFailed = false;
  if (scanner) {
    // The scanner's file, a read at a time.
    int transfer = 0;
    HRESULT hr = walk_.Begin(Mechanism::kFile, static_cast<short>(format));
    if (SUCCEEDED(hr)) hr = connection_.TransferSize(transfer);
    if (SUCCEEDED(hr) && transfer <= 0) hr = E_FAIL;
    if (FAILED(hr)) return hr;
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
      fileFailed = true;
      return HRESULT_FROM_WIN32(GetLastError());
    }
    std::vector<unsigned char> chunk(std::min(static_cast<size_t>(transfer), kReadBytes));
    size_t have = 0;
    bool done = false;
    while (SUCCEEDED(hr) && have < static_cast<size_t>(transfer) && !done) {
      if (CancelAsked()) {
        hr = kUserCancelled;
        break;
      }
      const size_t asked = std::min(static_cast<size_t>(transfer) - have, kReadBytes);
      hr = connection_.Read(chunk.data(), static_cast<int>(asked), done);
      DWORD written = 0;
      if (SUCCEEDED(hr)) {
        if (!WriteFile(out, chunk.data(), static_cast<DWORD>(asked), &written, nullptr))
          hr = HRESULT_FROM_WIN32(GetLastError());
        else if (written != asked)
          hr = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        fileFailed = FAILED(hr);
      }
      have += asked;
    }
    // A transfer that ends early, or goes on past its size, is not the
    // page; a file not written whole is not left.
    if (SUCCEEDED(hr) && (have != static_cast<size_t>(transfer) || !done)) hr = E_FAIL;
    if (!CloseHandle(out) && SUCCEEDED(hr)) {
      hr = HRESULT_FROM_WIN32(GetLastError());
      fileFailed = true;
    }
    if (FAILED(hr)) DeleteFileA(path.c_str());
    return hr;
  }
  // The source's file, from the rows that the frame takes.
  const double xDpi = page.XResolution.Whole + page.XResolution.Frac / 65536.0;
  const double yDpi = page.YResolution.Whole + page.YResolution.Frac / 65536.0;
  const RowShape shape = {region.width, region.length, page.BitsPerPixel, xDpi, yDpi};
  HRESULT hr = S_OK;
  std::unique_ptr<PageWriter> writer = WritePage(format, path, shape, multiPage_, hr);
  if (writer == nullptr) {
    fileFailed = true;
    return hr;
  }
  hr = ReadRegion(page, region, [&](const unsigned char* rows, long count) {
    const HRESULT written = writer->Rows(rows, count);
    if (FAILED(written)) fileFailed = true;
    return written;
  });
  if (SUCCEEDED(hr)) {
    hr = writer->Finish();
    if (FAILED(hr)) fileFailed = true;
  }
  return hr;
}

Result Session::FileTransfer(TW_MEMREF)
{
  if (choices_.mechanism != TWSX_FILE) return Failed(TWCC_SEQERROR);
  TW_IMAGEINFO page;
  Region region;
  HRESULT hr = PageAtHand(page, region);
  if (FAILED(hr)) return ScannerFailure(hr);
  if (region.width <= 0) return Failed(TWCC_BADVALUE);
  const bool cut = !(region == Region{0, 0, page.ImageWidth, page.ImageLength});
  const TW_UINT16 format = choices_.fileFormat;
  // The scanner writes whole pages in BMP and TIFF; the rest the source
  // writes itself.
  const bool scanner = !cut && (format == TWFF_BMP || format == TWFF_TIFF);
  if (format != TWFF_TIFFMULTI) EndMultiPageFile();
  if (CancelAsked()) return CancelTransfer();
  bool fileFailed = false;
  hr = WritePageFile(format, choices_.filePath, page, region, scanner, fileFailed);
  // The file is left as a failed transfer leaves it.
  if (hr == kUserCancelled) return CancelTransfer();
  if (FAILED(hr)) {
    walk_.Broken();
    return fileFailed ? Failed(FileCondition(hr)) : ScannerFailure(hr);
  }
  walk_.Transferred();
  if (cut) walk_.Cropped();
  state = State::kTransferring;
  return Done(TWRC_XFERDONE);
}

void Session::EndMultiPageFile()
{
  multiPage_ = MultiPage();
}

void Session::EndMemoryFile()
{
  if (memoryFile_.file != INVALID_HANDLE_VALUE) CloseHandle(memoryFile_.file);
  memoryFile_ = MemoryFile();
}

Result Session::MemoryFileTransfer(TW_MEMREF data)
{
  auto* strip = static_cast<TW_IMAGEMEMXFER*>(data);
  if (strip == nullptr) return Failed(TWCC_BADVALUE);
  if (choices_.mechanism != TWSX_MEMFILE) return Failed(TWCC_SEQERROR);
  // In state 7 only to go on with a memory-file transfer, until its last
  // bytes were given or the scanner ended it.
  if (state == State::kTransferring && (!memoryFile_.active || memoryFile_.done))
    return Failed(TWCC_SEQERROR);
  const TW_MEMORY& memory = strip->Memory;
  Buffer buffer(memory, 1);
  if (buffer.At() == nullptr) return Failed(TWCC_BADVALUE);
  if (CancelAsked()) {
    EndMemoryFile();
    return CancelTransfer();
  }
  HRESULT hr = S_OK;
  bool fileFailed = false;
  if (state == State::kReady) {
    EndMemoryFile();
    TW_IMAGEINFO page;
    Region region;
    hr = PageAtHand(page, region);
    if (FAILED(hr)) return ScannerFailure(hr);
    if (region.width <= 0) return Failed(TWCC_BADVALUE);
    const TW_UINT16 format = choices_.fileFormat;
    memoryFile_.cut = !(region == Region{0, 0, page.ImageWidth, page.ImageLength});
    memoryFile_.direct = !memoryFile_.cut && (format == TWFF_BMP || format == TWFF_TIFF);
    if (memoryFile_.direct) {
      // The scanner's file, read into the application's buffers.
      int transfer = 0;
      hr = walk_.Begin(Mechanism::kFile, static_cast<short>(format));
      if (SUCCEEDED(hr)) hr = connection_.TransferSize(transfer);
      if (SUCCEEDED(hr) && transfer <= 0) hr = E_FAIL;
      memoryFile_.total = SUCCEEDED(hr) ? static_cast<size_t>(transfer) : 0;
    } else {
      // The source's file, in a temporary file first.
      char folder[MAX_PATH] = {}, name[MAX_PATH] = {};
      const DWORD length = GetTempPathA(MAX_PATH, folder);
      if (length == 0 || length >= MAX_PATH || GetTempFileNameA(folder, "sbd", 0, name) == 0) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        fileFailed = true;
      }
      MultiPage none;
      if (SUCCEEDED(hr)) {
        std::swap(none, multiPage_);
        hr = WritePageFile(format, name, page, region, false, fileFailed);
        std::swap(none, multiPage_);
      }
      if (SUCCEEDED(hr)) {
        memoryFile_.file = CreateFileA(name, GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        LARGE_INTEGER size = {};
        if (memoryFile_.file == INVALID_HANDLE_VALUE || !GetFileSizeEx(memoryFile_.file, &size) ||
            size.QuadPart <= 0) {
          hr = HRESULT_FROM_WIN32(GetLastError());
          fileFailed = true;
        }
        memoryFile_.total = static_cast<size_t>(size.QuadPart);
      }
      if (FAILED(hr) && memoryFile_.file == INVALID_HANDLE_VALUE && name[0] != '\0')
        DeleteFileA(name);
    }
    if (FAILED(hr)) {
      EndMemoryFile();
      if (hr == kUserCancelled) return CancelTransfer();
      walk_.Broken();
      return fileFailed ? Failed(FileCondition(hr)) : ScannerFailure(hr);
    }
    memoryFile_.active = true;
  }
  // One strip of the file: as much as the buffer holds, at most this much.
  const size_t bytes = std::min({static_cast<size_t>(memory.Length),
                                 memoryFile_.total - memoryFile_.sent, kLargestStrip});
  bool done = false;
  if (memoryFile_.direct) {
    hr = connection_.Read(buffer.At(), static_cast<int>(bytes), done);
    // A file that ends before its size, or goes on past it, is not the file:
    // nothing more comes of it (a read after the scanner's end would start
    // the page again), and the application ends the page.
    if (SUCCEEDED(hr) && done != (memoryFile_.sent + bytes == memoryFile_.total)) {
      memoryFile_.done = true;
      hr = E_FAIL;
    }
  } else {
    DWORD read = 0;
    if (!ReadFile(memoryFile_.file, buffer.At(), static_cast<DWORD>(bytes), &read, nullptr))
      hr = HRESULT_FROM_WIN32(GetLastError());
    else if (read != bytes)
      hr = E_FAIL;
    fileFailed = FAILED(hr);
  }
  if (FAILED(hr)) {
    walk_.Broken();
    state = State::kTransferring;
    return fileFailed ? Failed(TWCC_OPERATIONERROR) : ScannerFailure(hr);
  }
  memoryFile_.sent += bytes;
  // What a strip of rows says has no meaning for a file's bytes.
  strip->Compression = TWON_DONTCARE16;
  strip->BytesPerRow = strip->Columns = strip->Rows = TWON_DONTCARE32;
  strip->XOffset = strip->YOffset = TWON_DONTCARE32;
  strip->BytesWritten = static_cast<TW_UINT32>(bytes);
  state = State::kTransferring;
  if (memoryFile_.sent < memoryFile_.total) return Done();
  memoryFile_.done = true;
  walk_.Transferred();
  if (memoryFile_.cut) walk_.Cropped();
  return Done(TWRC_XFERDONE);
}

}  // namespace twainds
