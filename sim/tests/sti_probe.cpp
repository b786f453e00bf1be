// Lists the STI devices and reads one device value through the platform's
// import library for sti.dll, as the server does. Run under Wine beside the
// simulator's sti.dll: Wine's own sti.dll answers E_NOTIMPL, so a listed
// device proves that the stand-in is the one loaded. With --escape it also
// opens the listed device of the given index and asks for its item list in a
// locked transaction, which the simulator writes to its journal file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

std::string Utf8(const WCHAR* text)
{
  if (text == nullptr) return "(null)";
  char buffer[1024];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
  return n > 0 ? std::string(buffer) : std::string();
}

}  // namespace

int main(int argc, char** argv)
{
  long escapeDevice = -1;
  if (argc == 3 && std::strcmp(argv[1], "--escape") == 0) escapeDevice = std::atol(argv[2]);

  IStillImageW* sti = nullptr;
  HRESULT hr = StiCreateInstanceW(GetModuleHandleW(nullptr),
                                  STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &sti, nullptr);
  if (FAILED(hr)) {
    std::printf("StiCreateInstanceW failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 2;
  }
  DWORD count = 0;
  void* buffer = nullptr;
  hr = sti->GetDeviceList(StiDeviceTypeDefault, STIEDFL_ALLDEVICES, &count, &buffer);
  if (FAILED(hr) || buffer == nullptr) {
    std::printf("GetDeviceList failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    sti->Release();
    return 3;
  }
  auto* list = static_cast<STI_DEVICE_INFORMATIONW*>(buffer);
  for (DWORD i = 0; i < count; ++i)
    std::printf("device %lu: %s | %s | %s\n", static_cast<unsigned long>(i),
                Utf8(list[i].szDeviceInternalName).c_str(),
                Utf8(list[i].pszDeviceDescription).c_str(), Utf8(list[i].pszLocalName).c_str());

  int status = 0;
  for (DWORD i = 0; i < count; ++i) {
    WCHAR value[260] = {};
    DWORD type = 0, size = sizeof value - sizeof(WCHAR);
    hr = sti->GetDeviceValue(list[i].szDeviceInternalName, const_cast<LPWSTR>(W("FilingPath")),
                             &type, reinterpret_cast<BYTE*>(value), &size);
    std::printf("value %lu FilingPath: %s (0x%08lX)\n", static_cast<unsigned long>(i),
                SUCCEEDED(hr) ? Utf8(value).c_str() : "-", static_cast<unsigned long>(hr));
  }

  if (escapeDevice >= 0 && static_cast<DWORD>(escapeDevice) < count) {
    IStiDevice* device = nullptr;
    hr = sti->CreateDevice(list[escapeDevice].szDeviceInternalName, STI_DEVICE_CREATE_STATUS,
                           &device, nullptr);
    if (SUCCEEDED(hr) && device != nullptr) {
      WCHAR store[260] = W("probe");
      struct {
        LONG count;
        LONG reserved;
        void* items;
      } header = {};
      DWORD word = 0;
      if (SUCCEEDED(device->LockDevice(4000))) {
        hr = device->Escape(4122, store, 8, &header, sizeof header, &word);
        std::printf("escape GetItemList: 0x%08lX, %ld items\n", static_cast<unsigned long>(hr),
                    static_cast<long>(header.count));
        word = 4;
        if (header.items != nullptr)
          device->Escape(4110, &header, sizeof header, nullptr, 0, &word);
        device->UnLockDevice();
      }
      device->Release();
    } else {
      status = 4;
    }
  }
  LocalFree(buffer);
  sti->Release();
  return status;
}
