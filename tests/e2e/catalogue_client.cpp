// The stored-job catalogue through the proxy: the list, flags, information,
// time, previews with the real owner check of this process's user, the
// driver-value lookup, the access bracket, the delete-after-scan option and
// deletion.
#include <windows.h>

#include <climits>
#include <string>

#include "e2e_support.h"

namespace {

std::string Text(BSTR text)
{
  return Narrow(text);
}

struct Preview {
  HRESULT hr;
  std::string name, path;
};

Preview ItemPreview(IStiScannerComBridge* bridge, int index)
{
  // The caller's strings travel in and come back as they were when the
  // preview is refused.
  BSTR name = SysAllocString(L"keep");
  BSTR path = SysAllocString(L"keep");
  Preview preview;
  preview.hr = bridge->GetItemPreview(index, &name, &path);
  preview.name = Text(name);
  preview.path = Text(path);
  SysFreeString(name);
  SysFreeString(path);
  return preview;
}

}  // namespace

bool OpenLabScanner(IStiScannerComBridge* bridge)
{
  HRESULT hr = bridge->InitializeSti();
  int count = 0;
  BSTR names = nullptr;
  if (SUCCEEDED(hr)) hr = bridge->EnumerateDevices(&count, &names);
  SysFreeString(names);
  // The one served scanner of the list is selected by the enumeration
  // itself; selecting it by name then changes nothing.
  int family = 0;
  wchar_t lab[] = L"Lab MFP";
  if (SUCCEEDED(hr)) hr = bridge->SelectDeviceByName(lab, &family);
  wchar_t qualifier[] = L"LAB", profile[] = L"anna", store[] = L"ann";
  if (SUCCEEDED(hr)) hr = bridge->OpenDevice(qualifier, profile, store);
  bridge->GetDeviceFamily(&family);
  Check(hr == S_OK && count == 1 && family == 2, "open-lab-scanner",
        Hex(hr) + " listed " + std::to_string(count) + " family " + std::to_string(family));
  return hr == S_OK;
}

void Catalogue(IStiScannerComBridge* bridge)
{
  RegDeleteTreeW(HKEY_CURRENT_USER, kE2eUserKey);
  if (!OpenLabScanner(bridge)) return;
  HRESULT hr = bridge->RegisterEvents();
  HANDLE itemDeleted = OpenEventW(SYNCHRONIZE, FALSE, L"ItemDeleted");
  Check(hr == S_OK && itemDeleted != nullptr, "register-events", Hex(hr));

  int count = -1;
  hr = bridge->RefreshItemList(&count);
  Check(hr == S_OK && count == 7, "refresh", Hex(hr) + " count " + std::to_string(count));

  std::string flags;
  for (int index : {-1, 0, 1, 2, 3, 4, 5, 6, 7, INT_MAX}) {
    int flag = 9;
    bridge->GetItemFlag(index, &flag);
    flags += std::to_string(flag);
  }
  Check(flags == "0111111000", "item-flags", flags);

  BSTR name = nullptr;
  int pixelType = -7, resolution = -7, pages = -7, size = -7;
  hr = bridge->GetItemInfo(0, &name, nullptr, &pixelType, &resolution, &pages, &size);
  Check(hr == S_OK && Text(name) == "Two pages" && pixelType == 2 && resolution == 2 &&
            pages == 2 && size == 64800,
        "item-info",
        Hex(hr) + " [" + Text(name) + "] " + std::to_string(pixelType) + " " +
            std::to_string(resolution) + " " + std::to_string(pages) + " " + std::to_string(size));
  SysFreeString(name);
  name = SysAllocString(L"keep");
  pixelType = -7;
  hr = bridge->GetItemInfo(count, &name, nullptr, &pixelType, &resolution, &pages, &size);
  Check(hr == E_FAIL && Text(name) == "keep" && pixelType == -7, "item-info-past-the-end", Hex(hr));
  SysFreeString(name);

  SYSTEMTIME time = {};
  hr = bridge->GetItemTime(0, &time);
  Check(hr == S_OK && time.wYear == 2024 && time.wMonth == 5 && time.wDay == 1 &&
            time.wHour == 10 && time.wMinute == 20 && time.wSecond == 30,
        "item-time", Hex(hr));

  struct Expected {
    int index;
    HRESULT hr;
    const char* name;
    const char* path;
    const char* check;
  };
  const Expected previews[] = {
      {0, S_OK, "Two pages", "C:\\Spool\\Lab\\multi_tif.tmb", "preview-everyone"},
      {2, S_OK, "Mine", "C:\\Spool\\Lab\\mine_tif.tmb", "preview-own-user"},
      {3, S_OK, "Users' page", "C:\\Spool\\Lab\\users_tif.tmb", "preview-own-group"},
      {4, S_FALSE, "keep", "keep", "preview-foreign-owner"},
      {6, S_FALSE, "keep", "keep", "preview-unusable-item"},
      {-1, S_FALSE, "keep", "keep", "preview-negative-index"},
  };
  for (const Expected& e : previews) {
    Preview p = ItemPreview(bridge, e.index);
    Check(p.hr == e.hr && p.name == e.name && p.path == e.path, e.check,
          Hex(p.hr) + " [" + p.name + "] [" + p.path + "]");
  }

  wchar_t found[260] = L"";
  hr = bridge->FindItemNameByDriverValue(found);
  Check(hr == S_OK && Narrow(found) == "grey.bmp", "driver-value-lookup",
        Hex(hr) + " [" + Narrow(found) + "]");

  HRESULT begun = bridge->BeginAccess();
  HRESULT ended = bridge->EndAccess();
  Check(begun == S_OK && ended == S_OK, "access-begin-end", Hex(begun) + " " + Hex(ended));

  // The option on a user whose key does not exist yet: the first read makes
  // the key, the second reads it.
  int on = 7;
  HRESULT first = bridge->GetDeleteImageOnScan(&on);
  Check(first == S_FALSE && on == 7, "delete-option-fresh-user", Hex(first));
  on = 7;
  HRESULT second = bridge->GetDeleteImageOnScan(&on);
  Check(second == S_OK && on == 0, "delete-option-off", Hex(second) + " " + std::to_string(on));
  SetDeleteOption(1);
  on = 7;
  hr = bridge->GetDeleteImageOnScan(&on);
  Check(hr == S_OK && on == 1, "delete-option-on", Hex(hr) + " " + std::to_string(on));

  hr = bridge->DeleteItem(3);
  DWORD signalled = itemDeleted != nullptr ? WaitForSingleObject(itemDeleted, 5000) : WAIT_FAILED;
  Check(hr == S_OK && signalled == WAIT_OBJECT_0, "delete-item", Hex(hr));
  hr = bridge->DeleteItem(4);
  Check(hr == E_ACCESSDENIED, "delete-refused-by-the-driver", Hex(hr));
  hr = bridge->DeleteItem(count);
  Check(hr == E_FAIL, "delete-past-the-end", Hex(hr));
  name = nullptr;
  bridge->GetItemInfo(3, &name, nullptr, &pixelType, &resolution, &pages, &size);
  Check(Text(name) == "Users' page", "list-unchanged-until-refresh", Text(name));
  SysFreeString(name);
  hr = bridge->RefreshItemList(&count);
  name = nullptr;
  bridge->GetItemInfo(3, &name, nullptr, &pixelType, &resolution, &pages, &size);
  Check(hr == S_OK && count == 6 && Text(name) == "Payroll", "refresh-after-delete",
        Hex(hr) + " " + std::to_string(count) + " [" + Text(name) + "]");
  SysFreeString(name);

  hr = bridge->ReleaseItemList();
  Check(hr == S_OK, "release-item-list", Hex(hr));
  hr = bridge->Close();
  Check(hr == S_OK, "close", Hex(hr));
  if (itemDeleted != nullptr) CloseHandle(itemDeleted);
}
