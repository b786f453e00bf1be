// DG_IMAGE / DAT_IMAGENATIVEXFER, DAT_IMAGEMEMXFER, DAT_IMAGEFILEXFER: the
// page at hand brought over as a DIB in global memory, in strips of rows in
// the application's buffers, or as a file the scanner writes. A page that
// came over whole moves the source to state 7; one that did not leaves its
// job unfinished, so that the job is not deleted.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

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

Result Session::NativeTransfer(TW_MEMREF data)
{
  auto* handle = static_cast<TW_HANDLE*>(data);
  if (handle == nullptr) return Failed(TWCC_BADVALUE);
  if (choices_.mechanism != TWSX_NATIVE) return Failed(TWCC_SEQERROR);
  BITMAPINFOHEADER header = {};
  int transfer = 0;
  HRESULT hr = walk_.Begin(Mechanism::kNative, 0);
  if (SUCCEEDED(hr)) hr = connection_.ReadHeader(header);
  if (SUCCEEDED(hr)) hr = connection_.TransferSize(transfer);
  if (SUCCEEDED(hr) && (transfer <= 0 || !UsableHeader(header, static_cast<size_t>(transfer))))
    hr = E_FAIL;
  // The DIB: its header, then the palette and rows the scanner sends.
  HGLOBAL dib = nullptr;
  if (SUCCEEDED(hr)) {
    dib = GlobalAlloc(GHND, sizeof header + static_cast<size_t>(transfer));
    auto* bytes = static_cast<unsigned char*>(dib != nullptr ? GlobalLock(dib) : nullptr);
    if (bytes == nullptr) {
      hr = E_OUTOFMEMORY;
    } else {
      std::memcpy(bytes, &header, sizeof header);
      hr = connection_.ReadWhole(bytes + sizeof header, static_cast<size_t>(transfer));
      GlobalUnlock(dib);
    }
  }
  if (FAILED(hr)) {
    if (dib != nullptr) GlobalFree(dib);
    walk_.Broken();
    return ScannerFailure(hr);
  }
  *handle = dib;
  walk_.Transferred();
  state = State::kTransferring;
  return Done(TWRC_XFERDONE);
}

Result Session::MemoryTransfer(TW_MEMREF data)
{
  auto* strip = static_cast<TW_IMAGEMEMXFER*>(data);
  if (strip == nullptr) return Failed(TWCC_BADVALUE);
  if (choices_.mechanism != TWSX_MEMORY) return Failed(TWCC_SEQERROR);
  // In state 7 only to go on with a memory transfer, not after another.
  if (state == State::kTransferring && !memoryTransfer_) return Failed(TWCC_SEQERROR);
  TW_IMAGEINFO info;
  HRESULT hr = walk_.Describe(info);
  if (FAILED(hr)) return ScannerFailure(hr);
  if (info.ImageWidth <= 0 || info.ImageLength <= 0 || info.BitsPerPixel <= 0)
    return Failed(TWCC_OPERATIONERROR);
  const size_t row = (static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 7) / 8;

  // The application's buffer, which must hold a row at least.
  TW_MEMORY& memory = strip->Memory;
  if ((memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0 || memory.TheMem == nullptr ||
      memory.Length < row)
    return Failed(TWCC_BADVALUE);

  const bool handle = (memory.Flags & TWMF_HANDLE) != 0;
  void* buffer = handle ? GlobalLock(static_cast<HGLOBAL>(memory.TheMem)) : memory.TheMem;
  if (buffer == nullptr) return Failed(TWCC_BADVALUE);
  if (state == State::kReady) {
    hr = walk_.Begin(Mechanism::kMemory, 0);
    rowsDone_ = 0;
    memoryTransfer_ = SUCCEEDED(hr);
  }
  size_t rows = 0;
  bool done = false;
  if (SUCCEEDED(hr)) {
    const size_t rowsLeft = static_cast<size_t>(info.ImageLength - rowsDone_);
    const size_t largest = kLargestStrip / row > 0 ? kLargestStrip / row : 1;
    rows = std::min({static_cast<size_t>(memory.Length / row), largest, rowsLeft});
    hr = connection_.Read(buffer, static_cast<int>(rows * row), done);
  }
  if (handle) GlobalUnlock(static_cast<HGLOBAL>(memory.TheMem));
  if (FAILED(hr)) {
    walk_.Broken();
    // A transfer that had not begun has not: the page is still to come.
    if (state == State::kReady) memoryTransfer_ = false;
    return ScannerFailure(hr);
  }

  strip->Compression = TWCP_NONE;
  strip->BytesPerRow = static_cast<TW_UINT32>(row);
  strip->Columns = static_cast<TW_UINT32>(info.ImageWidth);
  strip->Rows = static_cast<TW_UINT32>(rows);
  strip->XOffset = 0;
  strip->YOffset = static_cast<TW_UINT32>(rowsDone_);
  strip->BytesWritten = static_cast<TW_UINT32>(rows * row);
  rowsDone_ += static_cast<long>(rows);
  state = State::kTransferring;
  if (rowsDone_ >= info.ImageLength) {
    walk_.Transferred();
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
  int transfer = 0;
  HRESULT hr = walk_.Begin(Mechanism::kFile, static_cast<short>(choices_.fileFormat));
  if (SUCCEEDED(hr)) hr = connection_.TransferSize(transfer);
  if (SUCCEEDED(hr) && transfer <= 0) hr = E_FAIL;
  std::vector<unsigned char> file;
  if (SUCCEEDED(hr)) {
    try {
      file.resize(static_cast<size_t>(transfer));
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
  }
  if (SUCCEEDED(hr)) hr = connection_.ReadWhole(file.data(), file.size());
  if (FAILED(hr)) {
    walk_.Broken();
    return ScannerFailure(hr);
  }
  // The file as the scanner wrote it; a file not written whole is not left.
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
  state = State::kTransferring;
  return Done(TWRC_XFERDONE);
}

}  // namespace twainds
