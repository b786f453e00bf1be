// Installs the simulator into a Wine prefix: names the scenario and the
// journal file in HKLM\Software\stibridge\Simulator (a server that COM starts
// reads them from there), writes the scenario's device records under the
// imaging class key, and makes Wine load the sti.dll found beside each named
// program instead of its own: value sti = native,builtin under
// HKCU\Software\Wine\AppDefaults\<program>\DllOverrides.
//
//   stibridge_sim_install <scenario.json> [--journal <file>] [--app <program.exe>]...
//
// Without --app the override is set for stibridge.exe.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/sim_api.h"

namespace {

using Text = std::basic_string<WCHAR>;

Text Wide(const char* text)
{
  WCHAR buffer[1024] = {};
  MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, 1024);
  return buffer;
}

Text FullPath(const char* path)
{
  WCHAR buffer[1024] = {};
  DWORD n = GetFullPathNameW(Wide(path).c_str(), 1024, buffer, nullptr);
  return n > 0 && n < 1024 ? Text(buffer) : Wide(path);
}

bool SetOverride(const Text& program)
{
  const Text path = Text(W("Software\\Wine\\AppDefaults\\")) + program + W("\\DllOverrides");
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  const WCHAR order[] = W("native,builtin");
  LSTATUS status =
      RegSetValueExW(key, W("sti"), 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof order);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: stibridge_sim_install <scenario.json> [--journal <file>] "
                 "[--app <program.exe>]...\n");
    return 2;
  }
  Text scenario = FullPath(argv[1]);
  Text journal;
  std::vector<Text> programs;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--journal") == 0) {
      journal = FullPath(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--app") == 0) {
      programs.push_back(Wide(argv[i + 1]));
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (programs.empty()) programs.push_back(W("stibridge.exe"));

  HRESULT hr = StiSimInstallScenario(scenario.c_str(), journal.empty() ? nullptr : journal.c_str());
  if (FAILED(hr)) {
    char reason[512];
    StiSimLastError(reason, sizeof reason);
    std::fprintf(stderr, "scenario not installed (0x%08lX): %s\n", static_cast<unsigned long>(hr),
                 reason);
    return 1;
  }
  for (const Text& program : programs) {
    if (!SetOverride(program)) {
      std::fprintf(stderr, "could not set the sti override\n");
      return 1;
    }
  }
  std::printf("installed %lu devices\n", static_cast<unsigned long>(StiSimDeviceCount()));
  return 0;
}
