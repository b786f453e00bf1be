// The cross-process run of the conformance table: a 32-bit or 64-bit client
// that creates bridge objects with CoCreateInstance(CLSCTX_LOCAL_SERVER), so
// that every call goes through the proxy to stibridge.exe, and writes its
// record. The server reads the simulator's scenario and journal file from the
// registry values that stibridge_sim_install wrote.
//
//   conformance_client <journal file> <record file>
#include <cstdio>
#include <vector>

#include "platform/win32.h"
#include "table.h"

namespace {

class LocalServer : public conformance::Host {
 public:
  HRESULT Create(IStiScannerComBridge** bridge) override
  {
    return CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                            IID_IStiScannerComBridge, reinterpret_cast<void**>(bridge));
  }
  // The buffer ends where a page the process may not touch begins.
  unsigned char* EdgeBuffer(size_t bytes) override
  {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t usable = (bytes + page - 1) / page * page;
    auto* base = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    if (base == nullptr || !VirtualProtect(base + usable, page, PAGE_NOACCESS, &previous))
      return nullptr;
    regions_.push_back(base);
    return base + usable - bytes;
  }
  ~LocalServer() override
  {
    for (void* region : regions_) VirtualFree(region, 0, MEM_RELEASE);
  }

 private:
  std::vector<void*> regions_;
};

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 3) {
    std::fprintf(stderr, "usage: conformance_client <journal> <record>\n");
    return 2;
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "CoInitializeEx: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  std::fprintf(out, "# conformance record: through the proxy, %d-bit client\n",
               static_cast<int>(sizeof(void*) * 8));
  conformance::Recorder record(out, argv[1]);
  LocalServer host;
  conformance::RunTable(host, record);
  std::fclose(out);
  CoUninitialize();
  return 0;
}
