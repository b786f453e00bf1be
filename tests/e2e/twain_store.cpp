// The scanner's store as another client of the server sees it, beside the
// data source: which jobs are stored, and the settings the scanner keeps.
#include "twain_store.h"

#include <objbase.h>

#include "e2e_support.h"

namespace {

IStiScannerComBridge* store = nullptr;

}  // namespace

bool StoreOpen()
{
  HRESULT hr = CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_IStiScannerComBridge, reinterpret_cast<void**>(&store));
  if (FAILED(hr)) {
    store = nullptr;
    Check(false, "twain-store-created", Hex(hr));
    return false;
  }
  return OpenLabScanner(store);
}

void StoreClose()
{
  if (store == nullptr) return;
  store->Close();
  store->Release();
  store = nullptr;
}

std::vector<std::string> StoredJobs()
{
  std::vector<std::string> jobs;
  int count = 0;
  if (store == nullptr || FAILED(store->RefreshItemList(&count))) return jobs;
  for (int index = 0; index < count; ++index) {
    BSTR name = nullptr;
    int page = 0;
    if (store->SetSelection(&index, 1) == S_OK && store->GetCurrentItemName(&name, &page) == S_OK)
      jobs.push_back(Narrow(name));
    SysFreeString(name);
  }
  store->SetPagesRemaining(0);
  return jobs;
}

bool StoredSettings(short settings[4])
{
  if (store == nullptr) return false;
  // A fresh block (none is held the first time): the scanner's settings as
  // the source left them.
  store->ReleaseScanSettings();
  short option = 0;
  return store->GetScanSettings(&settings[0], &settings[1], &settings[2], &settings[3], &option) ==
         S_OK;
}
