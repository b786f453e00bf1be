// A soak session: everything a data source does with one object, in an order
// and with values that vary from session to session, every result held
// against what the method may answer. Faults come from the simulator at
// random, so nothing here expects success; it expects only allowed answers,
// and status words and out-values that agree with them.
#include "soak_session.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace soak {

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcFailure = 1;
constexpr int kTwrcXferDone = 6;
constexpr int kUntouched = 9;  // a status the server never writes
constexpr int kMostReads = 3000;

std::string Narrow(const wchar_t* text, UINT length)
{
  std::string out;
  for (UINT i = 0; i < length && text != nullptr; ++i) out.push_back(static_cast<char>(text[i]));
  return out;
}

std::string Text(BSTR text)
{
  return Narrow(text, text != nullptr ? SysStringLen(text) : 0);
}

void Widen(const std::string& text, wchar_t (&out)[260])
{
  size_t n = 0;
  for (; n < text.size() && n < 259; ++n) out[n] = static_cast<unsigned char>(text[n]);
  out[n] = 0;
}

bool StartsWith(const std::string& text, const char* prefix)
{
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

void Say(const char* line)
{
  std::printf("%s\n", line);
  std::fflush(stdout);
}

// One object's session; the members are what the steps pass on to each other.
class Session {
 public:
  Session(IStiScannerComBridge* bridge, Random& random, Ledger& ledger)
      : bridge(bridge), random(random), ledger(ledger)
  {
  }

  void Run();
  void Open();
  // The stored jobs' document names by index; empty where a job has none.
  std::vector<std::string> Catalogue(bool everyJob);

 private:
  HRESULT Note(const char* method, HRESULT hr) { return ledger.Note(method, hr); }
  void Expect(bool condition, const char* method, HRESULT hr, const std::string& detail)
  {
    ledger.Expect(condition, method, hr, detail);
  }

  void Settings();
  void Selection(const std::vector<std::string>& names);
  void Deletion();
  int Walk(int deleteWhenDone);
  void Transfer(wchar_t (&itemName)[260]);
  void ReadAll(STI_TRANSFER_REQUEST& request);
  void ReadString(STI_TRANSFER_REQUEST& request);
  void Releases();

  IStiScannerComBridge* bridge;
  Random& random;
  Ledger& ledger;
};

void Session::Open()
{
  Note("InitializeSti", bridge->InitializeSti());
  if (random.Chance(70)) {
    int count = random.Chance(20) ? 1 : 0;
    BSTR names = nullptr;
    Note("EnumerateDevices", bridge->EnumerateDevices(&count, &names));
    SysFreeString(names);
    int family = 99;
    wchar_t name[] = L"Soak MFP";
    HRESULT hr = Note("SelectDeviceByName", bridge->SelectDeviceByName(name, &family));
    Expect(FAILED(hr) || family == 99 || family == 2 || family == 0 || family == -1,
           "SelectDeviceByName", hr, "family " + std::to_string(family));
  } else {
    Note("SelectLaunchDevice", bridge->SelectLaunchDevice());
  }
  int family = 99;
  HRESULT hr = Note("GetDeviceFamily", bridge->GetDeviceFamily(&family));
  Expect(family == 2 || family == 0 || family == -1, "GetDeviceFamily", hr,
         "family " + std::to_string(family));
  wchar_t qualifier[] = L"SOAK", profile[] = L"soak", store[] = L"ann";
  Note("OpenDevice", bridge->OpenDevice(qualifier, profile, store));
}

std::vector<std::string> Session::Catalogue(bool everyJob)
{
  int count = 12345;
  HRESULT hr = Note("RefreshItemList", bridge->RefreshItemList(&count));
  if (FAILED(hr)) {
    Expect(count == 12345, "RefreshItemList", hr, "count written on failure");
    return {};
  }
  Expect(count >= 0, "RefreshItemList", hr, "count " + std::to_string(count));
  std::vector<std::string> names(static_cast<size_t>(count > 0 ? count : 0));
  // The kept jobs come first in the list; of the rest a sample will do.
  std::vector<int> indices;
  for (int index = 0; index < count && (everyJob || index < 16); ++index) indices.push_back(index);
  for (int n = 0; !everyJob && count > 16 && n < 8; ++n)
    indices.push_back(16 + random.Below(count - 16));
  for (int index : indices) {
    int flag = 7;
    hr = Note("GetItemFlag", bridge->GetItemFlag(index, &flag));
    Expect(flag == 0 || flag == 1, "GetItemFlag", hr, "flag " + std::to_string(flag));
    BSTR document = nullptr;
    int pixelType = -7, resolution = -7, pages = -7, size = -7;
    hr = Note("GetItemInfo",
              bridge->GetItemInfo(index, &document, nullptr, &pixelType, &resolution, &pages, &size));
    if (hr == S_OK) names[static_cast<size_t>(index)] = Text(document);
    Expect(hr == S_OK || (pixelType == -7 && pages == -7), "GetItemInfo", hr,
           "out-values written on failure");
    SysFreeString(document);
    if (everyJob) continue;
    if (random.Chance(30)) {
      SYSTEMTIME time = {};
      Note("GetItemTime", bridge->GetItemTime(index, &time));
    }
    if (random.Chance(20)) {
      BSTR document2 = nullptr, path = nullptr;
      hr = Note("GetItemPreview", bridge->GetItemPreview(index, &document2, &path));
      Expect(hr != S_FALSE || (document2 == nullptr && path == nullptr), "GetItemPreview", hr,
             "out-values written with S_FALSE");
      SysFreeString(document2);
      SysFreeString(path);
    }
  }
  if (!everyJob && random.Chance(20)) {
    // Past either end of the list: nothing is read there.
    int flag = 7;
    hr = Note("GetItemFlag", bridge->GetItemFlag(count, &flag));
    Expect(flag == 0, "GetItemFlag", hr, "flag past the end " + std::to_string(flag));
    BSTR document = nullptr, path = nullptr;
    Note("GetItemPreview", bridge->GetItemPreview(-1, &document, &path));
    SysFreeString(document);
    SysFreeString(path);
    Note("GetItemInfo", bridge->GetItemInfo(count, &document, nullptr, &flag, &flag, &flag, &flag));
    SysFreeString(document);
  }
  return names;
}

void Session::Settings()
{
  short v[5] = {-9, -9, -9, -9, -9};
  Note("GetScanSettings", bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]));
  static const short pixelTypes[] = {0, 1, 2};
  static const short papers[] = {0, 1, 3, 4, 5, 9, 10, 11, 52};
  static const short resolutions[] = {72, 75, 100, 150, 200, 300, 400, 600};
  static const short formats[] = {0, 2, 4, 6};
  wchar_t title[] = L"Soak run,\tpage one";
  Note("SetScanSettings",
       bridge->SetScanSettings(title, pixelTypes[random.Below(3)], papers[random.Below(9)],
                               resolutions[random.Below(8)], formats[random.Below(4)],
                               static_cast<short>(random.Below(2)),
                               static_cast<short>(random.Below(2))));
  Note("GetScanSettings", bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]));
  if (random.Chance(20)) Note("SendScanSettings", bridge->SendScanSettings());
  int flag = 7;
  HRESULT hr = Note("GetCapabilityFlag", bridge->GetCapabilityFlag(&flag));
  Expect(flag == 0 || flag == 1, "GetCapabilityFlag", hr, "flag " + std::to_string(flag));
  int on = 7;
  hr = Note("GetDeleteImageOnScan", bridge->GetDeleteImageOnScan(&on));
  Expect(hr == S_FALSE ? on == 7 : on == 0 || on == 1, "GetDeleteImageOnScan", hr,
         "option " + std::to_string(on));
}

void Session::ReadAll(STI_TRANSFER_REQUEST& request)
{
  static const int chunks[] = {256, 1000, 4096, 16384, 65536};
  static BYTE buffer[65536];
  const int chunk = chunks[random.Below(5)];
  for (int reads = 0; reads < kMostReads; ++reads) {
    int status = kUntouched;
    HRESULT hr = Note("ReadImageData", bridge->ReadImageData(&request, buffer, chunk, &status));
    if (FAILED(hr)) {
      Expect(status == kTwrcFailure, "ReadImageData", hr, "status " + std::to_string(status));
      return;
    }
    Expect(status == kTwrcSuccess || status == kTwrcXferDone || status == kTwrcFailure,
           "ReadImageData", hr, "status " + std::to_string(status));
    if (status != kTwrcSuccess) return;
  }
  ledger.Violation("ReadImageData", S_OK, "a transfer that never ends");
}

void Session::ReadString(STI_TRANSFER_REQUEST& request)
{
  BSTR text = nullptr;
  int length = -1, status = kUntouched;
  HRESULT hr = Note("ReadItemString", bridge->ReadItemString(&request, &text, &length, &status));
  if (hr == S_OK && text != nullptr) {
    Expect(status == kUntouched && length == static_cast<int>(SysStringLen(text)), "ReadItemString",
           hr, "status " + std::to_string(status) + " length " + std::to_string(length));
  } else {
    Expect(status == kTwrcFailure && text == nullptr, "ReadItemString", hr,
           "status " + std::to_string(status) + (text != nullptr ? " with a string" : ""));
  }
  SysFreeString(text);
}

void Session::Transfer(wchar_t (&itemName)[260])
{
  STI_TRANSFER_REQUEST request = {};
  request.itemName = itemName;
  request.value = static_cast<unsigned long>(random.Below(3));
  // The runner may kill the client between these two lines: in the middle
  // of a transfer.
  Say("xfer-begin");
  switch (random.Below(3)) {
    case 0: {
      request.operation = 1;
      BITMAPINFOHEADER header = {};
      int status = kUntouched;
      HRESULT hr = Note("ReadImageHeader",
                        bridge->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header),
                                                sizeof header, &status));
      Expect(hr == S_OK ? status == kTwrcXferDone || status == kTwrcFailure
                        : status == kTwrcFailure,
             "ReadImageHeader", hr, "status " + std::to_string(status));
      int size = -1;
      status = kUntouched;
      hr = Note("QueryTransferSize", bridge->QueryTransferSize(&request, &size, &status));
      Expect(hr == S_OK ? status == kUntouched && size > 0 : status == kTwrcFailure,
             "QueryTransferSize", hr, "status " + std::to_string(status) + " size " +
                                          std::to_string(size));
      if (random.Chance(30)) ReadString(request);
      ReadAll(request);
      break;
    }
    case 1:
      request.operation = 0;
      request.pageCount = 0;
      request.page = 1;
      ReadAll(request);
      break;
    default: {
      // BMP, TIFF, multi-page TIFF, JPEG (which the driver cannot write) and
      // a code it does not know.
      static const unsigned long codes[] = {5, 1, 2, 0, 7};
      request.operation = 2;
      request.formatCode = codes[random.Below(5)];
      request.formatChanged = static_cast<unsigned long>(random.Below(2));
      if (random.Chance(40)) ReadString(request);
      ReadAll(request);
      break;
    }
  }
  Say("xfer-end");
}

int Session::Walk(int deleteWhenDone)
{
  TW_IMAGEINFO info = {};
  Note("GetImageInfo", bridge->GetImageInfo(&info, 0));
  int left = -5;
  HRESULT hr = Note("AdvancePage", bridge->AdvancePage(1, &left, deleteWhenDone));
  Expect(left >= 0, "AdvancePage", hr, "pages left " + std::to_string(left));
  int pages = 0;
  for (; left > 0 && pages < 40; ++pages) {
    BSTR name = nullptr;
    int page = -1;
    hr = Note("GetCurrentItemName", bridge->GetCurrentItemName(&name, &page));
    int pageInItem = -1, pagesInItem = -1;
    Note("GetPagePosition", bridge->GetPagePosition(&pageInItem, &pagesInItem));
    Expect(FAILED(hr) || page == pageInItem, "GetCurrentItemName", hr,
           "page " + std::to_string(page) + " of " + std::to_string(pageInItem));
    Note("GetImageInfo", bridge->GetImageInfo(&info, 1));
    // Now and then a mechanism TWAIN does not have.
    const int mechanism = random.Chance(10) ? 3 + random.Below(3) : random.Below(3);
    int status = kUntouched;
    hr = Note("PrepareTransfer",
              bridge->PrepareTransfer(0, 0, mechanism, 0, 0, 0, 0, 0, &status));
    if (hr == S_OK || hr == static_cast<HRESULT>(0x8007007A)) {
      Expect(status == (mechanism <= 2 ? kTwrcSuccess : kTwrcFailure), "PrepareTransfer", hr,
             "status " + std::to_string(status) + " for mechanism " + std::to_string(mechanism));
    } else {
      Expect(status == kUntouched, "PrepareTransfer", hr, "status " + std::to_string(status));
    }
    int bytes = -1;
    Note("GetImageByteCount", bridge->GetImageByteCount(&bytes));
    short format = -9;
    Note("GetCurrentItemFormat", bridge->GetCurrentItemFormat(&format));
    if (name != nullptr) {
      wchar_t itemName[260];
      Widen(Text(name), itemName);
      Transfer(itemName);
    }
    SysFreeString(name);
    const int before = left;
    hr = Note("AdvancePage", bridge->AdvancePage(0, &left, deleteWhenDone));
    Expect(left == before - 1, "AdvancePage", hr,
           "pages left " + std::to_string(left) + " after " + std::to_string(before));
  }
  return pages;
}

void Session::Selection(const std::vector<std::string>& names)
{
  std::vector<int> kept;
  for (size_t i = 0; i < names.size(); ++i)
    if (StartsWith(names[i], "keep-")) kept.push_back(static_cast<int>(i));
  if (kept.empty()) return;
  if (random.Chance(60)) {
    int indices[3];
    const int count = 1 + random.Below(3);
    for (int i = 0; i < count; ++i) indices[i] = kept[static_cast<size_t>(random.Below(static_cast<int>(kept.size())))];
    Note("SetSelection", bridge->SetSelection(indices, count));
  } else {
    // A kept job's item name is its document name.
    wchar_t name[260];
    Widen(names[static_cast<size_t>(kept[static_cast<size_t>(random.Below(static_cast<int>(kept.size())))])], name);
    int pages = -1;
    static const int depths[] = {1, 8, 24};
    HRESULT hr = Note("SelectItemByName", bridge->SelectItemByName(random.Below(2), &pages, name,
                                                                   depths[random.Below(3)]));
    Expect(FAILED(hr) || pages >= 0, "SelectItemByName", hr, "pages " + std::to_string(pages));
  }
  Walk(0);
}

// Deletes one scratch job on purpose, announced first, so that the runner
// knows every job that may be gone.
void Session::Deletion()
{
  // The list of the first refresh goes back before a new one is fetched.
  Note("ReleaseItemList", bridge->ReleaseItemList());
  std::vector<std::string> names = Catalogue(false);
  std::vector<int> scratch;
  for (size_t i = 0; i < names.size(); ++i)
    if (StartsWith(names[i], kScratchPrefix)) scratch.push_back(static_cast<int>(i));
  if (scratch.empty()) return;
  const int index = scratch[static_cast<size_t>(random.Below(static_cast<int>(scratch.size())))];
  const std::string& name = names[static_cast<size_t>(index)];
  std::printf("delete-request %s\n", name.c_str());
  std::fflush(stdout);
  if (random.Chance(30)) {
    Note("DeleteItem", bridge->DeleteItem(index));
    return;
  }
  // Delete after scan: selected by name, walked to the end with the client's
  // consent. A name that selects nothing leaves index 0 in the selection, and
  // the deletion step would take that one: such a walk is not made.
  wchar_t wide[260];
  Widen(name, wide);
  int pages = -1;
  HRESULT hr = Note("SelectItemByName", bridge->SelectItemByName(0, &pages, wide, 0));
  if (hr != S_OK || pages <= 0) return;
  Walk(1);
  int last = -9;
  hr = Note("GetLastItemIndex", bridge->GetLastItemIndex(&last));
  Expect(last == -1 || last == index, "GetLastItemIndex", hr,
         "last " + std::to_string(last) + " for index " + std::to_string(index));
}

void Session::Releases()
{
  if (random.Chance(50)) Note("ReleaseScanSettings", bridge->ReleaseScanSettings());
  if (random.Chance(50)) Note("ReleaseItemList", bridge->ReleaseItemList());
  if (random.Chance(30)) Note("ReleaseCapabilities", bridge->ReleaseCapabilities());
  if (random.Chance(50)) Note("EndAccess", bridge->EndAccess());
}

void Session::Run()
{
  if (random.Chance(10)) {
    BSTR name = nullptr;
    HRESULT hr = Note("GetServerFileName", bridge->GetServerFileName(&name));
    Expect(hr != S_OK || Text(name) == "tibr", "GetServerFileName", hr, "[" + Text(name) + "]");
    SysFreeString(name);
    Note("Reserved1", bridge->Reserved1());
    Note("Reserved2", bridge->Reserved2());
  }
  Open();
  const bool events = random.Chance(60);
  if (events) Note("RegisterEvents", bridge->RegisterEvents());
  if (random.Chance(60)) Note("ApplyUserPin", bridge->ApplyUserPin());
  if (random.Chance(20)) Note("BeginAccess", bridge->BeginAccess());
  std::vector<std::string> names = Catalogue(false);
  if (random.Chance(25)) {
    // It fetches a list of its own: the one held goes back first.
    Note("ReleaseItemList", bridge->ReleaseItemList());
    wchar_t name[260] = {};
    Note("FindItemNameByDriverValue", bridge->FindItemNameByDriverValue(name));
  }
  Settings();
  Selection(names);
  if (random.Chance(10)) Deletion();
  if (random.Chance(10)) Note("SetPagesRemaining", bridge->SetPagesRemaining(random.Below(3)));
  if (events && random.Chance(70)) Note("UnregisterEvents", bridge->UnregisterEvents());
  if (random.Chance(20)) Releases();
  // One session in ten forgets Close: its object goes at its release.
  if (random.Chance(90)) Note("Close", bridge->Close());
}

void Release(IStiScannerComBridge* bridge, Ledger& ledger)
{
  const ULONG remaining = bridge->Release();
  ledger.Expect(remaining == 0, "Release", S_OK, "references left " + std::to_string(remaining));
}

IClassFactory* classObject = nullptr;

}  // namespace

void UseClassObject(IClassFactory* factory)
{
  classObject = factory;
}

IStiScannerComBridge* CreateBridge(Ledger& ledger)
{
  IStiScannerComBridge* bridge = nullptr;
  void** out = reinterpret_cast<void**>(&bridge);
  HRESULT hr =
      classObject != nullptr
          ? ledger.Note("CreateInstance",
                        classObject->CreateInstance(nullptr, IID_IStiScannerComBridge, out))
          : ledger.Note("CoCreateInstance",
                        CoCreateInstance(CLSID_CStiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                         IID_IStiScannerComBridge, out));
  return SUCCEEDED(hr) ? bridge : nullptr;
}

uint32_t Random::Next()
{
  // xorshift64*
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1Dull) >> 32);
}

bool PrepareUserSettings()
{
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kUserKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const wchar_t prefix[] = L"soak_SOAK", pin[] = L"2468";
  const DWORD on = 1;
  bool written =
      RegSetValueExW(key, L"soak_SOAK", 0, REG_SZ, reinterpret_cast<const BYTE*>(prefix),
                     sizeof prefix) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"soak_DeleteImageOnScan", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&on), sizeof on) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"TrvUserPIN", 0, REG_SZ, reinterpret_cast<const BYTE*>(pin),
                     sizeof pin) == ERROR_SUCCESS;
  RegCloseKey(key);
  return written;
}

bool RunSession(Random& random, Ledger& ledger)
{
  IStiScannerComBridge* bridge = CreateBridge(ledger);
  if (bridge == nullptr) return false;
  Session(bridge, random, ledger).Run();
  Release(bridge, ledger);
  return true;
}

int ListStoredJobs(Ledger& ledger)
{
  IStiScannerComBridge* bridge = CreateBridge(ledger);
  if (bridge == nullptr) return -1;
  Random random(1);
  Session session(bridge, random, ledger);
  session.Open();
  std::vector<std::string> longest;
  size_t named = 0;
  for (int attempt = 0; attempt < 12; ++attempt) {
    std::vector<std::string> names = session.Catalogue(true);
    size_t n = 0;
    for (const std::string& name : names) n += name.empty() ? 0 : 1;
    if (n > named) {
      named = n;
      longest = names;
    }
  }
  ledger.Note("Close", bridge->Close());
  Release(bridge, ledger);
  for (const std::string& name : longest)
    if (!name.empty()) std::printf("job %s\n", name.c_str());
  std::printf("jobs %d\n", static_cast<int>(named));
  std::fflush(stdout);
  return static_cast<int>(named);
}

}  // namespace soak
