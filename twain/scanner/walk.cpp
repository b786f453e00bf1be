// The page walk over one job at a time and the transfers of its pages.
// One job at a time: the server deletes what a walk selected when the walk
// ends, so a job selected alone is deleted when its own last page has
// gone, and never with another job whose transfer was broken off.
#include "scanner/connection.h"

#include <cstring>

#include "stibridge.h"

namespace twainds {

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcXferDone = 6;

// The reads of a whole transfer: larger ones cost fewer round trips to the
// server.
constexpr size_t kReadBytes = 1 << 20;

// The scanner's code of an ICAP_IMAGEFILEFORMAT code, as the server encodes
// it for the settings: TIFF 1, BMP 5, JFIF 0, and multi-page TIFF 2.
unsigned long DriverFormat(short fileFormat)
{
  switch (fileFormat) {
    case 0:
      return 1;
    case 2:
      return 5;
    case 4:
      return 0;
    default:
      return 2;
  }
}

}  // namespace

HRESULT Connection::SelectJob(int index, int& pages)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  HRESULT hr = Seen(bridge_->SetPagesRemaining(0));
  if (SUCCEEDED(hr)) hr = Seen(bridge_->SetSelection(&index, 1));
  TW_IMAGEINFO info = {};
  if (SUCCEEDED(hr)) hr = Seen(bridge_->GetImageInfo(&info, 0));
  int left = 0, page = 0, inItem = 0;
  if (SUCCEEDED(hr)) hr = Seen(bridge_->AdvancePage(1, &left, 0));
  if (SUCCEEDED(hr)) hr = Seen(bridge_->GetPagePosition(&page, &inItem));
  if (FAILED(hr)) return hr;
  // A walk starts on the first page: every walk of this source ends at its
  // job's end (EndWalk), where the server starts its page count again.
  if (page != 1) return E_UNEXPECTED;
  pages = left;
  return S_OK;
}

HRESULT Connection::Position(std::wstring& item, int& page)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  BSTR name = nullptr;
  const HRESULT hr = Seen(bridge_->GetCurrentItemName(&name, &page));
  item = name != nullptr ? std::wstring(name, SysStringLen(name)) : std::wstring();
  SysFreeString(name);
  return hr;
}

HRESULT Connection::DescribePage(ImageInfoBytes& info)
{
  static_assert(sizeof(TW_IMAGEINFO) == std::tuple_size_v<ImageInfoBytes>);
  if (bridge_ == nullptr || gone_) return E_FAIL;
  TW_IMAGEINFO described = {};
  const HRESULT hr = Seen(bridge_->GetImageInfo(&described, 1));
  // S_FALSE: the server could not ask the scanner (a lock, a name it cannot
  // pass on); nothing was written.
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  std::memcpy(info.data(), &described, info.size());
  return S_OK;
}

HRESULT Connection::Advance(bool deleteWhenDone, int& left)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Seen(bridge_->AdvancePage(0, &left, deleteWhenDone ? 1 : 0));
}

HRESULT Connection::EndWalk()
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  // To its job's end, without deleting: the server starts its page count
  // at 1 again only there. Each step counts a page off.
  int left = 0;
  HRESULT hr = Seen(bridge_->AdvancePage(1, &left, 0));
  for (int steps = left; SUCCEEDED(hr) && left > 0 && steps > 0; --steps)
    hr = Seen(bridge_->AdvancePage(0, &left, 0));
  return hr;
}

HRESULT Connection::BeginTransfer(Mechanism mechanism, short fileFormat)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  std::wstring item;
  int page = 0;
  HRESULT hr = Position(item, page);
  if (FAILED(hr)) return hr;
  // What a request can carry of the name: 259 units and the terminator.
  itemName_.fill(L'\0');
  item.copy(itemName_.data(), itemName_.size() - 1);
  page_ = page;
  mechanism_ = mechanism;
  fileFormat_ = fileFormat;
  int status = -1;
  hr = Seen(
      bridge_->PrepareTransfer(0, 0, static_cast<int>(mechanism), 0, 0, 0, fileFormat, 0, &status));
  // S_FALSE: the name has no form the scanner takes, or (a file) the job's
  // stored format was not to be read; a name cut to what a request holds
  // would name another job.
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  if (status != kTwrcSuccess) return E_FAIL;
  formatChanged_ = false;
  if (mechanism == Mechanism::kFile) {
    short stored = -1;
    hr = Seen(bridge_->GetCurrentItemFormat(&stored));
    if (FAILED(hr)) return hr;
    formatChanged_ = stored != fileFormat;
  }
  return S_OK;
}

namespace {

// The request the reads of the page at hand carry.
STI_TRANSFER_REQUEST Request(Mechanism mechanism, short fileFormat, bool formatChanged, int page,
                             wchar_t* itemName)
{
  STI_TRANSFER_REQUEST request = {};
  request.itemName = itemName;
  request.page = static_cast<unsigned long>(page);
  switch (mechanism) {
    case Mechanism::kNative:
      request.operation = 1;
      break;
    case Mechanism::kMemory:
      request.operation = 0;
      request.pageCount = 0;
      break;
    case Mechanism::kFile:
      request.operation = 2;
      request.formatCode = DriverFormat(fileFormat);
      request.formatChanged = formatChanged ? 1 : 0;
      break;
  }
  return request;
}

}  // namespace

HRESULT Connection::TransferSize(int& bytes)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  STI_TRANSFER_REQUEST request =
      Request(mechanism_, fileFormat_, formatChanged_, page_, itemName_.data());
  int status = 0;
  return Seen(bridge_->QueryTransferSize(&request, &bytes, &status));
}

HRESULT Connection::ReadHeader(BITMAPINFOHEADER& header)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  STI_TRANSFER_REQUEST request =
      Request(mechanism_, fileFormat_, formatChanged_, page_, itemName_.data());
  int status = -1;
  const HRESULT hr = Seen(
      bridge_->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header), sizeof header, &status));
  if (FAILED(hr)) return hr;
  return status == kTwrcXferDone ? S_OK : E_FAIL;
}

HRESULT Connection::Read(void* buffer, int bytes, bool& done)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  STI_TRANSFER_REQUEST request =
      Request(mechanism_, fileFormat_, formatChanged_, page_, itemName_.data());
  int status = -1;
  const HRESULT hr =
      Seen(bridge_->ReadImageData(&request, static_cast<BYTE*>(buffer), bytes, &status));
  if (FAILED(hr)) return hr;
  done = status == kTwrcXferDone;
  return status == kTwrcSuccess || status == kTwrcXferDone ? S_OK : E_FAIL;
}

HRESULT Connection::ReadWhole(void* buffer, size_t bytes)
{
  // The interface does not say how much of a read the scanner filled: each
  // is full but for the last, which says so, and no read asks for more
  // than is left, so that each lands where its bytes belong.
  auto* into = static_cast<unsigned char*>(buffer);
  size_t have = 0;
  bool done = false;
  while (have < bytes && !done) {
    const size_t asked = bytes - have < kReadBytes ? bytes - have : kReadBytes;
    const HRESULT hr = Read(into + have, static_cast<int>(asked), done);
    if (FAILED(hr)) return hr;
    have += asked;
  }
  // A transfer that ends early, or goes on past its size, is not the page.
  return have == bytes && done ? S_OK : E_FAIL;
}

}  // namespace twainds
