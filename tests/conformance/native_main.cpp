// The in-process run of the conformance table: bridge objects made in this
// process by the class factory's create function, the simulator loaded on
// first use from the registry values that the installer writes for the
// server (so that it writes its journal file as the server's does), and the
// record written to a file. Beside the record, <record>.server says whether
// the last release made the quit decision, and how often.
//
//   stibridge_conformance <scenario.json> <journal file> <record file>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "server/class_factory.h"
#include "server/lifetime.h"
#include "sim/simulator.h"
#include "table.h"

namespace {

class InProcess : public conformance::Host {
 public:
  HRESULT Create(IStiScannerComBridge** bridge) override
  {
    CUnknown* object = nullptr;
    HRESULT hr = CreateBridgeObject(nullptr, &object);
    if (FAILED(hr)) return hr;
    hr = object->NondelegatingQueryInterface(IID_IStiScannerComBridge,
                                             reinterpret_cast<void**>(bridge));
    object->NondelegatingRelease();
    return hr;
  }
  // In-process nothing writes past a buffer the server is given.
  unsigned char* EdgeBuffer(size_t bytes) override
  {
    buffers_.push_back(std::make_unique<unsigned char[]>(bytes));
    return buffers_.back().get();
  }

 private:
  std::vector<std::unique_ptr<unsigned char[]>> buffers_;
};

int quitDecisions = 0;

std::basic_string<WCHAR> Wide(const char* text)
{
  WCHAR buffer[1024] = {};
  MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, 1024);
  return buffer;
}

bool SetConfigValue(HKEY key, const WCHAR* name, const std::basic_string<WCHAR>& value)
{
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 4) {
    std::fprintf(stderr, "usage: stibridge_conformance <scenario.json> <journal> <record>\n");
    return 2;
  }
  std::remove(argv[2]);

  // What the server process sees: its own file name, and the simulator
  // configuration the installer leaves in the registry.
  platform_hooks::SetModulePath(W("C:\\Program Files\\Stibridge\\stibridge.exe"));
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sim::kConfigKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS ||
      !SetConfigValue(key, W("Scenario"), Wide(argv[1])) ||
      !SetConfigValue(key, W("Journal"), Wide(argv[2]))) {
    std::fprintf(stderr, "cannot write the simulator's configuration\n");
    return 1;
  }
  RegCloseKey(key);
  SetQuitActionForTesting([] { ++quitDecisions; });

  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  std::fprintf(out, "# conformance record: in-process (native)\n");
  conformance::Recorder record(out, argv[2]);
  InProcess host;
  const int rows = conformance::RunTable(host, record);
  std::fclose(out);

  const std::string status = std::string(argv[3]) + ".server";
  std::FILE* server = std::fopen(status.c_str(), "wb");
  if (server == nullptr) return 1;
  std::fprintf(server, "{\"run\": \"native\", \"rows\": %d, \"objects\": %ld, \"quits\": %d}\n",
               rows, static_cast<long>(objectCount), quitDecisions);
  std::fclose(server);
  return 0;
}
