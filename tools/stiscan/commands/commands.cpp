// devices, jobs, settings and watch: what a data source shows its user before
// and around a transfer.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "console/display_width.h"
#include "console/json.h"
#include "console/messages.h"
#include "console/output.h"
#include "console/text.h"
#include "job/walk.h"
#include "server/connection.h"
#include "server/twain_names.h"

namespace stiscan {

namespace {

const wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

std::string SizeText(long long bytes)
{
  if (bytes >= 1024 * 1024) return Format("%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
  if (bytes >= 1024) return Format("%.1f KB", static_cast<double>(bytes) / 1024);
  return Format("%lld B", bytes);
}

// The columns of a table's text column: as wide as its widest cell, between
// its heading's width and `most` (a longer cell is cut, see FitColumns).
int ColumnWidth(const std::vector<std::string>& cells, const std::string& heading, int most)
{
  int width = DisplayWidth(heading);
  for (const std::string& cell : cells) width = std::max(width, DisplayWidth(cell));
  return std::min(width, std::max(most, DisplayWidth(heading)));
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
    Out("{\"pixel\": " + JsonString(PixelTypeName(s.pixelType)) +
        ", \"paper\": " + JsonString(PaperSizeName(s.paperSize)) + ", \"resolution\": " +
        std::to_string(s.resolution) + ", \"format\": " + JsonString(FileFormatName(s.fileFormat)) +
        ", \"option\": " + (s.optionFlag != 0 ? "true" : "false") +
        ", \"prefix\": " + JsonString(prefix) + "}\n");
    return;
  }
  Out("pixel       " + PixelTypeName(s.pixelType) + "\npaper       " + PaperSizeName(s.paperSize) +
      "\nresolution  " + std::to_string(s.resolution) + " dpi\nformat      " +
      FileFormatName(s.fileFormat) + "\noption      " + (s.optionFlag != 0 ? "on" : "off") +
      "\njob prefix  " + (prefix.empty() ? "(none stored yet)" : Printable(prefix)) + "\n");
}

}  // namespace

int ListDevices(const Options& options)
{
  Connection lister;
  if (int code = lister.List()) return code;
  const std::vector<std::wstring>& names = lister.Devices();

  // The family of each: a selection by name on an object of its own (a
  // selection is made once per object).
  std::vector<int> families;
  for (const std::wstring& name : names) {
    int family = -1;
    Connection probe;
    if (probe.List() == 0) {
      if (probe.Devices().size() > 1) {
        std::wstring copy = name;
        probe->SelectDeviceByName(copy.data(), &family);
      }
      probe->GetDeviceFamily(&family);
    }
    families.push_back(family);
  }

  if (options.json) {
    std::string json = "[";
    for (size_t i = 0; i < names.size(); ++i)
      json += (i == 0 ? "{\"name\": " : ", {\"name\": ") + JsonString(Narrow(names[i])) +
              ", \"family\": " + std::to_string(families[i]) + "}";
    Out(json + "]\n");
  } else if (names.empty()) {
    Out("The server accepts no scanner on this machine.\n");
  } else {
    std::vector<std::string> cells;
    for (const std::wstring& name : names) cells.push_back(Printable(Narrow(name)));
    const int width = ColumnWidth(cells, "", 40);
    std::string table;
    for (size_t i = 0; i < names.size(); ++i)
      table += FitColumns(cells[i], width) + "  family " + std::to_string(families[i]) + "\n";
    Out(table);
  }
  return names.empty() ? kExitNoDevice : kExitSuccess;
}

int ListJobs(const Options& options)
{
  Connection connection;
  if (int code = connection.OpenJobs(options)) return code;

  struct Job {
    std::string name, document, time;
    int flag = 0, pixelType = 0, resolution = 0, pages = 0, size = 0;
    bool preview = false, yours = false;
  };
  std::vector<Job> jobs;
  for (int index = 0; index < connection.JobCount(); ++index) {
    Job job;
    connection->GetItemFlag(index, &job.flag);
    BSTR document = nullptr;
    connection->GetItemInfo(index, &document, nullptr, &job.pixelType, &job.resolution, &job.pages,
                            &job.size);
    job.document = NarrowBstr(document);
    SysFreeString(document);
    job.time = JobTime(connection, index);
    std::wstring name;
    if (connection.ItemName(index, name)) job.name = Narrow(name);
    job.yours = connection.IsYours(index, &job.preview);
    jobs.push_back(job);
  }
  connection->SetPagesRemaining(0);

  if (options.json) {
    std::string json = "[";
    for (size_t i = 0; i < jobs.size(); ++i) {
      const Job& j = jobs[i];
      json += std::string(i == 0 ? "" : ", ") + "{\"index\": " + std::to_string(i) +
              ", \"name\": " + JsonString(j.name) + ", \"document\": " + JsonString(j.document) +
              ", \"pages\": " + std::to_string(j.pages) +
              ", \"pixelType\": " + JsonString(PixelTypeName(static_cast<short>(j.pixelType))) +
              ", \"dpi\": " + std::to_string(ResolutionOfCode(j.resolution)) +
              ", \"size\": " + std::to_string(j.size) + ", \"time\": " + JsonString(j.time) +
              ", \"usable\": " + (j.flag != 0 ? "true" : "false") +
              ", \"mayPreview\": " + (j.preview ? "true" : "false") +
              ", \"yours\": " + (j.yours ? "true" : "false") + "}";
    }
    Out(json + "]\n");
    return kExitSuccess;
  }
  // Text columns as wide as their widest cell (up to a limit), counted in
  // the columns a terminal gives them.
  std::vector<std::string> names, documents;
  for (const Job& j : jobs) {
    names.push_back(Printable(j.name));
    documents.push_back(Printable(j.document));
  }
  const int nameWidth = ColumnWidth(names, "name", 40);
  const int documentWidth = ColumnWidth(documents, "document", 32);
  const auto row = [&](const std::string& index, const std::string& name,
                       const std::string& document, const std::string& pages,
                       const std::string& type, const std::string& dpi, const std::string& size,
                       const std::string& time, const std::string& yours) {
    return FitColumns(index, 3) + " " + FitColumns(name, nameWidth) + " " +
           FitColumns(document, documentWidth) + " " + RightAligned(pages, 5) + " " +
           FitColumns(type, 5) + " " + RightAligned(dpi, 5) + " " + RightAligned(size, 10) + " " +
           FitColumns(time, 19) + " " + yours + "\n";
  };
  std::string table = row("#", "name", "document", "pages", "type", "dpi", "size", "time", "yours");
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& j = jobs[i];
    table += row(std::to_string(i), names[i], documents[i], std::to_string(j.pages),
                 PixelTypeName(static_cast<short>(j.pixelType)),
                 std::to_string(ResolutionOfCode(j.resolution)), SizeText(j.size), j.time,
                 j.flag == 0 ? "not ready"
                 : j.yours   ? "yes"
                             : "no");
  }
  if (jobs.empty()) table += "(no stored jobs)\n";
  Out(table);
  return kExitSuccess;
}

int Settings(const Options& options)
{
  Connection connection;
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
  PrintSettings(s, Narrow(StoredPrefix(connection)), options.json);
  return kExitSuccess;
}

int Watch(const Options& options)
{
  if (options.pull) return WatchAndPull(options);
  Connection connection;
  if (int code = connection.Open(options)) return code;
  HRESULT hr = connection->RegisterEvents();
  if (FAILED(hr)) return Fail("the scanner's signals could not be registered", hr);
  // The server made the named events; this process waits on them itself.
  HANDLE events[2] = {OpenEventW(SYNCHRONIZE, FALSE, L"JobEnded"),
                      OpenEventW(SYNCHRONIZE, FALSE, L"ItemDeleted")};
  const char* names[2] = {"JobEnded", "ItemDeleted"};
  if (events[0] == nullptr || events[1] == nullptr)
    return Fail("the scanner's events could not be opened", HRESULT_FROM_WIN32(GetLastError()));
  Out("Watching " + Quoted(Narrow(connection.DeviceName())) + " for " +
      std::to_string(options.seconds) + " seconds.\n");
  const ULONGLONG deadline = GetTickCount64() + 1000ull * static_cast<ULONGLONG>(options.seconds);
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    const DWORD which =
        WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(deadline - now));
    if (which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1) {
      SYSTEMTIME t;
      GetLocalTime(&t);
      Out(Format("%02u:%02u:%02u %s\n", t.wHour, t.wMinute, t.wSecond,
                 names[which - WAIT_OBJECT_0]));
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
