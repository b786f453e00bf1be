// devices, jobs, settings and watch: what a data source shows its user before
// and around a transfer.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "json.h"
#include "messages.h"
#include "twain_names.h"

namespace stiscan {

namespace {

const wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

std::string Bstr(BSTR text)
{
  return Narrow(text, SysStringLen(text));
}

std::string TimeText(const SYSTEMTIME& t)
{
  if (t.wYear == 0) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

std::string SizeText(long long bytes)
{
  char text[32];
  if (bytes >= 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
  else if (bytes >= 1024)
    std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024);
  else
    std::snprintf(text, sizeof text, "%lld B", bytes);
  return text;
}

// A registry string of at most 259 units, or empty.
std::wstring ReadString(HKEY root, const std::wstring& path, const std::wstring& name)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return {};
  wchar_t value[261] = {};
  DWORD size = 520;
  const LSTATUS status =
      RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
}

// The job-name prefix the server puts before every job name: stored in the
// user's key that the scanner names as its "UserDataKey", under the value
// "<profile>_<qualifier>". Empty when none is stored yet.
std::wstring StoredPrefix(const Connection& connection)
{
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | KEY_WOW64_64KEY, &classKey) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::wstring userKey;
  wchar_t sub[256];
  for (DWORD i = 0; userKey.empty(); ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(classKey, i, sub, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::wstring device = std::wstring(kClassKey) + L"\\" + sub;
    if (ReadString(HKEY_LOCAL_MACHINE, device, L"FriendlyName") == connection.DeviceName())
      userKey = ReadString(HKEY_LOCAL_MACHINE, device + L"\\DeviceData", L"UserDataKey");
  }
  RegCloseKey(classKey);
  if (userKey.empty()) return {};
  const std::wstring valueName =
      (connection.Profile() + L"_" + connection.Qualifier()).substr(0, 109);
  return ReadString(HKEY_CURRENT_USER, userKey, valueName);
}

void PrintSettings(const ScanSettings& s, const std::string& prefix, bool json)
{
  if (json) {
    std::printf(
        "{\"pixel\": %s, \"paper\": %s, \"resolution\": %d, \"format\": %s, "
        "\"option\": %s, \"prefix\": %s}\n",
        JsonString(PixelTypeName(s.pixelType)).c_str(),
        JsonString(PaperSizeName(s.paperSize)).c_str(), s.resolution,
        JsonString(FileFormatName(s.fileFormat)).c_str(), s.optionFlag != 0 ? "true" : "false",
        JsonString(prefix).c_str());
    return;
  }
  std::printf(
      "pixel       %s\npaper       %s\nresolution  %d dpi\nformat      %s\n"
      "option      %s\njob prefix  %s\n",
      PixelTypeName(s.pixelType).c_str(), PaperSizeName(s.paperSize).c_str(), s.resolution,
      FileFormatName(s.fileFormat).c_str(), s.optionFlag != 0 ? "on" : "off",
      prefix.empty() ? "(none stored yet)" : prefix.c_str());
}

}  // namespace

int ListDevices(const Options& options)
{
  Connection lister;
  if (int code = lister.Create()) return code;
  std::vector<std::wstring> names;
  HRESULT hr = lister.ListDevices(names);
  if (FAILED(hr)) return Fail("the scanners could not be listed", hr);

  // The family of each: a selection by name on an object of its own (a
  // selection is made once per object).
  std::vector<int> families;
  for (const std::wstring& name : names) {
    int family = -1;
    Connection probe;
    std::vector<std::wstring> again;
    if (probe.Create() == 0 && SUCCEEDED(probe.ListDevices(again))) {
      if (again.size() > 1) {
        std::wstring copy = name;
        probe->SelectDeviceByName(copy.data(), &family);
      }
      probe->GetDeviceFamily(&family);
    }
    families.push_back(family);
  }

  if (options.json) {
    std::printf("[");
    for (size_t i = 0; i < names.size(); ++i)
      std::printf("%s{\"name\": %s, \"family\": %d}", i == 0 ? "" : ", ",
                  JsonString(Narrow(names[i].c_str())).c_str(), families[i]);
    std::printf("]\n");
  } else if (names.empty()) {
    std::printf("The server accepts no scanner on this machine.\n");
  } else {
    for (size_t i = 0; i < names.size(); ++i)
      std::printf("%-32s family %d\n", Narrow(names[i].c_str()).c_str(), families[i]);
  }
  return names.empty() ? kExitNoDevice : kExitSuccess;
}

int ListJobs(const Options& options)
{
  Connection connection;
  int count = 0;
  if (int code = connection.OpenJobs(options, count)) return code;

  struct Job {
    std::string name, document, time;
    int flag = 0, pixelType = 0, resolution = 0, pages = 0, size = 0;
    bool preview = false;
  };
  std::vector<Job> jobs;
  for (int index = 0; index < count; ++index) {
    Job job;
    connection->GetItemFlag(index, &job.flag);
    BSTR document = nullptr;
    connection->GetItemInfo(index, &document, nullptr, &job.pixelType, &job.resolution, &job.pages,
                            &job.size);
    job.document = Bstr(document);
    SysFreeString(document);
    SYSTEMTIME time = {};
    if (connection->GetItemTime(index, &time) == S_OK) job.time = TimeText(time);
    // The interface names an item only as the current one of a selection.
    BSTR name = nullptr;
    int page = 0;
    if (connection->SetSelection(&index, 1) == S_OK &&
        connection->GetCurrentItemName(&name, &page) == S_OK) {
      job.name = Bstr(name);
    }
    SysFreeString(name);
    job.preview = connection.MayPreview(index);
    jobs.push_back(job);
  }
  connection->SetPagesRemaining(0);

  if (options.json) {
    std::printf("[");
    for (size_t i = 0; i < jobs.size(); ++i) {
      const Job& j = jobs[i];
      std::printf(
          "%s{\"index\": %zu, \"name\": %s, \"document\": %s, \"pages\": %d, "
          "\"pixelType\": %s, \"dpi\": %d, \"size\": %d, \"time\": %s, \"usable\": %s, "
          "\"mayPreview\": %s}",
          i == 0 ? "" : ", ", i, JsonString(j.name).c_str(), JsonString(j.document).c_str(),
          j.pages, JsonString(PixelTypeName(static_cast<short>(j.pixelType))).c_str(),
          ResolutionOfCode(j.resolution), j.size, JsonString(j.time).c_str(),
          j.flag != 0 ? "true" : "false", j.preview ? "true" : "false");
    }
    std::printf("]\n");
    return kExitSuccess;
  }
  std::printf("%-3s %-20s %-24s %5s %-5s %5s %10s %-19s %s\n", "#", "name", "document", "pages",
              "type", "dpi", "size", "time", "yours");
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& j = jobs[i];
    std::printf("%-3zu %-20s %-24s %5d %-5s %5d %10s %-19s %s\n", i, j.name.c_str(),
                j.document.c_str(), j.pages, PixelTypeName(static_cast<short>(j.pixelType)).c_str(),
                ResolutionOfCode(j.resolution), SizeText(j.size).c_str(), j.time.c_str(),
                j.flag == 0 ? "not ready"
                : j.preview ? "yes"
                            : "no");
  }
  if (jobs.empty()) std::printf("(no stored jobs)\n");
  return kExitSuccess;
}

int Settings(const Options& options)
{
  Connection connection;
  if (int code = connection.Create()) return code;
  if (int code = connection.Open(options)) return code;
  ScanSettings s;
  HRESULT hr = connection->GetScanSettings(&s.pixelType, &s.paperSize, &s.resolution, &s.fileFormat,
                                           &s.optionFlag);
  if (FAILED(hr)) return Fail("the scan settings could not be read", hr);

  if (!options.set.empty() || options.titleGiven) {
    std::string error;
    if (!ApplySettingsList(options.set, s, error)) return Fail(error, kExitUsage);
    std::wstring title = Widen(options.title);
    hr = connection->SetScanSettings(title.data(), s.pixelType, s.paperSize, s.resolution,
                                     s.fileFormat, s.sizeFlag, s.optionFlag);
    if (FAILED(hr)) return Fail("the scan settings could not be changed", hr);
    // What the scanner keeps now, decoded again.
    hr = connection->GetScanSettings(&s.pixelType, &s.paperSize, &s.resolution, &s.fileFormat,
                                     &s.optionFlag);
    if (FAILED(hr)) return Fail("the scan settings could not be read back", hr);
  }
  PrintSettings(s, Narrow(StoredPrefix(connection).c_str()), options.json);
  return kExitSuccess;
}

int Watch(const Options& options)
{
  Connection connection;
  if (int code = connection.Create()) return code;
  if (int code = connection.Open(options)) return code;
  HRESULT hr = connection->RegisterEvents();
  if (FAILED(hr)) return Fail("the scanner's signals could not be registered", hr);
  // The server made the named events; this process waits on them itself.
  HANDLE events[2] = {OpenEventW(SYNCHRONIZE, FALSE, L"JobEnded"),
                      OpenEventW(SYNCHRONIZE, FALSE, L"ItemDeleted")};
  const char* names[2] = {"JobEnded", "ItemDeleted"};
  if (events[0] == nullptr || events[1] == nullptr)
    return Fail("the scanner's events could not be opened", HRESULT_FROM_WIN32(GetLastError()));
  std::printf("Watching \"%s\" for %d seconds.\n", Narrow(connection.DeviceName().c_str()).c_str(),
              options.seconds);
  std::fflush(stdout);
  const ULONGLONG deadline = GetTickCount64() + 1000ull * static_cast<ULONGLONG>(options.seconds);
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    const DWORD which =
        WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(deadline - now));
    if (which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1) {
      SYSTEMTIME t;
      GetLocalTime(&t);
      std::printf("%02u:%02u:%02u %s\n", t.wHour, t.wMinute, t.wSecond,
                  names[which - WAIT_OBJECT_0]);
      std::fflush(stdout);
    } else if (which != WAIT_TIMEOUT) {
      break;
    }
  }
  connection->UnregisterEvents();
  CloseHandle(events[0]);
  CloseHandle(events[1]);
  return kExitSuccess;
}

}  // namespace stiscan
