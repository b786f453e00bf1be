// Image information of the page the walk is on, as TWAIN's TW_IMAGEINFO: made
// from the current item's stored property records for an item's first page
// and from the driver's 18 records of the page after that; the transfer
// preparation; and the byte count of an uncompressed page.
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/wide_string.h"
#include "transfer/code_tables.h"
#include "transfer/page_bytes.h"

using driver::PropertyRecord;
namespace property = driver::property;

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcFailure = 1;

// TWAIN transfer mechanisms (ICAP_XFERMECH).
constexpr int kNativeTransfer = 0;
constexpr int kFileTransfer = 1;
constexpr int kMemoryTransfer = 2;

// GetImageInfo answers S_FALSE when the item's name has no ANSI form that
// fits the driver's 260-byte name.
constexpr DWORD kAnsiNameBytes = 260;

bool FitsAnsiName(const WCHAR* name)
{
  char ansi[kAnsiNameBytes];
  return WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, kAnsiNameBytes, nullptr, nullptr) != 0;
}

// A case-sensitive ".gif" anywhere in the document name (all of its units).
bool NamesGif(BSTR documentName)
{
  static constexpr WCHAR kGif[] = {W('.'), W('g'), W('i'), W('f')};
  const UINT length = SysStringLen(documentName);
  for (UINT i = 0; i + 4 <= length; ++i)
    if (std::memcmp(documentName + i, kGif, sizeof kGif) == 0) return true;
  return false;
}

// What each property says about the page, applied to the accumulated record.
void ApplyProperty(TW_IMAGEINFO& info, LONG& pagesInItem, const PropertyRecord& p, bool gif)
{
  switch (p.Identifier()) {
    case property::kPages:
      pagesInItem = p.Int32();
      break;
    case property::kDepth:
      // In 16-bit arithmetic, as the record holds it.
      info.BitsPerPixel = gif ? static_cast<SHORT>(p.Int16() * 3) : p.Int16();
      break;
    case property::kCompression:
      info.Compression = 0;  // TWCP_NONE, whatever the driver says
      break;
    case property::kPlanar:
      if (p.Int32() == 0 || p.Int32() == 1) info.Planar = static_cast<USHORT>(p.Int32());
      break;
    case property::kPixelsPerLine:
      info.ImageWidth = p.Int32();
      break;
    case property::kNumberOfLines:
      info.ImageLength = p.Int32();
      break;
    case property::kXResolution: {
      const SHORT dpi = *code_tables::Decode(code_tables::kImageResolutionFromCode, p.Int32());
      info.XResolution = {dpi, 0};
      info.YResolution = {dpi, 0};
      break;
    }
  }
}

// Samples, bits per sample and pixel type follow from the bits per pixel; a
// depth without a row here leaves them as earlier pages left them.
void ApplyPixelDescription(TW_IMAGEINFO& info)
{
  struct Row {
    SHORT bitsPerPixel, samples, bits0, bits1, bits2, pixelType;
  };
  static constexpr Row kRows[] = {{1, 1, 1, 0, 0, 0}, {8, 1, 8, 0, 0, 1}, {24, 3, 8, 8, 8, 2}};
  for (const Row& row : kRows) {
    if (row.bitsPerPixel != info.BitsPerPixel) continue;
    info.SamplesPerPixel = row.samples;
    info.BitsPerSample[0] = row.bits0;
    info.BitsPerSample[1] = row.bits1;
    info.BitsPerSample[2] = row.bits2;
    info.PixelType = row.pixelType;
  }
}

}  // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageInfo(TW_IMAGEINFO* info, int refresh)
{
  if (info == nullptr) return E_POINTER;
  if (selection == nullptr) return E_FAIL;
  if (imageInfo == nullptr) {
    imageInfo = static_cast<TW_IMAGEINFO*>(GlobalAlloc(GPTR, sizeof(TW_IMAGEINFO)));
    if (imageInfo == nullptr) return E_OUTOFMEMORY;
  }
  driver::ItemRecord* item = CurrentItem();
  if (item == nullptr) return E_FAIL;

  PropertyRecord* records = item->properties;
  DWORD recordCount = item->propertyCount;
  // The driver's description of this one page; the stored records stay in
  // use when the exchange fails. The request, the name it carries and the
  // reply are locals, so no allocation can fail here.
  PropertyRecord reply[driver::kPagePropertyCount];
  HRESULT result = S_OK;
  if (refresh != 0 && pageInItem > 1) {
    if (SysStringLen(item->itemName) == 0) return E_FAIL;
    if (!FitsAnsiName(item->itemName)) return S_FALSE;
    WCHAR itemName[driver::kItemNameCapacity] = {};
    WStrCopy(itemName, driver::kItemNameCapacity, item->itemName);
    driver::RequestBlock request = {};
    request.operation = driver::kOperationProperties;
    request.page = static_cast<DWORD>(pageInItem);
    request.pageCount = 1;
    request.itemName = itemName;
    std::memset(static_cast<void*>(reply), 0, sizeof reply);

    DriverTransaction transaction(device);
    if (!transaction.Locked()) return S_FALSE;
    HRESULT escaped = transaction.Escape(driver::EscapeCode::ItemTransfer, &request, sizeof request,
                                         reply, sizeof reply);
    HRESULT unlocked = transaction.Unlock();
    if (SUCCEEDED(escaped) && unlocked == S_OK) {
      records = reply;
      recordCount = driver::kPagePropertyCount;
    }
    result = transaction.Result();
  }

  // The record accumulates: a property this page lacks keeps the value an
  // earlier page or item gave it. A later record of an identifier wins.
  const bool gif = NamesGif(item->documentName);
  driver::ForEachProperty(records, recordCount, [&](const PropertyRecord& p) {
    ApplyProperty(*imageInfo, pagesInItem, p, gif);
  });
  ApplyPixelDescription(*imageInfo);
  std::memcpy(info, imageInfo, sizeof(TW_IMAGEINFO));
  return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::PrepareTransfer(int, int, int mechanism, int, int,
                                                                int, int, int, int* status)
{
  if (status == nullptr) return E_POINTER;
  const driver::ItemRecord* item = CurrentItem();
  if (item == nullptr || SysStringLen(item->itemName) == 0) return E_FAIL;
  WCHAR itemName[kStringUnits] = {};
  // A cut name is reported, and the preparation goes on with it.
  HRESULT result = WStrCopy(itemName, kStringUnits, item->itemName);
  if (!FitsAnsiName(itemName)) return S_FALSE;

  if (mechanism == kFileTransfer) {
    short storedFormat = 0;
    HRESULT hr = static_cast<IStiScannerComBridge*>(this)->GetCurrentItemFormat(&storedFormat);
    if (FAILED(hr)) return S_FALSE;
    result = hr;
  }
  const bool known =
      mechanism == kNativeTransfer || mechanism == kFileTransfer || mechanism == kMemoryTransfer;
  *status = known ? kTwrcSuccess : kTwrcFailure;
  return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageByteCount(int* count)
{
  if (count == nullptr) return E_POINTER;
  HRESULT result = S_OK;
  if (imageInfo == nullptr) {
    TW_IMAGEINFO scratch = {};
    result = static_cast<IStiScannerComBridge*>(this)->GetImageInfo(&scratch, 1);
  }
  // No selection or no current item: there is nothing to count.
  if (imageInfo == nullptr) return FAILED(result) ? result : E_FAIL;

  // A count that does not fit the answer is refused rather than wrapped.
  std::optional<LONG> bytes =
      page_bytes::Unpadded(imageInfo->BitsPerPixel, imageInfo->ImageLength, imageInfo->ImageWidth);
  if (!bytes) return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
  *count = *bytes;
  return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCapabilityFlag(int* flag)
{
  if (flag == nullptr) return E_POINTER;
  *flag = static_cast<int>(capabilityFlag);
  return S_OK;
}
