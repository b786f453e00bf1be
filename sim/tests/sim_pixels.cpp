// Prints a fingerprint of every page of every stored job of a scenario, as
// the driver generates it (a memory transfer through the escapes: rows
// top-down, unpadded), one line per page:
//   pixels <item name> <page> <fingerprint>
// With --frame, of the part of each page within a frame given in inches
// from the page's top left corner, each edge at the pixel boundary nearest
// to it at the page's resolution ("none" for a page it takes nothing of):
// what a TWAIN application gets with that frame set.
// The cross-process tests hold what arrives in a client under Wine against
// these lines.
//
//   stibridge_sim_pixels <scenario file> [--frame LEFT,TOP,RIGHT,BOTTOM]
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "protocol/driver_protocol.h"
#include "sim/page_image.h"
#include "sim/sim_api.h"
#include "tests/e2e/pixel_hash.h"

namespace {

std::string Narrow(BSTR text)
{
  std::string out;
  for (UINT i = 0; i < SysStringLen(text); ++i) out.push_back(static_cast<char>(text[i]));
  return out;
}

// The page's rows through a memory transfer, or nothing when it fails.
bool PageRows(IStiDevice* device, BSTR itemName, DWORD page, std::vector<BYTE>& rows)
{
  WCHAR name[driver::kItemNameCapacity] = {};
  for (UINT i = 0; i < SysStringLen(itemName); ++i) name[i] = itemName[i];
  driver::RequestBlock request{};
  request.operation = driver::kOperationProperties;  // with no page count: memory
  request.page = page;
  request.itemName = name;
  std::vector<BYTE> chunk(1 << 20);
  rows.clear();
  for (;;) {
    DWORD word = static_cast<DWORD>(chunk.size());
    HRESULT hr = device->Escape(static_cast<DWORD>(driver::EscapeCode::ItemTransfer), &request,
                                sizeof request, chunk.data(), word, &word);
    if (FAILED(hr)) return false;
    rows.insert(rows.end(), chunk.begin(), chunk.begin() + word);
    if (hr == S_FALSE) return true;
  }
}

struct Frame {
  double left = 0, top = 0, right = 0, bottom = 0;
};

LONG Int32Of(const driver::ItemRecord* item, DWORD id)
{
  const driver::PropertyRecord* record =
      driver::FindProperty(item->properties, item->propertyCount, id);
  return record != nullptr ? record->Int32() : 0;
}

// The rows of the page's part within `frame`, pixels packed from the
// first column on, the bits after the last pixel 0; false when the frame
// takes nothing of the page.
bool FrameRows(const Frame& frame, const driver::ItemRecord* item, std::vector<BYTE>& rows)
{
  const LONG width = Int32Of(item, driver::property::kPixelsPerLine);
  const LONG height = Int32Of(item, driver::property::kNumberOfLines);
  const double dpi = sim::DotsPerInch(Int32Of(item, driver::property::kXResolution));
  if (width <= 0 || height <= 0 || rows.size() % static_cast<size_t>(height) != 0) return false;
  const size_t rowBytes = rows.size() / static_cast<size_t>(height);
  const int bits = rowBytes == static_cast<size_t>(width) * 3 ? 24
                   : rowBytes == static_cast<size_t>(width)   ? 8
                                                              : 1;
  const auto edge = [dpi](double inches, LONG most) {
    return static_cast<LONG>(std::clamp(std::round(inches * dpi), 0.0, double(most)));
  };
  const LONG left = edge(frame.left, width), right = edge(frame.right, width);
  const LONG top = edge(frame.top, height), bottom = edge(frame.bottom, height);
  if (right <= left || bottom <= top) return false;
  std::vector<BYTE> part;
  for (LONG y = top; y < bottom; ++y) {
    const BYTE* row = rows.data() + static_cast<size_t>(y) * rowBytes;
    if (bits != 1) {
      part.insert(part.end(), row + left * (bits / 8), row + right * (bits / 8));
      continue;
    }
    std::vector<BYTE> bitsOut((right - left + 7) / 8, 0);
    for (LONG x = left; x < right; ++x)
      if ((row[x / 8] >> (7 - x % 8)) & 1) bitsOut[(x - left) / 8] |= 0x80 >> ((x - left) % 8);
    part.insert(part.end(), bitsOut.begin(), bitsOut.end());
  }
  rows.swap(part);
  return true;
}

}  // namespace

int main(int argc, char** argv)
{
  Frame frame;
  const bool framed = argc == 4 && std::string(argv[2]) == "--frame" &&
                      std::sscanf(argv[3], "%lf,%lf,%lf,%lf", &frame.left, &frame.top, &frame.right,
                                  &frame.bottom) == 4;
  if (argc != 2 && !framed) {
    std::fprintf(stderr,
                 "usage: stibridge_sim_pixels <scenario file> [--frame LEFT,TOP,RIGHT,BOTTOM]\n");
    return 2;
  }
  std::basic_string<WCHAR> path;
  for (const char* p = argv[1]; *p != 0; ++p) path.push_back(static_cast<WCHAR>(*p));
  if (FAILED(StiSimLoadScenarioFile(path.c_str()))) {
    char why[512] = {};
    StiSimLastError(why, sizeof why);
    std::fprintf(stderr, "%s\n", why);
    return 1;
  }
  IStillImageW* sti = nullptr;
  if (FAILED(
          StiCreateInstanceW(nullptr, STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &sti, nullptr)))
    return 1;
  int failures = 0;
  for (DWORD position = 0; position < StiSimDeviceCount(); ++position) {
    WCHAR deviceName[STI_MAX_INTERNAL_NAME_LENGTH] = {};
    StiSimDeviceInternalName(position, deviceName, STI_MAX_INTERNAL_NAME_LENGTH);
    IStiDevice* device = nullptr;
    if (FAILED(sti->CreateDevice(deviceName, STI_DEVICE_CREATE_STATUS, &device, nullptr))) continue;
    device->LockDevice(4000);
    WCHAR store[260] = W("pixels");
    driver::ItemListHeader header{};
    DWORD word = 0;
    device->Escape(static_cast<DWORD>(driver::EscapeCode::GetItemList), store, 8, &header,
                   sizeof header, &word);
    for (LONG i = 0; i < header.count; ++i) {
      const driver::ItemRecord* item = header.items[i];
      if (item == nullptr || SysStringLen(item->itemName) >= driver::kItemNameCapacity) continue;
      const driver::PropertyRecord* pages =
          driver::FindProperty(item->properties, item->propertyCount, driver::property::kPages);
      for (LONG page = 1; pages != nullptr && page <= pages->Int32(); ++page) {
        std::vector<BYTE> rows;
        if (!PageRows(device, item->itemName, static_cast<DWORD>(page), rows)) {
          std::fprintf(stderr, "no page %ld of %s\n", static_cast<long>(page),
                       Narrow(item->itemName).c_str());
          ++failures;
          continue;
        }
        if (framed && !FrameRows(frame, item, rows)) {
          std::printf("pixels %s %ld none\n", Narrow(item->itemName).c_str(),
                      static_cast<long>(page));
          continue;
        }
        std::printf("pixels %s %ld %016" PRIx64 "\n", Narrow(item->itemName).c_str(),
                    static_cast<long>(page), PixelHash(rows.data(), rows.size()));
      }
    }
    device->UnLockDevice();
    device->Release();
  }
  sti->Release();
  return failures == 0 ? 0 : 1;
}
