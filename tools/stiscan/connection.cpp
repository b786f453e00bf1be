#include "connection.h"

#include <cstdlib>

#include "messages.h"

namespace stiscan {

namespace {

std::vector<std::wstring> SplitList(const wchar_t* list)
{
  std::vector<std::wstring> names;
  std::wstring current;
  for (const wchar_t* p = list; p != nullptr && *p != 0; ++p) {
    if (*p == L';') {
      if (!current.empty()) names.push_back(current);
      current.clear();
    } else {
      current.push_back(*p);
    }
  }
  if (!current.empty()) names.push_back(current);
  return names;
}

std::string Joined(const std::vector<std::wstring>& names)
{
  std::string text;
  for (const std::wstring& name : names) text += (text.empty() ? "" : ", ") + Narrow(name.c_str());
  return text;
}

// Failures of a creation that reached a server on its way out: COM fetched
// the class object of a server whose last client had just let go, and the
// server was gone before the creation arrived. Windows then starts a new
// server by itself; under Wine the client has to ask again.
bool MetAnEndingServer(HRESULT hr)
{
  switch (static_cast<unsigned long>(hr)) {
    case 0x800706BEul:  // the remote procedure call failed
    case 0x800706BAul:  // the RPC server is unavailable
    case 0x800706B5ul:  // the interface is unknown
    case 0x80004005ul:  // E_FAIL: the class object was already withdrawn
    case 0x80080008ul:  // CO_E_SERVER_STOPPING
    case 0x80010108ul:  // RPC_E_DISCONNECTED
    case 0x80010007ul:  // RPC_E_SERVER_DIED
    case 0x80010012ul:  // RPC_E_SERVER_DIED_DNE
      return true;
    default:
      return false;
  }
}

}  // namespace

Connection::~Connection()
{
  if (bridge_ != nullptr) {
    if (opened_) bridge_->Close();
    bridge_->Release();
  }
  if (comStarted_) CoUninitialize();
}

int Connection::Create()
{
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail("COM could not be started", hr);
  comStarted_ = true;
  for (int attempt = 0;; ++attempt) {
    hr = CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                          IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge_));
    if (SUCCEEDED(hr) || attempt == 2 || !MetAnEndingServer(hr)) break;
    // Long enough for the ending server to be gone: the next try starts a new one.
    Sleep(500);
  }
  if (FAILED(hr)) return Fail("the scanner server could not be reached", hr);
  return 0;
}

int Connection::OpenJobs(const Options& options, int& count)
{
  if (int code = Create()) return code;
  if (int code = Open(options)) return code;
  count = 0;
  HRESULT hr = bridge_->RefreshItemList(&count);
  if (FAILED(hr)) return Fail("the stored jobs could not be listed", hr);
  return 0;
}

bool Connection::MayPreview(int index) const
{
  BSTR document = nullptr, thumbnail = nullptr;
  const bool may = bridge_->GetItemPreview(index, &document, &thumbnail) == S_OK;
  SysFreeString(document);
  SysFreeString(thumbnail);
  return may;
}

HRESULT Connection::ListDevices(std::vector<std::wstring>& names)
{
  HRESULT hr = bridge_->InitializeSti();
  if (FAILED(hr)) return hr;
  // A limit of 0 lists them all.
  int count = 0;
  BSTR list = nullptr;
  hr = bridge_->EnumerateDevices(&count, &list);
  names = SplitList(list);
  SysFreeString(list);
  return hr;
}

int Connection::Open(const Options& options)
{
  std::vector<std::wstring> names;
  HRESULT hr = ListDevices(names);
  if (FAILED(hr)) return Fail("the scanners could not be listed", hr);
  if (names.empty()) return Fail("the server accepts no scanner on this machine", kExitNoDevice);

  if (options.device.empty()) {
    if (names.size() > 1)
      return Fail("several scanners are accepted (" + Joined(names) + "); name one with --device",
                  kExitUsage);
    deviceName_ = names.front();
  } else {
    deviceName_ = Widen(options.device);
    bool listed = false;
    for (const std::wstring& name : names) listed = listed || name == deviceName_;
    if (!listed)
      return Fail("no scanner is named \"" + options.device +
                      "\" (the server accepts: " + Joined(names) + ")",
                  kExitNoDevice);
  }
  // A list of one name has selected its scanner already.
  int family = -1;
  if (names.size() > 1) {
    hr = bridge_->SelectDeviceByName(deviceName_.data(), &family);
    if (FAILED(hr)) return Fail("the scanner could not be selected", hr);
  }

  const char* user = std::getenv("USERNAME");
  profile_ = Widen(!options.profile.empty() ? options.profile : user != nullptr ? user : "user");
  qualifier_ = Widen(options.qualifier);
  store_ = options.store.empty() ? profile_ : Widen(options.store);
  hr = bridge_->OpenDevice(qualifier_.data(), profile_.data(), store_.data());
  if (FAILED(hr))
    return Fail("the scanner \"" + Narrow(deviceName_.c_str()) + "\" could not be opened", hr);
  opened_ = true;
  // A store without a PIN gets the empty one; the server says so in its
  // result, which matters only to a store that refuses the user later.
  bridge_->ApplyUserPin();
  return 0;
}

}  // namespace stiscan
