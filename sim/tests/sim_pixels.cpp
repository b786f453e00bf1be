// Prints a fingerprint of every page of every stored job of a scenario, as
// the driver generates it (a memory transfer through the escapes: rows
// top-down, unpadded), one line per page:
//   pixels <item name> <page> <fingerprint>
// The cross-process tests hold what arrives in a client under Wine against
// these lines.
//
//   stibridge_sim_pixels <scenario file>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "protocol/driver_protocol.h"
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
bool PageHash(IStiDevice* device, BSTR itemName, DWORD page, uint64_t& hash)
{
  WCHAR name[driver::kItemNameCapacity] = {};
  for (UINT i = 0; i < SysStringLen(itemName); ++i) name[i] = itemName[i];
  driver::RequestBlock request{};
  request.operation = driver::kOperationProperties;  // with no page count: memory
  request.page = page;
  request.itemName = name;
  std::vector<BYTE> chunk(1 << 20);
  hash = PixelHash(nullptr, 0);
  for (;;) {
    DWORD word = static_cast<DWORD>(chunk.size());
    HRESULT hr = device->Escape(static_cast<DWORD>(driver::EscapeCode::ItemTransfer), &request,
                                sizeof request, chunk.data(), word, &word);
    if (FAILED(hr)) return false;
    hash = PixelHash(chunk.data(), word, hash);
    if (hr == S_FALSE) return true;
  }
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 2) {
    std::fprintf(stderr, "usage: stibridge_sim_pixels <scenario file>\n");
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
        uint64_t hash = 0;
        if (!PageHash(device, item->itemName, static_cast<DWORD>(page), hash)) {
          std::fprintf(stderr, "no page %ld of %s\n", static_cast<long>(page),
                       Narrow(item->itemName).c_str());
          ++failures;
          continue;
        }
        std::printf("pixels %s %ld %016" PRIx64 "\n", Narrow(item->itemName).c_str(),
                    static_cast<long>(page), hash);
      }
    }
    device->UnLockDevice();
    device->Release();
  }
  sti->Release();
  return failures == 0 ? 0 : 1;
}
