#include "scanner/connection.h"

#include <objbase.h>

#include "stibridge.h"

namespace twainds {

namespace {

// What a call answers when the server cannot be used any more: its process
// is gone (ended, crashed or killed) under the caller's feet, it cut the
// object off (CO_E_OBJNOTCONNECTED: CoDisconnectObject refuses every call
// after it), or the object is being called from a thread of another
// apartment than the one that made it (RPC_E_WRONG_THREAD), where no call
// can reach it.
bool ServerGone(HRESULT hr)
{
  switch (static_cast<unsigned long>(hr)) {
    case 0x800706BAul:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEul:  // RPC_S_CALL_FAILED
    case 0x800706BFul:  // RPC_S_CALL_FAILED_DNE
    case 0x80010108ul:  // RPC_E_DISCONNECTED
    case 0x80010007ul:  // RPC_E_SERVER_DIED
    case 0x80010012ul:  // RPC_E_SERVER_DIED_DNE
    case 0x800401FDul:  // CO_E_OBJNOTCONNECTED
    case 0x8001010Eul:  // RPC_E_WRONG_THREAD
      return true;
    default:
      return false;
  }
}

// The local names of EnumerateDevices' list, each followed by ";".
std::vector<std::wstring> Names(const wchar_t* list)
{
  std::vector<std::wstring> names;
  std::wstring name;
  for (const wchar_t* p = list; p != nullptr && *p != L'\0'; ++p) {
    if (*p != L';') {
      name.push_back(*p);
    } else if (!name.empty()) {
      names.push_back(name);
      name.clear();
    }
  }
  if (!name.empty()) names.push_back(name);
  return names;
}

}  // namespace

HRESULT Connection::Seen(HRESULT hr)
{
  if (ServerGone(hr)) gone_ = true;
  return hr;
}

HRESULT Connection::Open(const Profile& profile)
{
  Close();
  gone_ = false;
  serverReached_ = false;
  // The 64-bit server, always: by COM's rule a 32-bit client is otherwise
  // given a 32-bit server of the class when one is registered (a leftover
  // Wow6432Node\CLSID\{...}\LocalServer32), which cannot load the 64-bit
  // STI stack. (Wine 8 takes the flag and goes by the client's registry
  // view all the same.)
  HRESULT hr = CoCreateInstance(CLSID_CStiScannerComBridge, nullptr,
                                CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER,
                                IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge_));
  if (FAILED(hr)) {
    bridge_ = nullptr;
    return hr;
  }
  serverReached_ = true;
  user_ = profile.profile;
  hr = SelectScanner(profile);
  if (SUCCEEDED(hr)) {
    // The server keeps its own copies; ours may go.
    std::wstring qualifier = profile.qualifier, name = profile.profile, store = profile.store;
    hr = Seen(bridge_->OpenDevice(qualifier.data(), name.data(), store.data()));
    opened_ = SUCCEEDED(hr);
  }
  // A store without a PIN gets the empty one; whether the store takes the
  // user shows in what it lists.
  if (SUCCEEDED(hr)) Seen(bridge_->ApplyUserPin());
  if (FAILED(hr) || gone_) {
    Close();
    return FAILED(hr) ? hr : E_FAIL;
  }
  return S_OK;
}

HRESULT Connection::SelectScanner(const Profile& profile)
{
  HRESULT hr = Seen(bridge_->InitializeSti());
  if (FAILED(hr)) return hr;
  // Asked for one name, the server lists and selects the scanner whose
  // button launched the source, else its first one; asked for all, it
  // lists them for a choice by name.
  int count = profile.scanner.empty() ? 1 : 0;
  BSTR list = nullptr;
  hr = Seen(bridge_->EnumerateDevices(&count, &list));
  const std::vector<std::wstring> names = Names(list);
  SysFreeString(list);
  if (FAILED(hr)) return hr;
  bool listed = false;
  for (const std::wstring& name : names) listed = listed || name == profile.scanner;
  if (names.empty() || (!profile.scanner.empty() && !listed))
    return HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST);
  scanner_ = profile.scanner.empty() ? names.front() : profile.scanner;
  // A list of one name has selected its scanner already.
  int family = -1;
  std::wstring name = scanner_;
  return names.size() > 1 ? Seen(bridge_->SelectDeviceByName(name.data(), &family)) : S_OK;
}

void Connection::Close()
{
  if (bridge_ != nullptr) {
    if (opened_ && !gone_) bridge_->Close();
    // A dead server's proxy goes without a word to it.
    bridge_->Release();
  }
  bridge_ = nullptr;
  opened_ = false;
}

HRESULT Connection::Online()
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Seen(bridge_->BeginAccess());
}

HRESULT Connection::ReadSettings(ScanSettings& settings)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Seen(bridge_->GetScanSettings(&settings.pixelType, &settings.paperSize,
                                       &settings.resolution, &settings.fileFormat,
                                       &settings.option));
}

HRESULT Connection::WriteSettings(const std::wstring& title, const ScanSettings& settings)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  // The scanner keeps statement size under the second of its two codes:
  // only that one reads back as statement.
  const short sizeFlag = settings.paperSize == 52 ? 1 : 0;
  std::wstring name = title;
  return Seen(bridge_->SetScanSettings(name.data(), settings.pixelType, settings.paperSize,
                                       settings.resolution, settings.fileFormat, sizeFlag,
                                       settings.option));
}

}  // namespace twainds

namespace twainds {

HRESULT Connection::DeleteAfterScan(bool& on)
{
  on = false;
  if (bridge_ == nullptr || gone_) return E_FAIL;
  int flag = 0;
  const HRESULT hr = Seen(bridge_->GetDeleteImageOnScan(&flag));
  on = hr == S_OK && flag != 0;
  return hr;
}

HRESULT Connection::RegisterEvents()
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Seen(bridge_->RegisterEvents());
}

HRESULT Connection::UnregisterEvents()
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Seen(bridge_->UnregisterEvents());
}

}  // namespace twainds
