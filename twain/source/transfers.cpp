// DG_IMAGE / DAT_IMAGENATIVEXFER, DAT_IMAGEMEMXFER, DAT_IMAGEFILEXFER: the
// page at hand brought over as a DIB in global memory, in strips of rows in
// the application's buffers, or as a file the scanner writes. A page that
// came over whole moves the source to state 7; one that did not leaves its
// job unfinished, so that the job is not deleted.
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
  if (FAILED(hr)) {
    if (dib != nullptr) GlobalFree(dib);
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
  // In state 7 only to go on with a memory transfer, not after another.
  if (state == State::kTransferring && !memoryTransfer_) return Failed(TWCC_SEQERROR);
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
  TW_MEMORY& memory = strip->Memory;
  if ((memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0 || memory.TheMem == nullptr ||
      memory.Length < given)
    return Failed(TWCC_BADVALUE);

  const bool handle = (memory.Flags & TWMF_HANDLE) != 0;
  auto* buffer = static_cast<unsigned char*>(
      handle ? GlobalLock(static_cast<HGLOBAL>(memory.TheMem)) : memory.TheMem);
  if (buffer == nullptr) return Failed(TWCC_BADVALUE);
  if (state == State::kReady) {
    hr = walk_.Begin(Mechanism::kMemory, 0);
    rowsDone_ = 0;
    rowsRead_ = 0;
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
      hr = connection_.Read(buffer, static_cast<int>(rows * row), done);
    } else {
      strip_.resize(rows * row);
      hr = connection_.Read(strip_.data(), static_cast<int>(rows * row), done);
      for (size_t r = 0; SUCCEEDED(hr) && r < rows; ++r)
        CopyPixels(strip_.data() + r * row, row, region.left, region.width, info.BitsPerPixel,
                   buffer + r * given);
    }
    rowsRead_ += static_cast<long>(rows);
  }
  // After the frame's last row, the rest of the page is read and let go:
  // the scanner's transfer of it ends as a whole page's does.
  const bool last = rowsDone_ + static_cast<long>(rows) >= region.length;
  if (SUCCEEDED(hr) && last && !done && rowsRead_ < info.ImageLength)
    hr = SkipRows(info.ImageLength - rowsRead_, row, done);
  if (handle) GlobalUnlock(static_cast<HGLOBAL>(memory.TheMem));
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
    walk_.Transferred();
    if (cut) walk_.Cropped();
    return Done(TWRC_XFERDONE);
  }
  // The scanner ended the page before its last row.
  if (done) {
    walk_.Broken();
    return Failed(TWCC_OPERATIONERROR);
  }
  return Done();
}

Result Session::FileTransfer(TW_MEMREF)
{
  if (choices_.mechanism != TWSX_FILE) return Failed(TWCC_SEQERROR);
  TW_IMAGEINFO page;
  Region region;
  bool cut = false;
  const Result framed = Framed(page, region, cut);
  if (framed.rc != TWRC_SUCCESS) return framed;
  std::vector<unsigned char> file;
  HRESULT hr = S_OK;
  if (!cut) {
    // The file as the scanner writes it.
    int transfer = 0;
    hr = walk_.Begin(Mechanism::kFile, static_cast<short>(choices_.fileFormat));
    if (SUCCEEDED(hr)) hr = connection_.TransferSize(transfer);
    if (SUCCEEDED(hr) && transfer <= 0) hr = E_FAIL;
    if (SUCCEEDED(hr)) {
      try {
        file.resize(static_cast<size_t>(transfer));
      } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
      }
    }
    if (SUCCEEDED(hr)) hr = connection_.ReadWhole(file.data(), file.size());
  } else {
    // The scanner writes pages whole: the source writes the file of the
    // part of the page's DIB that the frame takes.
    BITMAPINFOHEADER header = {};
    size_t rest = 0;
    std::vector<unsigned char> dib;
    hr = BeginDib(header, rest);
    if (SUCCEEDED(hr)) {
      try {
        dib.resize(sizeof header + rest);
      } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
      }
    }
    if (SUCCEEDED(hr)) {
      std::memcpy(dib.data(), &header, sizeof header);
      hr = connection_.ReadWhole(dib.data() + sizeof header, rest);
    }
    const size_t bytes = SUCCEEDED(hr) ? CropDib(dib.data(), dib.size(), region) : 0;
    if (SUCCEEDED(hr) && bytes == 0) hr = E_FAIL;
    if (SUCCEEDED(hr))
      hr = PageFile(choices_.fileFormat, dib.data(), bytes,
                    page.XResolution.Whole + page.XResolution.Frac / 65536.0, file);
  }
  if (FAILED(hr)) {
    walk_.Broken();
    return ScannerFailure(hr);
  }
  // A file not written whole is not left.
  const char* name = choices_.fileName.c_str();
  HANDLE out =
      CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    walk_.Broken();
    return Failed(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                      ? TWCC_DENIED
                      : TWCC_FILEWRITEERROR);
  }
  DWORD written = 0;
  const bool whole =
      WriteFile(out, file.data(), static_cast<DWORD>(file.size()), &written, nullptr) != FALSE &&
      written == file.size();
  const bool closed = CloseHandle(out) != FALSE;
  if (!whole || !closed) {
    DeleteFileA(name);
    walk_.Broken();
    return Failed(TWCC_FILEWRITEERROR);
  }
  walk_.Transferred();
  if (cut) walk_.Cropped();
  state = State::kTransferring;
  return Done(TWRC_XFERDONE);
}

}  // namespace twainds
