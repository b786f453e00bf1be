// Writes the pages of the default scenario's stored jobs as files, the way a
// file transfer delivers them (through the STI escapes, in chunks), and
// prints one line per file: name, width, height, bits per pixel, pages. A
// script holds the files against a standard image decoder.
//
//   stibridge_sim_pages <output folder>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/driver_protocol.h"
#include "platform/win32.h"
#include "sim/sim_api.h"

namespace {

using driver::ItemRecord;

struct Written {
  std::string file;
  long width, height, depth, pages;
};

long Property(const ItemRecord* item, DWORD id)
{
  const driver::PropertyRecord* r = driver::FindProperty(item->properties, item->propertyCount, id);
  return r == nullptr ? 0 : (id == driver::property::kDepth ? r->Int16() : r->Int32());
}

std::vector<BYTE> Transfer(IStiDevice* device, BSTR itemName, DWORD format, DWORD page)
{
  WCHAR name[260] = {};
  for (UINT i = 0; i < SysStringLen(itemName) && i < 259; ++i) name[i] = itemName[i];
  driver::RequestBlock request{};
  request.operation = driver::kOperationFile;
  request.formatCode = format;
  request.page = page;
  request.itemName = name;
  std::vector<BYTE> file, chunk(50000);
  for (;;) {
    DWORD word = static_cast<DWORD>(chunk.size());
    HRESULT hr = device->Escape(static_cast<DWORD>(driver::EscapeCode::ItemTransfer), &request,
                                sizeof request, chunk.data(), word, &word);
    if (FAILED(hr)) return {};
    file.insert(file.end(), chunk.begin(), chunk.begin() + word);
    if (hr == S_FALSE) return file;
  }
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 2) {
    std::fprintf(stderr, "usage: stibridge_sim_pages <output folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  if (FAILED(StiSimLoadDefaultScenario())) return 1;
  IStillImageW* sti = nullptr;
  if (FAILED(
          StiCreateInstanceW(nullptr, STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &sti, nullptr)))
    return 1;
  WCHAR deviceName[STI_MAX_INTERNAL_NAME_LENGTH] = {};
  StiSimDeviceInternalName(1, deviceName, STI_MAX_INTERNAL_NAME_LENGTH);
  IStiDevice* device = nullptr;
  if (FAILED(sti->CreateDevice(deviceName, STI_DEVICE_CREATE_STATUS, &device, nullptr)) ||
      FAILED(device->LockDevice(4000)))
    return 1;

  WCHAR store[260] = W("pages");
  driver::ItemListHeader header{};
  DWORD word = 0;
  if (FAILED(device->Escape(static_cast<DWORD>(driver::EscapeCode::GetItemList), store, 8, &header,
                            sizeof header, &word)))
    return 1;

  std::vector<Written> written;
  int failures = 0;
  for (LONG i = 0; i < header.count; ++i) {
    const ItemRecord* item = header.items[i];
    const long width = Property(item, driver::property::kPixelsPerLine);
    const long height = Property(item, driver::property::kNumberOfLines);
    const long pages = Property(item, driver::property::kPages);
    const long dataType = Property(item, driver::property::kDataType);
    // What the driver delivers: the gif job's 8-bit record stands for colour.
    long depth = dataType == 3 ? 24 : dataType == 2 ? 8 : 1;
    struct Kind {
      DWORD format;
      DWORD page;
      const char* suffix;
      long pages;
    };
    const Kind kinds[] = {{driver::kFileFormatBmp, 1, "p1.bmp", 1},
                          {driver::kFileFormatTiff, static_cast<DWORD>(pages), "last.tif", 1},
                          {driver::kFileFormatTiffMulti, 0, "all.tif", pages}};
    for (const Kind& kind : kinds) {
      std::vector<BYTE> bytes = Transfer(device, item->itemName, kind.format, kind.page);
      std::string file = folder + "/item" + std::to_string(i) + "-" + kind.suffix;
      FILE* out = bytes.empty() ? nullptr : std::fopen(file.c_str(), "wb");
      if (out == nullptr) {
        std::fprintf(stderr, "no file for item %ld (%s)\n", static_cast<long>(i), kind.suffix);
        ++failures;
        continue;
      }
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
      written.push_back({file, width, height, depth, kind.pages});
    }
  }
  word = static_cast<DWORD>(driver::BlockKind::ItemList);
  device->Escape(static_cast<DWORD>(driver::EscapeCode::FreeDriverBlock), &header, sizeof header,
                 nullptr, 0, &word);
  device->UnLockDevice();
  device->Release();
  sti->Release();
  for (const Written& w : written)
    std::printf("%s %ld %ld %ld %ld\n", w.file.c_str(), w.width, w.height, w.depth, w.pages);
  return failures == 0 ? 0 : 1;
}
