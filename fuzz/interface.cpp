// Fuzz target: sequences of calls on one bridge object against the simulated
// driver, both drawn from the input. The input first describes the scanner's
// stored jobs (odd counts, null names, missing or duplicated properties,
// properties without records, huge depth and resolution codes), the driver's
// faults (failing escapes, empty blocks after success, wrong counts, failing
// locks) and its conduct wherever the protocol leaves it free (the size word
// after a read, out-values of failing calls, blocks bound to their device
// object, reused addresses, request names read whole, bytes scribbled where
// nobody reads, blocks handed out by escapes that then fail); the rest chooses methods and their
// arguments (indices at and past every limit, counts, strings, modes, buffer sizes).
//
// Rules:
// - no crash and no sanitizer report, whatever the calls and the driver do;
// - every HRESULT is one the method may answer: its own codes, and the
//   driver's or the lock's failure only where the method passes them on;
// - Close always succeeds, and after it and the last Release no object is
//   left (LeakSanitizer then finds nothing the bridge owns);
// - the driver sees no breach of the protocol.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/class_factory.h"
#include "server/lifetime.h"
#include "sim/sim_api.h"

namespace {

using Text = std::basic_string<WCHAR>;

// Results a method may give whatever it is asked.
const std::set<HRESULT> kOwn = {S_OK,
                                S_FALSE,
                                E_FAIL,
                                E_POINTER,
                                E_INVALIDARG,
                                E_OUTOFMEMORY,
                                static_cast<HRESULT>(0x8007007A),
                                HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW)};
// The faults' results (chosen from these) and the simulated driver's own.
const HRESULT kFaultResults[] = {E_FAIL, E_ACCESSDENIED, E_UNEXPECTED, STIERR_DEVICE_NOTREADY};
const std::set<HRESULT> kPassedOn = {E_FAIL,
                                     E_ACCESSDENIED,
                                     E_UNEXPECTED,
                                     STIERR_DEVICE_NOTREADY,
                                     STIERR_DEVICE_LOCKED,
                                     STIERR_OBJECTNOTFOUND,
                                     STIERR_NEEDS_LOCK,
                                     E_NOTIMPL,
                                     E_INVALIDARG,
                                     STIERR_INVALID_DEVICE_NAME};

enum class Allowed { Trivial, AccessBracket, Close, Own, PassesOn };

bool IsAllowed(Allowed kind, HRESULT hr)
{
  switch (kind) {
    case Allowed::Trivial:
      return hr == S_OK || hr == E_POINTER;
    case Allowed::AccessBracket:
      return hr == S_OK || hr == E_FAIL;
    case Allowed::Close:
      return hr == S_OK;
    case Allowed::Own:
      return kOwn.count(hr) != 0;
    case Allowed::PassesOn:
      return kOwn.count(hr) != 0 || kPassedOn.count(hr) != 0;
  }
  return false;
}

std::string JsonText(const std::string& text)
{
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c < 0x20 || c > 0x7E) c = 'x';
    out += static_cast<char>(c);
  }
  return out + "\"";
}

// The scanner the input describes: one served scanner with its jobs, a
// second one, and faults.
std::string Scenario(FuzzedDataProvider& in, std::vector<std::string>& names)
{
  std::string jobs;
  const int count = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    std::string name = "j" + std::to_string(i) + (in.ConsumeBool() ? ".tif" : "");
    if (in.ConsumeIntegralInRange(0, 9) == 0) name = std::string(300, 'n');
    names.push_back(name);
    std::string job = "{\"itemName\": " + JsonText(name);
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        job += ", \"documentName\": null";
        break;
      case 1:
        job += ", \"documentName\": \"logo.gif\"";
        break;
      case 2:
        job += ", \"documentName\": " + JsonText(in.ConsumeRandomLengthString(300));
        break;
    }
    static const char* const kOwners[] = {"", ", \"owner\": null", ", \"owner\": \"not a sid\"",
                                          ", \"owner\": \"S-1-5-21-1-2-3-1107\""};
    job += kOwners[in.ConsumeIntegralInRange(0, 3)];
    if (in.ConsumeBool()) job += ", \"itemId\": null";
    job += ", \"state\": " + std::to_string(in.ConsumeIntegralInRange(1, 2));
    job += ", \"pages\": " + std::to_string(in.ConsumeIntegralInRange(1, 3));
    job += ", \"width\": " + std::to_string(in.ConsumeIntegralInRange(1, 40));
    job += ", \"height\": " + std::to_string(in.ConsumeIntegralInRange(1, 40));
    job += ", \"dataType\": " + std::to_string(in.ConsumeIntegralInRange(0, 3));
    static const int kDelivered[] = {1, 8, 24};
    job += ", \"deliveredDepth\": " + std::to_string(kDelivered[in.ConsumeIntegralInRange(0, 2)]);
    job += ", \"depth\": " + std::to_string(in.ConsumeIntegralInRange(-32768, 32767));
    job += ", \"resolution\": " + std::to_string(in.ConsumeIntegral<int32_t>());
    job += ", \"fileFormat\": " + std::to_string(in.ConsumeIntegralInRange(-1, 6));
    job += ", \"planar\": " + std::to_string(in.ConsumeIntegralInRange(0, 3));
    if (in.ConsumeBool()) job += ", \"time\": null";
    if (in.ConsumeBool()) job += ", \"compression\": null";
    // Records of the same identifier again, and some left out.
    static const int kIds[] = {3096, 4100, 4103, 4104, 4107, 4111, 4112, 4114, 4116, 6147, 38933};
    std::string extra, omit;
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
      extra += (extra.empty() ? "" : ", ") + std::string("{\"id\": ") +
               std::to_string(kIds[in.ConsumeIntegralInRange(0, 10)]) +
               ", \"value\": " + std::to_string(in.ConsumeIntegral<int32_t>()) + "}";
    }
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n)
      omit += (omit.empty() ? "" : ", ") + std::to_string(kIds[in.ConsumeIntegralInRange(0, 10)]);
    job += ", \"properties\": [" + extra + "], \"omit\": [" + omit + "]}";
    jobs += (i == 0 ? "" : ", ") + job;
  }

  std::string settings;
  static const int kSettingIds[] = {4103,  6147,  38917, 38918, 38920,
                                    38933, 38936, 38938, 38949, 38953};
  for (int id : kSettingIds) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) continue;  // a record the block lacks
    settings += (settings.empty() ? "" : ", ") + std::string("{\"id\": ") + std::to_string(id) +
                ", \"value\": " + std::to_string(in.ConsumeIntegralInRange(-2, 14)) + "}";
  }

  std::string faults;
  static const char* const kTargets[] = {"4101",           "4103",
                                         "4104",           "4105",
                                         "4107",           "4108",
                                         "4110",           "4111",
                                         "4112",           "4113",
                                         "4114",           "4115",
                                         "4118",           "4119",
                                         "4122",           "\"lock\"",
                                         "\"unlock\"",     "\"createDevice\"",
                                         "\"deviceInfo\"", "\"createInstance\""};
  for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
    const std::string target = kTargets[in.ConsumeIntegralInRange(0, 19)];
    std::string fault = "{\"target\": " + target;
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        fault +=
            ", \"mode\": \"fail\", \"hresult\": " +
            std::to_string(static_cast<uint32_t>(kFaultResults[in.ConsumeIntegralInRange(0, 3)]));
        break;
      case 1:
        fault += target == "\"lock\"" ? ", \"mode\": \"timeout\"" : ", \"mode\": \"empty\"";
        break;
      case 2:
        fault += ", \"mode\": \"mismatch\", \"countDelta\": " +
                 std::to_string(in.ConsumeIntegralInRange(-3, 3));
        break;
      default:
        fault += ", \"mode\": \"empty\"";
    }
    fault += ", \"skip\": " + std::to_string(in.ConsumeIntegralInRange(0, 5)) +
             ", \"times\": " + std::to_string(in.ConsumeIntegralInRange(0, 3)) + "}";
    faults += (faults.empty() ? "" : ", ") + fault;
  }

  // One value of each conduct member; the first of each is the default.
  static const char* const kConduct[][7] = {
      {"dataSizeWord", "delivered", "untouched", "zero", "total", "remaining", "beyond"},
      {"failedOut", "emptied", "kept"},
      {"blocks", "kept", "bound"},
      {"addresses", "fresh", "reused"},
      {"requestName", "terminated", "whole"},
      {"freedList", "emptied", "untouched", "scribbled"},
      {"discarded", "plain", "scribbled"},
      {"failedEscape", "clean", "partial"}};
  std::string conduct;
  for (const auto& member : kConduct) {
    int values = 0;
    while (values + 1 < 7 && member[values + 1] != nullptr) ++values;
    conduct += std::string(conduct.empty() ? "" : ", ") + "\"" + member[0] + "\": \"" +
               member[1 + in.ConsumeIntegralInRange(0, values - 1)] + "\"";
  }

  return R"({"name": "fuzz", "lockTimeoutMs": 1, "conduct": {)" + conduct + R"(}, "devices": [
      {"index": 0, "description": "Tarvo Alder 5100MFP TWAIN", "localName": "Lab",
       "deviceData": {"FilingPath": "C:\\Spool", "UserDataKey": "Software\\Fuzz\\Lab"},
       "users": [{"storeId": "ann", "pin": "4711"}], "settings": [)" +
         settings + R"(],
       "capabilities": [{"id": 38935, "value": 1}], "jobs": [)" +
         jobs + R"(]},
      {"index": 1, "description": "Tarvo Quartz TWAIN Scanner", "localName": "Floor"}],
      "faults": [)" +
         faults + "]}";
}

struct Caller {
  FuzzedDataProvider& in;
  IStiScannerComBridge* bridge;
  const std::vector<std::string>& names;
  int count = 0;

  int Index()
  {
    const int choices[] = {-2, -1, 0, 1, 2, 3, count - 1, count, count + 1, INT_MAX, INT_MIN};
    return in.ConsumeBool() ? choices[in.ConsumeIntegralInRange(0, 10)]
                            : in.ConsumeIntegral<int32_t>();
  }
  // A string argument: null, empty, a job's name, a scanner's name or text.
  Text String()
  {
    std::string s;
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
        s = "";
        break;
      case 1:
        s = names.empty() ? "j0" : names[in.ConsumeIntegralInRange<size_t>(0, names.size() - 1)];
        break;
      case 2:
        s = in.ConsumeBool() ? "Lab" : "Floor";
        break;
      case 3:
        s = std::string(in.ConsumeIntegralInRange(250, 400), 'w');
        break;
      default:
        s = in.ConsumeRandomLengthString(40);
    }
    return Text(s.begin(), s.end());
  }
  short Short() { return in.ConsumeIntegral<int16_t>(); }
  int Size()
  {
    const int sizes[] = {0, 1, 20, 39, 40, 64, 4096, 70000};
    return sizes[in.ConsumeIntegralInRange(0, 7)];
  }
};

void Call(Caller& c, int method)
{
  IStiScannerComBridge* b = c.bridge;
  FuzzedDataProvider& in = c.in;
  HRESULT hr = S_OK;
  Allowed allowed = Allowed::PassesOn;
  int out = in.ConsumeIntegral<int32_t>(), out2 = in.ConsumeIntegral<int32_t>();
  BSTR s1 = nullptr, s2 = nullptr;
  const bool nullString = in.ConsumeIntegralInRange(0, 7) == 0;
  Text text = c.String();
  WCHAR* arg = nullString ? nullptr : text.data();
  STI_TRANSFER_REQUEST request = {};
  request.operation = in.ConsumeIntegralInRange(0u, 3u);
  static const DWORD kFormats[] = {0, 1, 2, 5, 9};
  request.formatCode = kFormats[in.ConsumeIntegralInRange(0, 4)];
  request.page = in.ConsumeIntegralInRange(0u, 4u);
  request.pageCount = in.ConsumeIntegralInRange(0u, 2u);
  request.itemName = in.ConsumeIntegralInRange(0, 9) == 0 ? nullptr : text.data();
  std::vector<BYTE> buffer(static_cast<size_t>(c.Size()));
  short v[5] = {};
  switch (method) {
    case 0:
      hr = b->Reserved1();
      allowed = Allowed::Trivial;
      break;
    case 1:
      hr = b->SetPagesRemaining(in.ConsumeIntegral<int32_t>());
      allowed = Allowed::Trivial;
      break;
    case 2:
      hr = b->InitializeSti();
      break;
    case 3:
      hr = b->SelectLaunchDevice();
      break;
    case 4:
      hr = b->AdvancePage(in.ConsumeIntegralInRange(-1, 2), &out, in.ConsumeIntegralInRange(0, 1));
      break;
    case 5:
      hr = b->RefreshItemList(&out);
      if (hr == S_OK) c.count = out;
      break;
    case 6:
      hr = b->GetItemPreview(c.Index(), &s1, &s2);
      break;
    case 7:
      hr = b->DeleteItem(c.Index());
      break;
    case 8:
      out = in.ConsumeIntegralInRange(-1, 3);
      hr = b->EnumerateDevices(&out, &s1);
      break;
    case 9:
      hr = b->SelectDeviceByName(arg, &out);
      break;
    case 10: {
      Text qualifier = c.String(), store = in.ConsumeBool() ? Text(u"ann") : c.String();
      hr = b->OpenDevice(qualifier.data(), arg, store.data());
      break;
    }
    case 11:
      hr = b->ReleaseItemList();
      break;
    case 12: {
      TW_IMAGEINFO info = {};
      hr = b->GetImageInfo(&info, in.ConsumeIntegralInRange(0, 1));
      break;
    }
    case 13:
      hr = b->PrepareTransfer(0, 0, in.ConsumeIntegralInRange(-1, 3), 0, 0, 0, 0, 0, &out);
      break;
    case 14:
      hr = b->RegisterEvents();
      break;
    case 15:
      hr = b->UnregisterEvents();
      break;
    case 16: {
      std::vector<int> indices(static_cast<size_t>(in.ConsumeIntegralInRange(0, 5)));
      for (int& i : indices) i = c.Index();
      const int n = in.ConsumeBool()
                        ? static_cast<int>(indices.size())
                        : in.ConsumeIntegralInRange(-2, static_cast<int>(indices.size()));
      hr = b->SetSelection(in.ConsumeIntegralInRange(0, 9) == 0 ? nullptr : indices.data(), n);
      break;
    }
    case 17:
      hr = b->SelectItemByName(in.ConsumeIntegralInRange(0, 1), &out, arg,
                               in.ConsumeIntegral<int16_t>());
      break;
    case 18:
      hr = b->GetDeleteImageOnScan(&out);
      break;
    case 19:
      hr = b->GetItemFlag(c.Index(), &out);
      allowed = Allowed::Trivial;
      break;
    case 20:
      hr = b->SendScanSettings();
      break;
    case 21:
      hr = b->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]);
      break;
    case 22:
      hr =
          b->SetScanSettings(arg, c.Short(), c.Short(), c.Short(), c.Short(), c.Short(), c.Short());
      break;
    case 23:
      hr = b->BeginAccess();
      allowed = Allowed::AccessBracket;
      break;
    case 24:
      hr = b->EndAccess();
      allowed = Allowed::AccessBracket;
      break;
    case 25:
      hr = b->GetCurrentItemFormat(&v[0]);
      break;
    case 26: {
      int pixel = 0, resolution = 0, pages = 0, size = 0;
      hr = b->GetItemInfo(c.Index(), &s1, in.ConsumeBool() ? &out : nullptr, &pixel, &resolution,
                          &pages, &size);
      allowed = Allowed::Own;
      break;
    }
    case 27: {
      SYSTEMTIME time = {};
      hr = b->GetItemTime(c.Index(), &time);
      allowed = Allowed::Own;
      break;
    }
    case 28:
      hr = b->GetImageByteCount(&out);
      break;
    case 29:
      hr = b->GetCapabilityFlag(&out);
      allowed = Allowed::Trivial;
      break;
    case 30:
      hr = b->GetLastItemIndex(&out);
      allowed = Allowed::Trivial;
      break;
    case 31:
      hr = b->Close();
      allowed = Allowed::Close;
      break;
    case 32:
      hr = b->ApplyUserPin();
      break;
    case 33: {
      WCHAR name[260];
      hr = b->FindItemNameByDriverValue(in.ConsumeIntegralInRange(0, 9) == 0 ? nullptr : name);
      break;
    }
    case 34:
      hr = b->GetDeviceFamily(&out);
      allowed = Allowed::Trivial;
      break;
    case 35:
      hr = b->ReleaseScanSettings();
      break;
    case 36:
      hr = b->ReleaseCapabilities();
      break;
    case 37:
      hr = b->GetCurrentItemName(&s1, &out);
      allowed = Allowed::Own;
      break;
    case 38: {
      const int size = in.ConsumeIntegralInRange(0, 9) == 0 ? -1 : static_cast<int>(buffer.size());
      hr = b->ReadImageData(&request, buffer.empty() ? nullptr : buffer.data(), size, &out);
      break;
    }
    case 39:
      hr = b->ReadItemString(&request, &s1, &out, &out2);
      break;
    case 40:
      hr = b->GetPagePosition(&out, &out2);
      allowed = Allowed::Trivial;
      break;
    case 41:
      hr = b->QueryTransferSize(&request, &out, &out2);
      break;
    case 42:
      hr = b->ReadImageHeader(&request, buffer.empty() ? nullptr : buffer.data(),
                              static_cast<int>(buffer.size()), &out);
      break;
    default:
      hr = b->GetServerFileName(&s1);
      allowed = Allowed::Own;
  }
  SysFreeString(s1);
  SysFreeString(s2);
  FUZZ_CHECK(IsAllowed(allowed, hr), "method %d answered 0x%08lX", method,
             static_cast<unsigned long>(static_cast<uint32_t>(hr)));
}

// The journal's first breach and the escape before it, for the report.
std::string FirstBreach()
{
  StiSimJournalEntry entry{}, escape{};
  for (DWORD i = 0; StiSimJournalAt(i, &entry); ++i) {
    if (entry.kind == STISIM_JOURNAL_ESCAPE) escape = entry;
    if (entry.kind != STISIM_JOURNAL_BREACH) continue;
    const char* name = StiSimBreachName(entry.breach);
    return std::string(name != nullptr ? name : "?") + " in escape " + std::to_string(entry.code) +
           " (object " + std::to_string(escape.object) + ", size word " +
           std::to_string(escape.sizeBefore) + ", entry " + std::to_string(i) + ")";
  }
  return "none in the journal";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  SetQuitActionForTesting([] {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  FuzzedDataProvider in(data, size);
  std::vector<std::string> names;
  const std::string scenario = Scenario(in, names);
  if (StiSimLoadScenarioJson(scenario.c_str()) != S_OK) return 0;
  StiSimSetLockTimeoutOverride(1);

  CUnknown* object = nullptr;
  FUZZ_CHECK(SUCCEEDED(CreateBridgeObject(nullptr, &object)), "the object could not be made");
  IStiScannerComBridge* bridge = nullptr;
  object->NondelegatingQueryInterface(IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge));
  object->NondelegatingRelease();

  Caller caller{in, bridge, names};
  // A session's start most of the time, so that the calls reach the driver.
  if (in.ConsumeBool()) {
    bridge->InitializeSti();
    bridge->SelectLaunchDevice();
    WCHAR qualifier[] = u"LAB", profile[] = u"ann", store[] = u"ann";
    bridge->OpenDevice(qualifier, profile, store);
  }
  for (int calls = 0; calls < 64 && in.remaining_bytes() > 0; ++calls)
    Call(caller, in.ConsumeIntegralInRange(0, 43));

  FUZZ_CHECK(bridge->Close() == S_OK, "Close failed");
  FUZZ_CHECK(bridge->Release() == 0, "references left after the last Release");
  FUZZ_CHECK(objectCount == 0, "an object outlived its last Release");
  FUZZ_CHECK(StiSimBreachCount() == 0, "the driver saw %lu breaches of the protocol: %s",
             static_cast<unsigned long>(StiSimBreachCount()), FirstBreach().c_str());
  StiSimClearFaults();
  StiSimSetLockTimeoutOverride(0);
  return 0;
}
