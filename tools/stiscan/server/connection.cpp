#include "server/connection.h"

#include <iterator>

#include "console/messages.h"
#include "console/output.h"

namespace stiscan {

namespace {

std::string Joined(const std::vector<std::wstring>& names)
{
  std::string text;
  for (const std::wstring& name : names) text += (text.empty() ? "" : ", ") + Narrow(name);
  return text;
}

std::wstring UserName()
{
  wchar_t name[257] = {};
  const DWORD length = GetEnvironmentVariableW(L"USERNAME", name, 257);
  return length > 0 && length < 257 ? std::wstring(name, length) : std::wstring(L"user");
}

}  // namespace

std::vector<std::wstring> SplitDeviceList(const wchar_t* list)
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

bool MetAnEndingServer(HRESULT hr)
{
  switch (static_cast<unsigned long>(hr)) {
    case 0x800706B5ul:  // the interface is unknown
    case 0x80004005ul:  // E_FAIL: the class object was already withdrawn
    case 0x80080008ul:  // CO_E_SERVER_STOPPING
      return true;
    default:
      return ServerGone(hr);
  }
}

bool ServerGone(HRESULT hr)
{
  switch (static_cast<unsigned long>(hr)) {
    case 0x800706BAul:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEul:  // RPC_S_CALL_FAILED
    case 0x800706BFul:  // RPC_S_CALL_FAILED_DNE
    case 0x80010108ul:  // RPC_E_DISCONNECTED
    case 0x80010007ul:  // RPC_E_SERVER_DIED
    case 0x80010012ul:  // RPC_E_SERVER_DIED_DNE
    // The server cut the object (or the class object) off: CoDisconnectObject
    // refuses every call after it, and the server on its way out cuts its
    // class object off.
    case 0x800401FDul:  // CO_E_OBJNOTCONNECTED
      return true;
    default:
      return false;
  }
}

Connection::~Connection()
{
  Release();
  if (comStarted_) CoUninitialize();
}

void Connection::Release()
{
  if (bridge_ != nullptr) {
    if (opened_) bridge_->Close();
    bridge_->Release();
  }
  bridge_ = nullptr;
  opened_ = false;
}

int Connection::List()
{
  return Connect(Steps::kList, nullptr);
}

int Connection::Open(const Options& options)
{
  return Connect(Steps::kOpen, &options);
}

int Connection::OpenJobs(const Options& options)
{
  return Connect(Steps::kJobs, &options);
}

int Connection::Connect(Steps steps, const Options* options)
{
  if (!comStarted_) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return Fail("COM could not be started", hr);
    comStarted_ = true;
  }
  const ULONGLONG started = GetTickCount64();
  HRESULT firstFailure = S_OK;
  for (size_t tries = 0;; ++tries) {
    Outcome outcome = Attempt(steps, options);
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    if (outcome.what.empty()) {
      if (tries > 0)
        Note("the scanner server had ended (" + DescribeHresult(firstFailure) +
             "); a new one answered after " +
             Format("%zu more %s in %.1f s", tries, tries == 1 ? "try" : "tries", seconds));
      return 0;
    }
    if (!outcome.retry || tries == std::size(kRetryWaitsMs)) {
      if (tries > 0) outcome.what += Format(" (asked %zu times in %.1f s)", tries + 1, seconds);
      return outcome.hr != S_OK ? Fail(outcome.what, outcome.hr) : Fail(outcome.what, outcome.code);
    }
    if (tries == 0) firstFailure = outcome.hr;
    // The server is gone: nothing of the object is left to close.
    opened_ = false;
    Release();
    Sleep(kRetryWaitsMs[tries]);
  }
}

Connection::Outcome Connection::Attempt(Steps steps, const Options* options)
{
  HRESULT hr = CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, kServerContext,
                                IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge_));
  if (FAILED(hr)) {
    bridge_ = nullptr;
    return {"the scanner server could not be reached", hr, kExitSuccess, MetAnEndingServer(hr)};
  }
  hr = bridge_->InitializeSti();
  if (SUCCEEDED(hr)) {
    // A limit of 0 lists them all.
    int count = 0;
    BSTR list = nullptr;
    hr = bridge_->EnumerateDevices(&count, &list);
    devices_ = SplitDeviceList(list);
    SysFreeString(list);
  }
  if (FAILED(hr)) return {"the scanners could not be listed", hr, kExitSuccess, ServerGone(hr)};
  if (steps == Steps::kList) return {};

  Outcome outcome = SelectAndOpen(*options);
  if (!outcome.what.empty() || steps == Steps::kOpen) return outcome;
  jobCount_ = 0;
  hr = bridge_->RefreshItemList(&jobCount_);
  if (FAILED(hr)) return {"the stored jobs could not be listed", hr, kExitSuccess, ServerGone(hr)};
  return {};
}

Connection::Outcome Connection::SelectAndOpen(const Options& options)
{
  if (devices_.empty())
    return {"the server accepts no scanner on this machine", S_OK, kExitNoDevice};
  if (options.device.empty()) {
    if (devices_.size() > 1)
      return {"several scanners are accepted (" + Joined(devices_) + "); name one with --device",
              S_OK, kExitUsage};
    deviceName_ = devices_.front();
  } else {
    deviceName_ = Widen(options.device);
    bool listed = false;
    for (const std::wstring& name : devices_) listed = listed || name == deviceName_;
    if (!listed)
      return {"no scanner is named " + Quoted(options.device) +
                  " (the server accepts: " + Joined(devices_) + ")",
              S_OK, kExitNoDevice};
  }
  // A list of one name has selected its scanner already.
  int family = -1;
  HRESULT hr = S_OK;
  if (devices_.size() > 1) {
    hr = bridge_->SelectDeviceByName(deviceName_.data(), &family);
    if (FAILED(hr)) return {"the scanner could not be selected", hr, kExitSuccess, ServerGone(hr)};
  }

  profile_ = !options.profile.empty() ? Widen(options.profile) : UserName();
  qualifier_ = Widen(options.qualifier);
  store_ = options.store.empty() ? profile_ : Widen(options.store);
  hr = bridge_->OpenDevice(qualifier_.data(), profile_.data(), store_.data());
  if (FAILED(hr))
    return {"the scanner " + Quoted(Narrow(deviceName_)) + " could not be opened", hr, kExitSuccess,
            ServerGone(hr)};
  opened_ = true;
  // A store without a PIN gets the empty one; the server says so in its
  // result, which matters only to a store that refuses the user later.
  hr = bridge_->ApplyUserPin();
  if (ServerGone(hr)) return {"the user's PIN could not be sent", hr, kExitSuccess, true};
  return {};
}

HRESULT Connection::Refresh()
{
  int count = 0;
  const HRESULT hr = bridge_->RefreshItemList(&count);
  jobCount_ = SUCCEEDED(hr) ? count : 0;
  return hr;
}

bool Connection::IsYours(int index, bool* preview) const
{
  BSTR document = nullptr, thumbnail = nullptr;
  const HRESULT hr = bridge_->GetItemPreview(index, &document, &thumbnail);
  SysFreeString(document);
  SysFreeString(thumbnail);
  if (preview != nullptr) *preview = hr == S_OK;
  return hr == S_OK || (FAILED(hr) && !ServerGone(hr));
}

bool Connection::ItemName(int index, std::wstring& name) const
{
  BSTR current = nullptr;
  int page = 0;
  const bool named = bridge_->SetSelection(&index, 1) == S_OK &&
                     bridge_->GetCurrentItemName(&current, &page) == S_OK;
  if (named) name.assign(current, SysStringLen(current));
  SysFreeString(current);
  return named;
}

}  // namespace stiscan
