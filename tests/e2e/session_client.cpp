// A whole scanning session through the proxy, as a data source runs it:
// settings round trip, selection by index and by name, every page of the
// selection read by native, memory and file transfer, the pixels of all
// three compared (and printed, so that the test runner can hold them against
// the pages the driver generated), the job-ended signal after an item's last
// page, and the delete-after-scan option off and on.
#include <windows.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dib_rows.h"
#include "e2e_support.h"

namespace {

constexpr int kChunk = 64 * 1024;
constexpr int kTwrcSuccess = 0;
constexpr int kTwrcXferDone = 6;

// Reads a whole transfer: chunks until the status says the transfer is done.
// The interface does not say how much of a chunk the driver filled: a chunk
// is full but for the last (native and file transfers) or holds whole rows
// (memory transfers), so `useful` bytes of each are kept and the caller
// trims the end to the size it knows.
bool ReadAll(IStiScannerComBridge* bridge, STI_TRANSFER_REQUEST request, long useful,
             std::vector<unsigned char>& out)
{
  static unsigned char chunk[kChunk];
  out.clear();
  for (int reads = 0; reads < 100000; ++reads) {
    int status = -1;
    std::memset(chunk, 0xEE, sizeof chunk);
    if (FAILED(bridge->ReadImageData(&request, chunk, kChunk, &status))) return false;
    if (status != kTwrcSuccess && status != kTwrcXferDone) return false;
    out.insert(out.end(), chunk, chunk + useful);
    if (status == kTwrcXferDone) return true;
  }
  return false;
}

struct PageResult {
  std::string native, memory, file;
};

// The current page by all three transfers.
PageResult TransferPage(IStiScannerComBridge* bridge, const std::string& item, wchar_t* itemName,
                        const TW_IMAGEINFO& info)
{
  PageResult result;
  STI_TRANSFER_REQUEST request = {};
  request.itemName = itemName;

  // Native: the bitmap header, then the palette and the rows.
  request.operation = 1;
  BITMAPINFOHEADER header = {};
  int status = -1;
  HRESULT hr =
      bridge->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header), sizeof header, &status);
  const long padded = (header.biWidth * header.biBitCount + 31) / 32 * 4;
  Check(hr == S_OK && status == kTwrcXferDone && header.biSize == 40 &&
            header.biSizeImage == static_cast<DWORD>(padded * std::labs(header.biHeight)),
        ("header-" + item).c_str(), Hex(hr) + " status " + std::to_string(status));
  int size = 0;
  status = 9;
  hr = bridge->QueryTransferSize(&request, &size, &status);
  const long nativeBytes = PaletteBytes(header) + static_cast<long>(header.biSizeImage);
  Check(hr == S_OK && size == nativeBytes, ("size-query-" + item).c_str(),
        Hex(hr) + " " + std::to_string(size) + " of " + std::to_string(nativeBytes));
  std::vector<unsigned char> data;
  if (ReadAll(bridge, request, kChunk, data) && static_cast<long>(data.size()) >= nativeBytes) {
    result.native = HashText(DibRows(header, data.data() + PaletteBytes(header)));
    // The last read's buffer went out filled with 0xEE: past what the driver
    // delivered, only zeros come back, never the server's memory.
    bool zeros = true;
    for (size_t i = static_cast<size_t>(nativeBytes); i < data.size(); ++i)
      zeros = zeros && data[i] == 0;
    Check(zeros, ("short-read-tail-is-zeros-" + item).c_str());
  }

  // Memory: rows top-down, unpadded, as the driver has them.
  request.operation = 0;
  request.pageCount = 0;
  request.page = 1;
  const long rowBytes = (info.ImageWidth * info.BitsPerPixel + 7) / 8;
  const long plain = rowBytes * info.ImageLength;
  if (rowBytes > 0 && ReadAll(bridge, request, kChunk / rowBytes * rowBytes, data) &&
      static_cast<long>(data.size()) >= plain) {
    data.resize(static_cast<size_t>(plain));
    result.memory = HashText(data);
  }

  // File: a BMP file as the driver writes it.
  request.operation = 2;
  request.formatCode = 5;
  request.page = 0;
  short stored = -1;
  bridge->GetCurrentItemFormat(&stored);
  request.formatChanged = stored != 2 ? 1 : 0;
  if (ReadAll(bridge, request, kChunk, data) && data.size() > 54 && data[0] == 'B' &&
      data[1] == 'M') {
    DWORD offset = 0;
    BITMAPINFOHEADER fileHeader = {};
    std::memcpy(&offset, data.data() + 10, 4);
    std::memcpy(&fileHeader, data.data() + 14, sizeof fileHeader);
    result.file = HashText(DibRows(fileHeader, data.data() + offset));
  }
  return result;
}

// Walks every page of the selection: image information, preparation, the
// three transfers, the job-ended signal after an item's last page, and the
// advance. Returns the pages transferred.
int Walk(IStiScannerComBridge* bridge, HANDLE jobEnded, int deleteWhenDone)
{
  TW_IMAGEINFO info = {};
  bridge->GetImageInfo(&info, 0);
  int left = 0;
  bridge->AdvancePage(1, &left, 0);
  int transferred = 0;
  while (left > 0 && transferred < 100) {
    BSTR name = nullptr;
    int page = 0, pageInItem = 0, pagesInItem = 0;
    HRESULT hr = bridge->GetCurrentItemName(&name, &page);
    bridge->GetPagePosition(&pageInItem, &pagesInItem);
    const std::string item = Narrow(name) + "-p" + std::to_string(page);
    Check(hr == S_OK && page == pageInItem, ("current-item-" + item).c_str(), Hex(hr));
    hr = bridge->GetImageInfo(&info, 1);
    Check(hr == S_OK, ("image-info-" + item).c_str(), Hex(hr));
    for (int mechanism : {0, 1, 2}) {
      int status = 9;
      hr = bridge->PrepareTransfer(0, 0, mechanism, 0, 0, 0, 0, 0, &status);
      Check(hr == S_OK && status == kTwrcSuccess,
            ("prepare-" + std::to_string(mechanism) + "-" + item).c_str(), Hex(hr));
    }
    int bytes = 0;
    hr = bridge->GetImageByteCount(&bytes);
    Check(hr == S_OK && bytes == info.BitsPerPixel * info.ImageLength * info.ImageWidth / 8,
          ("byte-count-" + item).c_str(), Hex(hr) + " " + std::to_string(bytes));

    wchar_t itemName[260] = {};
    std::wcsncpy(itemName, name, 259);
    PageResult pixels = TransferPage(bridge, item, itemName, info);
    std::printf("pixels %s %d native %s\npixels %s %d memory %s\npixels %s %d file %s\n",
                Narrow(name).c_str(), page, pixels.native.c_str(), Narrow(name).c_str(), page,
                pixels.memory.c_str(), Narrow(name).c_str(), page, pixels.file.c_str());
    Check(!pixels.native.empty() && pixels.native == pixels.memory && pixels.native == pixels.file,
          ("same-pixels-three-ways-" + item).c_str(),
          pixels.native + " / " + pixels.memory + " / " + pixels.file);

    // The driver ends the job when the last data of the item's last page
    // has gone, and only then.
    const DWORD signal = WaitForSingleObject(jobEnded, pageInItem == pagesInItem ? 5000 : 0);
    Check(signal == (pageInItem == pagesInItem ? WAIT_OBJECT_0 : WAIT_TIMEOUT),
          ("job-ended-" + item).c_str(), std::to_string(signal));
    ResetEvent(jobEnded);
    SysFreeString(name);
    ++transferred;
    const int before = left;
    hr = bridge->AdvancePage(0, &left, deleteWhenDone);
    Check(SUCCEEDED(hr) && left == before - 1, ("advance-" + item).c_str(),
          Hex(hr) + " left " + std::to_string(left));
  }
  return transferred;
}

}  // namespace

void Session(IStiScannerComBridge* bridge)
{
  RegDeleteTreeW(HKEY_CURRENT_USER, kE2eUserKey);
  // The client makes the event itself, manual-reset, before the server
  // opens it by name.
  HANDLE jobEnded = CreateEventW(nullptr, TRUE, FALSE, L"JobEnded");
  if (!OpenLabScanner(bridge)) return;
  HRESULT hr = bridge->RegisterEvents();
  HANDLE itemDeleted = OpenEventW(SYNCHRONIZE, FALSE, L"ItemDeleted");
  Check(hr == S_OK && itemDeleted != nullptr, "register-events", Hex(hr));
  hr = bridge->ApplyUserPin();
  Check(hr == S_OK, "apply-user-pin", Hex(hr));

  short v[5] = {-9, -9, -9, -9, -9};
  hr = bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]);
  Check(hr == S_OK, "get-scan-settings", Hex(hr));
  wchar_t title[] = L"Quarterly report, Q3";
  hr = bridge->SetScanSettings(title, 2, 52, 75, 0, 1, 1);
  Check(hr == S_OK, "set-scan-settings", Hex(hr));
  hr = bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]);
  Check(hr == S_OK && v[0] == 2 && v[1] == 52 && v[2] == 600 && v[3] == 0 && v[4] == 1,
        "settings-round-trip",
        Hex(hr) + " " + std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
            std::to_string(v[2]) + " " + std::to_string(v[3]) + " " + std::to_string(v[4]));
  int flag = 0;
  bridge->GetCapabilityFlag(&flag);
  Check(flag == 1, "capability-flag", std::to_string(flag));

  int count = 0;
  hr = bridge->RefreshItemList(&count);
  Check(hr == S_OK && count == 7, "refresh", Hex(hr) + " " + std::to_string(count));

  // By index: a two-page colour job, a grey page and a black-and-white one.
  int indices[] = {0, 1, 2};
  hr = bridge->SetSelection(indices, 3);
  int pages = Walk(bridge, jobEnded, 0);
  Check(hr == S_OK && pages == 4, "walk-selection-by-index", std::to_string(pages));

  // By name: the job whose document name makes its 8-bit record colour.
  int byName = 0;
  wchar_t logo[] = L"logo.gif";
  hr = bridge->SelectItemByName(0, &byName, logo, 0);
  TW_IMAGEINFO info = {};
  bridge->GetImageInfo(&info, 0);
  Check(hr == S_OK && byName == 1 && info.BitsPerPixel == 24 && info.PixelType == 2,
        "select-by-name-gif-depth", Hex(hr) + " bpp " + std::to_string(info.BitsPerPixel));
  pages = Walk(bridge, jobEnded, 0);
  Check(pages == 1, "walk-selection-by-name", std::to_string(pages));

  // Delete after scan: the user's option off, then on (the client allows it
  // both times).
  wchar_t users[] = L"users.tif";
  SetDeleteOption(0);
  bridge->SelectItemByName(0, &byName, users, 0);
  Walk(bridge, jobEnded, 1);
  bridge->RefreshItemList(&count);
  Check(count == 7, "delete-after-scan-off-keeps-the-job", std::to_string(count));
  SetDeleteOption(1);
  bridge->SelectItemByName(0, &byName, users, 0);
  Walk(bridge, jobEnded, 1);
  DWORD signalled = WaitForSingleObject(itemDeleted, 5000);
  int last = -1;
  bridge->GetLastItemIndex(&last);
  bridge->RefreshItemList(&count);
  Check(count == 6 && last == 3 && signalled == WAIT_OBJECT_0, "delete-after-scan-on-deletes",
        std::to_string(count) + " last " + std::to_string(last));

  // The driver's string comes over as the client's own copy.
  STI_TRANSFER_REQUEST request = {};
  wchar_t multi[260] = L"multi.tif";
  request.operation = 1;
  request.itemName = multi;
  BSTR text = nullptr;
  int length = 0, status = 9;
  hr = bridge->ReadItemString(&request, &text, &length, &status);
  Check(hr == S_OK && Narrow(text) == "Two pages" && length == 9 && status == 9, "read-item-string",
        Hex(hr) + " [" + Narrow(text) + "] length " + std::to_string(length) + " status " +
            std::to_string(status));
  SysFreeString(text);
  text = nullptr;
  hr = bridge->ReadItemString(&request, &text, &length, &status);
  Check(hr == S_OK && Narrow(text) == "Two pages", "read-item-string-again",
        Hex(hr) + " [" + Narrow(text) + "]");
  SysFreeString(text);

  hr = bridge->Close();
  Check(hr == S_OK, "close", Hex(hr));
  CloseHandle(itemDeleted);
  CloseHandle(jobEnded);
}
