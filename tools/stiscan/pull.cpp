// pull: the page walk of a data source, writing each page as a file.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "image_files.h"
#include "json.h"
#include "messages.h"

namespace stiscan {

namespace {

constexpr int kTwrcFailure = 1;
constexpr int kTwrcXferDone = 6;
constexpr int kNativeTransfer = 0, kFileTransfer = 1, kMemoryTransfer = 2;
constexpr DWORD kDriverBmp = 5, kDriverTiff = 1;

std::string Bstr(BSTR text)
{
  return Narrow(text, SysStringLen(text));
}

// A failure of one page: what to say and the exit code.
struct PageFailure {
  std::string what;
  HRESULT hr = S_OK;
  int status = 0;
};

class Puller {
 public:
  Puller(Connection& connection, const Options& options)
      : c_(connection), options_(options), chunk_(static_cast<size_t>(options.chunk))
  {
  }

  // The current page into `file`; false with `failure` set.
  bool PullPage(const std::wstring& itemName, const TW_IMAGEINFO& info,
                std::vector<unsigned char>& file, PageFailure& failure)
  {
    name_ = itemName;
    STI_TRANSFER_REQUEST request = {};
    request.itemName = name_.data();
    if (options_.transfer == "native") {
      request.operation = 1;
      unsigned char header[kBitmapInfoHeaderBytes] = {};
      int status = 0;
      HRESULT hr = c_->ReadImageHeader(&request, header, sizeof header, &status);
      if (FAILED(hr) || status != kTwrcXferDone)
        return Failed(failure, "the page's bitmap header could not be read", hr, status);
      std::vector<unsigned char> dib;
      if (!Read(request, DibBytes(header), chunk_, dib, failure)) return false;
      file = BmpFromDib(header, dib);
    } else if (options_.transfer == "memory") {
      request.operation = 0;
      request.page = 1;
      const size_t row =
          (static_cast<size_t>(info.ImageWidth) * static_cast<size_t>(info.BitsPerPixel) + 7) / 8;
      if (row == 0 || row > chunk_)
        return Failed(failure, "a row of the page does not fit one read (raise --chunk)",
                      E_INVALIDARG, 0);
      std::vector<unsigned char> rows;
      if (!Read(request, row * static_cast<size_t>(info.ImageLength), chunk_ / row * row, rows,
                failure)) {
        return false;
      }
      file = BmpFromRows(info.ImageWidth, info.ImageLength, info.BitsPerPixel, rows);
    } else {
      request.operation = 2;
      request.formatCode = options_.format == "tiff" ? kDriverTiff : kDriverBmp;
      short stored = -1;
      c_->GetCurrentItemFormat(&stored);
      request.formatChanged = stored != (options_.format == "tiff" ? 0 : 2) ? 1 : 0;
      int size = 0, status = 0;
      HRESULT hr = c_->QueryTransferSize(&request, &size, &status);
      if (FAILED(hr)) return Failed(failure, "the scanner did not say the file's size", hr, status);
      if (!Read(request, static_cast<size_t>(size), chunk_, file, failure)) return false;
    }
    if (file.empty()) return Failed(failure, "the page did not come over whole", E_FAIL, 0);
    return true;
  }

  long long Reads() const { return reads_; }

 private:
  static bool Failed(PageFailure& failure, const std::string& what, HRESULT hr, int status)
  {
    failure.what = what;
    failure.hr = hr;
    failure.status = status;
    return false;
  }

  // Reads a transfer of `total` bytes. The interface does not say how much
  // of a read the driver filled: a read is full but for the last (native and
  // file transfers) or holds whole rows (memory transfers), so `useful`
  // bytes of each count.
  bool Read(STI_TRANSFER_REQUEST& request, size_t total, size_t useful,
            std::vector<unsigned char>& out, PageFailure& failure)
  {
    out.clear();
    out.reserve(total);
    buffer_.resize(chunk_);
    while (out.size() < total) {
      int status = -1;
      HRESULT hr = c_->ReadImageData(&request, buffer_.data(), static_cast<int>(chunk_), &status);
      ++reads_;
      if (FAILED(hr) || status == kTwrcFailure)
        return Failed(failure, "a read of the page failed", FAILED(hr) ? hr : E_FAIL, status);
      const size_t take = std::min(useful, total - out.size());
      out.insert(out.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(take));
      if (status == kTwrcXferDone) break;
    }
    if (out.size() < total) return Failed(failure, "the page ended early", E_FAIL, kTwrcXferDone);
    return true;
  }

  Connection& c_;
  const Options& options_;
  size_t chunk_;
  std::wstring name_;
  std::vector<unsigned char> buffer_;
  long long reads_ = 0;
};

// "scan0001" of "scan0001.tif", with characters a file name cannot hold
// replaced.
std::string FileBase(const std::string& itemName)
{
  std::string base = itemName.substr(0, itemName.find_last_of('.'));
  for (char& c : base)
    if (std::string("\\/:*?\"<>|").find(c) != std::string::npos || c < 0x20) c = '_';
  return base.empty() ? "job" : base;
}

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written;
}

// Finds the item of that name: its index, whether the list holds it usable,
// and whether this user may preview it.
int FindJob(Connection& c, int count, const std::wstring& name, bool& usable, bool& mayPreview)
{
  for (int index = 0; index < count; ++index) {
    BSTR current = nullptr;
    int page = 0;
    bool match = c->SetSelection(&index, 1) == S_OK &&
                 c->GetCurrentItemName(&current, &page) == S_OK &&
                 std::wstring(current, SysStringLen(current)) == name;
    SysFreeString(current);
    if (!match) continue;
    int flag = 0;
    c->GetItemFlag(index, &flag);
    mayPreview = c.MayPreview(index);
    usable = flag != 0;
    return index;
  }
  return -1;
}

}  // namespace

int Pull(const Options& options)
{
  Connection c;
  int count = 0;
  if (int code = c.OpenJobs(options, count)) return code;

  // The jobs: one by name, or every one this user may preview.
  std::vector<int> indices;
  if (!options.job.empty()) {
    bool usable = false, mayPreview = false;
    const int index = FindJob(c, count, Widen(options.job), usable, mayPreview);
    if (index < 0) return Fail("no job named \"" + options.job + "\" is stored", kExitFailure);
    if (!usable) return Fail("the job \"" + options.job + "\" is not ready yet", kExitFailure);
    if (!mayPreview)
      return Fail("the job \"" + options.job + "\" belongs to another user", kExitAccessDenied);
    indices.push_back(index);
  } else {
    for (int index = 0; index < count; ++index)
      if (c.MayPreview(index)) indices.push_back(index);
  }
  c->SetPagesRemaining(0);
  if (indices.empty()) {
    std::printf("No job you may access is stored on \"%s\".\n",
                Narrow(c.DeviceName().c_str()).c_str());
    return kExitSuccess;
  }
  HRESULT hr = c->SetSelection(indices.data(), static_cast<int>(indices.size()));
  if (FAILED(hr)) return Fail("the jobs could not be selected", hr);
  CreateDirectoryA(options.out.c_str(), nullptr);

  const int mechanism = options.transfer == "native"   ? kNativeTransfer
                        : options.transfer == "memory" ? kMemoryTransfer
                                                       : kFileTransfer;
  const std::string extension = options.transfer != "file" ? ".bmp"
                                : options.format == "tiff" ? ".tif"
                                                           : ".bmp";
  const bool terminal = _isatty(_fileno(stdout)) != 0 && !options.json;
  Puller puller(c, options);
  TW_IMAGEINFO info = {};
  c->GetImageInfo(&info, 0);
  int left = 0;
  c->AdvancePage(1, &left, 0);
  const int total = left;
  int pages = 0;
  long long bytes = 0;
  std::vector<std::string> files;
  const ULONGLONG started = GetTickCount64();
  while (left > 0) {
    BSTR name = nullptr;
    int page = 0;
    c->GetCurrentItemName(&name, &page);
    const std::wstring itemName(name, SysStringLen(name));
    const std::string item = Bstr(name);
    SysFreeString(name);
    // The page's description (from the driver for a second page on), then
    // the preparation of the transfer the user asked for.
    c->GetImageInfo(&info, 1);
    int status = kTwrcFailure;
    hr = c->PrepareTransfer(0, 0, mechanism, 0, 0, 0, 0, 0, &status);
    std::vector<unsigned char> file;
    PageFailure failure;
    if (FAILED(hr) || status != 0) {
      failure = {"the transfer could not be prepared", FAILED(hr) ? hr : E_FAIL, status};
    } else if (puller.PullPage(itemName, info, file, failure)) {
      const std::string path =
          options.out + "\\" + FileBase(item) + "-p" + std::to_string(page) + extension;
      if (!WriteFile(path, file))
        return Fail("the file " + path + " could not be written",
                    HRESULT_FROM_WIN32(GetLastError()));
      files.push_back(path);
      bytes += static_cast<long long>(file.size());
      ++pages;
      if (terminal) {
        const int width = 30, done = width * pages / std::max(total, 1);
        std::printf("\r[%s%s] %d/%d pages %s p%d          ", std::string(done, '#').c_str(),
                    std::string(width - done, ' ').c_str(), pages, total, item.c_str(), page);
      } else if (!options.json) {
        std::printf("page %d/%d: %s page %d -> %s (%zu bytes)\n", pages, total, item.c_str(), page,
                    path.c_str(), file.size());
      }
      std::fflush(stdout);
    }
    if (!failure.what.empty()) {
      if (terminal) std::printf("\n");
      std::string what = "page " + std::to_string(page) + " of \"" + item + "\": " + failure.what;
      if (failure.status != 0) what += " (" + DescribeTwainStatus(failure.status) + ")";
      Fail(what, failure.hr);
      return kExitTransferFailed;
    }
    hr = c->AdvancePage(0, &left, options.deleteAfter ? 1 : 0);
    if (FAILED(hr)) {
      if (terminal) std::printf("\n");
      return Fail(
          "the walk could not go on after page " + std::to_string(page) + " of \"" + item + "\"",
          hr);
    }
  }
  const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
  const double megabytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (terminal) std::printf("\n");
  if (options.json) {
    std::printf("{\"pages\": %d, \"bytes\": %lld, \"seconds\": %.3f, \"reads\": %lld, \"files\": [",
                pages, bytes, seconds, puller.Reads());
    for (size_t i = 0; i < files.size(); ++i)
      std::printf("%s%s", i == 0 ? "" : ", ", JsonString(files[i]).c_str());
    std::printf("]}\n");
  } else {
    std::printf("Pulled %d page%s (%.2f MB) in %.2f s, %.2f MB/s, into %s\n", pages,
                pages == 1 ? "" : "s", megabytes, seconds, seconds > 0 ? megabytes / seconds : 0.0,
                options.out.c_str());
  }
  return kExitSuccess;
}

}  // namespace stiscan
