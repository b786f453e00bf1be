#include "doctor/probe.h"

#include <windows.h>

#include <iterator>
#include <vector>

#include "bridge/model_table.h"
#include "console/messages.h"
#include "server/connection.h"
#include "server/registry.h"
#include "server/version.h"
#include "stibridge.h"

namespace stiscan {

namespace {

const wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

std::wstring GuidText(const GUID& guid)
{
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The file as a program of `view`'s bitness finds it: a 32-bit stiscan
// looks past the redirection of System32 for the 64-bit server and proxy.
// The most of a DLL read for its export table: a proxy is far smaller.
constexpr DWORD kMostDllBytes = 64u << 20;

// Where a 32-bit program finds `path`: the system folder is SysWOW64 to it.
// A 64-bit stiscan looks there for what the 32-bit registry view names.
std::wstring AsThirtyTwoBitSees(const std::wstring& path)
{
  wchar_t system[MAX_PATH] = {}, wow64[MAX_PATH] = {};
  const UINT systemUnits = GetSystemDirectoryW(system, MAX_PATH);
  const UINT wow64Units = GetSystemWow64DirectoryW(wow64, MAX_PATH);
  if (systemUnits == 0 || systemUnits >= MAX_PATH || wow64Units == 0 || wow64Units >= MAX_PATH ||
      path.size() <= systemUnits || path[systemUnits] != L'\\' ||
      CompareStringOrdinal(path.c_str(), static_cast<int>(systemUnits), system,
                           static_cast<int>(systemUnits), TRUE) != CSTR_EQUAL)
    return path;
  return std::wstring(wow64, wow64Units) + path.substr(systemUnits);
}

FileFacts Inspect(const std::wstring& registered, REGSAM view, bool dll)
{
  FileFacts facts;
  facts.path = Narrow(registered);
  if (registered.empty()) return facts;
  std::wstring path = registered;
  if (view == KEY_WOW64_32KEY && sizeof(void*) == 8) {
    path = AsThirtyTwoBitSees(registered);
    if (path != registered) facts.path += " (to a 32-bit program " + Narrow(path) + ")";
  }
  PVOID redirection = nullptr;
  const bool redirected = view == KEY_WOW64_64KEY && Wow64DisableWow64FsRedirection(&redirection);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  facts.exists =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  const HANDLE file = facts.exists
                          ? CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                          : INVALID_HANDLE_VALUE;
  if (file != INVALID_HANDLE_VALUE) {
    // The headers, up to the file header, lie within the first page; a
    // DLL's export table is read from the whole file.
    LARGE_INTEGER size = {};
    const DWORD wanted = !dll ? 4096
                         : GetFileSizeEx(file, &size) && size.QuadPart < kMostDllBytes
                             ? static_cast<DWORD>(size.QuadPart)
                             : kMostDllBytes;
    std::vector<unsigned char> bytes(wanted);
    DWORD read = 0;
    facts.readable = true;
    for (DWORD got = 0; read < wanted && facts.readable; read += got) {
      facts.readable = ReadFile(file, bytes.data() + read, wanted - read, &got, nullptr) != 0;
      if (got == 0) break;
    }
    if (facts.readable) {
      facts.kind = ExecutableKindOf(bytes.data(), read);
      if (dll) facts.exportsRead = ExportedNames(bytes.data(), read, facts.exports);
    }
    CloseHandle(file);
  }
  if (redirected) Wow64RevertWow64FsRedirection(redirection);
  return facts;
}

// The file of an InprocServer32 value: COM allows quotes around it.
std::wstring Unquoted(const std::wstring& value)
{
  if (value.size() >= 2 && value.front() == L'"') {
    const size_t end = value.find(L'"', 1);
    return end == std::wstring::npos ? std::wstring() : value.substr(1, end - 1);
  }
  return value;
}

ProxyFacts ProxyIn(REGSAM view)
{
  ProxyFacts facts;
  std::wstring proxyClass, file;
  const std::wstring interfaceKey =
      L"Interface\\" + GuidText(IID_IStiScannerComBridge) + L"\\ProxyStubClsid32";
  if (ReadRegistryText(HKEY_CLASSES_ROOT, interfaceKey, nullptr, view, proxyClass) !=
          RegistryText::kRead ||
      proxyClass.empty()) {
    return facts;
  }
  facts.proxyClass = Narrow(proxyClass);
  if (ReadRegistryText(HKEY_CLASSES_ROOT, L"CLSID\\" + proxyClass + L"\\InprocServer32", nullptr,
                       view, file) == RegistryText::kRead)
    facts.file = Inspect(Unquoted(file), view, true);
  return facts;
}

// A device value as the server reads it: not expanded.
ValueFacts DeviceValue(const std::wstring& record, const wchar_t* name)
{
  ValueFacts facts;
  std::wstring text;
  switch (ReadRegistryText(HKEY_LOCAL_MACHINE, record + L"\\DeviceData", name, KEY_WOW64_64KEY,
                           text, false)) {
    case RegistryText::kMissing:
      return facts;
    case RegistryText::kNotText:
      facts.state = ValueFacts::State::kNotText;
      return facts;
    case RegistryText::kRead:
      break;
  }
  facts.state = ValueFacts::State::kRead;
  facts.text = Narrow(text);
  facts.units = text.size();
  return facts;
}

// The user's key, and whether it holds a PIN that the server would send: a
// value that fits the server's 520 bytes with a terminator and holds at
// least one unit before it. The PIN is wiped as soon as that is known.
void ReadUserKey(DeviceFacts& device)
{
  HKEY key = nullptr;
  if (device.userDataKey.state != ValueFacts::State::kRead ||
      RegOpenKeyExW(HKEY_CURRENT_USER, Widen(device.userDataKey.text).c_str(), 0,
                    KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return;
  }
  device.userKeyExists = true;
  wchar_t pin[261] = {};
  DWORD size = 520;
  const bool read = RegQueryValueExW(key, L"TrvUserPIN", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(pin), &size) == ERROR_SUCCESS;
  bool terminated = false;
  for (size_t i = 0; i < 260 && !terminated; ++i) terminated = pin[i] == 0;
  device.pinSet = read && terminated && pin[0] != 0;
  SecureZeroMemory(pin, sizeof pin);
  RegCloseKey(key);
}

Model ModelOf(const std::wstring& description)
{
  switch (ClassifyDevice(description.c_str())) {
    case DeviceClass::Wia:
      return Model::kWia;
    case DeviceClass::Family0:
    case DeviceClass::Family2:
      return Model::kServed;
    case DeviceClass::NotAccepted:
      break;
  }
  return Model::kNotServed;
}

// The STI device records: the subkeys NNNN of the imaging class key.
std::vector<DeviceFacts> Devices()
{
  std::vector<DeviceFacts> devices;
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | KEY_WOW64_64KEY, &classKey) !=
      ERROR_SUCCESS) {
    return devices;
  }
  wchar_t sub[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(classKey, i, sub, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    bool record = length == 4;
    for (DWORD c = 0; c < length; ++c) record = record && sub[c] >= L'0' && sub[c] <= L'9';
    if (!record) continue;
    const std::wstring path = std::wstring(kClassKey) + L"\\" + sub;
    std::wstring description, localName;
    ReadRegistryText(HKEY_LOCAL_MACHINE, path, L"DriverDesc", KEY_WOW64_64KEY, description, false);
    ReadRegistryText(HKEY_LOCAL_MACHINE, path, L"FriendlyName", KEY_WOW64_64KEY, localName, false);
    DeviceFacts device;
    device.key = Narrow(sub);
    device.description = Narrow(description);
    device.localName = Narrow(localName);
    device.model = ModelOf(description);
    device.userDataKey = DeviceValue(path, L"UserDataKey");
    device.filingPath = DeviceValue(path, L"FilingPath");
    const DWORD folder = GetFileAttributesW(Widen(device.filingPath.text).c_str());
    device.folderExists = device.filingPath.state == ValueFacts::State::kRead &&
                          folder != INVALID_FILE_ATTRIBUTES &&
                          (folder & FILE_ATTRIBUTE_DIRECTORY) != 0;
    ReadUserKey(device);
    devices.push_back(device);
  }
  RegCloseKey(classKey);
  return devices;
}

// What the thread that asks the server found. It belongs to that thread
// once the wait for it has run out.
struct Conversation {
  HRESULT created = E_PENDING;
  HRESULT listed = E_PENDING;
  ULONGLONG milliseconds = 0;
  std::vector<std::wstring> names;
};

// CoCreateInstance (again after a server on its way out, as a data source
// does), InitializeSti and EnumerateDevices; then the object is let go.
DWORD WINAPI Converse(void* parameter)
{
  auto* conversation = static_cast<Conversation*>(parameter);
  const HRESULT started = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const ULONGLONG begin = GetTickCount64();
  IStiScannerComBridge* bridge = nullptr;
  for (size_t tries = 0;; ++tries) {
    conversation->created =
        CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, kServerContext,
                         IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge));
    if (SUCCEEDED(conversation->created) || !MetAnEndingServer(conversation->created) ||
        tries == std::size(kRetryWaitsMs)) {
      break;
    }
    bridge = nullptr;
    Sleep(kRetryWaitsMs[tries]);
  }
  conversation->milliseconds = GetTickCount64() - begin;
  if (SUCCEEDED(conversation->created)) {
    conversation->listed = bridge->InitializeSti();
    if (SUCCEEDED(conversation->listed)) {
      int count = 0;
      BSTR list = nullptr;
      conversation->listed = bridge->EnumerateDevices(&count, &list);
      conversation->names = SplitDeviceList(list);
      SysFreeString(list);
    }
    bridge->Release();
  }
  if (SUCCEEDED(started)) CoUninitialize();
  return 0;
}

ActivationFacts Activate()
{
  ActivationFacts facts;
  auto* conversation = new Conversation;
  const HANDLE thread = CreateThread(nullptr, 0, Converse, conversation, 0, nullptr);
  if (thread == nullptr) {
    delete conversation;
    facts.state = ActivationFacts::State::kFailed;
    facts.hr = static_cast<unsigned long>(HRESULT_FROM_WIN32(GetLastError()));
    facts.failure = DescribeHresult(static_cast<HRESULT>(facts.hr), Source::kSystem);
    return facts;
  }
  const DWORD waited = WaitForSingleObject(thread, kActivationLimitSeconds * 1000);
  CloseHandle(thread);
  if (waited != WAIT_OBJECT_0) {
    // The thread keeps its conversation; the process ends with it blocked.
    facts.state = ActivationFacts::State::kTimedOut;
    return facts;
  }
  facts.seconds = static_cast<double>(conversation->milliseconds) / 1000.0;
  const HRESULT created = conversation->created;
  if (FAILED(created)) {
    facts.state = ActivationFacts::State::kFailed;
    facts.hr = static_cast<unsigned long>(created);
    facts.failure = DescribeHresult(created);
    facts.exitCode = ExitCodeOf(created);
  } else {
    facts.state = ActivationFacts::State::kAnswered;
    // A list cut at the server's 259 units still names the scanners it holds.
    const HRESULT listed = conversation->listed;
    facts.listed = SUCCEEDED(listed) || listed == static_cast<HRESULT>(0x8007007A);
    if (!facts.listed) facts.listFailure = DescribeHresult(listed);
    for (const std::wstring& name : conversation->names) facts.accepted.push_back(Narrow(name));
  }
  delete conversation;
  return facts;
}

}  // namespace

DoctorFacts GatherDoctorFacts(const std::string& deviceWanted)
{
  DoctorFacts facts;
  facts.bits = static_cast<int>(sizeof(void*) * 8);
  facts.classId = Narrow(GuidText(CLSID_CStiScannerComBridge));
  facts.interfaceId = Narrow(GuidText(IID_IStiScannerComBridge));
  facts.classKey = "HKLM\\" + Narrow(kClassKey);
  facts.deviceWanted = deviceWanted;

  std::wstring value;
  if (RegisteredServer(value)) {
    facts.server = Inspect(ServerProgramOf(value), KEY_WOW64_64KEY, false);
    facts.serverValue = Narrow(value);
  }
  facts.proxy32 = ProxyIn(KEY_WOW64_32KEY);
  facts.proxy64 = ProxyIn(KEY_WOW64_64KEY);
  facts.view32 = ClassIn32BitView(GuidText(CLSID_CStiScannerComBridge));
  if (ActivationPossible(facts)) facts.activation = Activate();
  facts.devices = Devices();
  for (DeviceFacts& device : facts.devices)
    for (const std::string& name : facts.activation.accepted)
      device.listed = device.listed || name == device.localName;
  return facts;
}

}  // namespace stiscan
