#include "table.h"

#include <climits>
#include <cstring>
#include <utility>

namespace conformance {

namespace {

using Text = std::basic_string<WCHAR>;
using Body = std::function<void(Calls&, IStiScannerComBridge*)>;

// What a caller puts into every [in, out] value before a call, so that a
// value the call leaves alone shows as the caller's own.
constexpr int kCallerInt = 4242;
constexpr short kCallerShort = 42;
constexpr unsigned char kCallerByte = 0xA5;
const WCHAR kCallerText[] = W("caller's own");

// The objects of a run: F is the fresh object every method is tried on, A
// the one that goes through a whole session, B the second object on the
// other scanner, C the one that selects the launch device and is dropped
// without Close.
constexpr int A = 0;
constexpr int B = 1;
constexpr int C = 2;
constexpr int F = 3;
static_assert(F < kObjects);

// The scenario (scenario.json): scanners, the user keys they name, jobs.
const WCHAR kOffice[] = W("Office MFP");
const WCHAR kFloor[] = W("Floor 3");
const WCHAR kOfficeKey[] = W("Software\\StibridgeConformance\\Office");
const WCHAR kFloorKey[] = W("Software\\StibridgeConformance\\Floor3");
const WCHAR kColour[] = W("page0001.tif");
const WCHAR kGrey[] = W("grey0002.bmp");
const WCHAR kOneBit[] = W("bw0003.tif");
const WCHAR kBusy[] = W("busy0005.tif");
const WCHAR kGif[] = W("logo0006.gif");
const WCHAR kFloorGrey[] = W("q0002");

Text LongItemName()
{
  return Text(W("long-")) + Text(291, W('x')) + W(".tif");
}

// Profile strings of 300 units, which the server cuts to 259.
const Text kLongQualifier(300, W('q'));
const Text kLongProfile(300, W('n'));

// Why a field may differ across the process boundary.
const char kNullReference[] =
    "the proxy refuses a null reference pointer with 0x800706F4 before the call leaves the client";
const char kOutBuffer[] =
    "an [out] buffer takes nothing of the caller's into the call: where the server does not write "
    "it, the client gets the stub's zero-filled buffer, not its own bytes";
const char kProxyMarshal[] =
    "the client's proxy manager answers IMarshal itself; the server's object does not have it";
const char kProxyCounts[] =
    "AddRef and Release of a proxy count the proxy's references, not the server object's";
const char kNegativeSize[] =
    "a negative size_is cannot be marshalled: the call fails in the proxy or the stub before the "
    "server sees it";
const char kNegativeOut[] =
    "a negative size_is cannot be marshalled: the stub refuses the call before the server sees "
    "it, and the proxy, clearing the [out] buffer of that size as it gives up, writes past the "
    "caller's buffer until it faults (the result is the stub's or the fault's code)";
const char kNullReferenceClears[] =
    "the proxy refuses a null reference pointer with 0x800706F4 before the call leaves the "
    "client, and zero-fills the caller's [out] buffer as it gives up";
const char kNullBuffer[] =
    "the proxy refuses a null [out] buffer with 0x800706F4; in-process the server takes it as a "
    "read that fails (status 1) after asking the driver";
const char kEmptyBuffer[] =
    "a buffer of size 0 reaches the server as a null pointer from the stub, so the driver is "
    "sent an escape without output, which it answers as a size query; in-process it is sent the "
    "caller's empty buffer, which it refuses; the client sees status 1 either way";

std::string Narrow(const WCHAR* text)
{
  if (text == nullptr) return "null";
  size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > 40) return "<" + std::to_string(length) + " units>";
  return "\"" + Recorder::Escaped(text, length) + "\"";
}

std::string Narrow(const Text& text)
{
  return Narrow(text.c_str());
}

// A BSTR slot of the caller's: its own string (or null) before the call, and
// whatever the call left there is freed after it, once.
class BstrSlot {
 public:
  explicit BstrSlot(const WCHAR* initial) : value(initial ? SysAllocString(initial) : nullptr) {}
  ~BstrSlot() { SysFreeString(value); }
  BstrSlot(const BstrSlot&) = delete;
  BstrSlot& operator=(const BstrSlot&) = delete;
  BSTR* Put() { return &value; }
  BSTR value;
};

std::string SlotArg(const WCHAR* initial)
{
  return initial == nullptr ? "&null" : "&" + Narrow(initial);
}

// A structure with guard bytes on both sides, all of it filled with the
// caller's byte: a call that writes more or less than the structure shows.
template <typename T>
struct Guarded {
  unsigned char before[8];
  T value;
  unsigned char after[8];

  Guarded() { std::memset(static_cast<void*>(this), kCallerByte, sizeof *this); }
  void Record(Recorder& record, const std::string& name) const
  {
    record.Bytes(name, &value, sizeof value);
    bool intact = true;
    for (size_t i = 0; i < sizeof before; ++i)
      intact = intact && before[i] == kCallerByte && after[i] == kCallerByte;
    record.Field(name + ".guards", intact ? "intact" : "overwritten");
  }
};

// A transfer request with the item name in the caller's own buffer.
struct RequestFields {
  ULONG operation;
  ULONG formatCode;
  ULONG page;
  ULONG pageCount;
  Text name;
  bool nullName = false;
};

RequestFields Native(const WCHAR* name)
{
  return {1, 0, 0, 0, name};
}
RequestFields Memory(const WCHAR* name)
{
  return {0, 0, 1, 0, name};
}
RequestFields File(const WCHAR* name, ULONG format, ULONG page = 0)
{
  return {2, format, page, 0, name};
}

std::string Describe(const RequestFields& r)
{
  return "{op=" + std::to_string(r.operation) + " format=" + std::to_string(r.formatCode) +
         " page=" + std::to_string(r.page) + " pageCount=" + std::to_string(r.pageCount) +
         " name=" + (r.nullName ? std::string("null") : Narrow(r.name)) + "}";
}

class Request {
 public:
  explicit Request(const RequestFields& asked)
  {
    block.operation = asked.operation;
    block.formatCode = asked.formatCode;
    block.page = asked.page;
    block.pageCount = asked.pageCount;
    block.value = 7;
    block.formatChanged = 0;
    std::memset(name, 0, sizeof name);
    for (size_t i = 0; i < asked.name.size() && i + 1 < kNameUnits; ++i) name[i] = asked.name[i];
    block.itemName = asked.nullName ? nullptr : name;
  }
  // The request as the caller sees it after the call.
  void Record(Recorder& record) const
  {
    record.Field("request", "op=" + std::to_string(block.operation) +
                                " format=" + std::to_string(block.formatCode) +
                                " page=" + std::to_string(block.page) +
                                " pageCount=" + std::to_string(block.pageCount) +
                                " value=" + std::to_string(block.value) +
                                " formatChanged=" + std::to_string(block.formatChanged));
    record.Field("request.itemName", block.itemName == nullptr ? "null"
                                     : block.itemName == name  ? "the caller's buffer"
                                                               : "moved");
    record.Wide("request.name", name, kNameUnits);
  }

  static constexpr size_t kNameUnits = 400;
  STI_TRANSFER_REQUEST block{};
  WCHAR name[kNameUnits];
};

class Builder {
 public:
  explicit Builder(std::vector<Row>& rows) : rows_(rows) {}

  void Phase(const std::string& phase) { phase_ = phase; }

  void Add(int object, const std::string& label, const std::string& method, const std::string& call,
           Body body, const std::string& mayDiffer = {}, const std::string& why = {})
  {
    rows_.push_back({phase_ + "/" + label, method, call, mayDiffer, why, object, std::move(body)});
  }

 private:
  std::vector<Row>& rows_;
  std::string phase_;
};

// One row per call shape. Each records the result and every value the
// caller can see afterwards.

void NoArguments(Builder& t, int o, const std::string& label, const std::string& method,
                 HRESULT (*call)(IStiScannerComBridge*))
{
  t.Add(o, label, method, method + "()",
        [call](Calls& c, IStiScannerComBridge* b) { c.record.Hr(call(b)); });
}

#define CALL_OF(method) [](IStiScannerComBridge* b) -> HRESULT { return b->method(); }

void Reserved1(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "Reserved1", CALL_OF(Reserved1));
}
void Reserved2(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "Reserved2", CALL_OF(Reserved2));
}
void InitializeSti(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "InitializeSti", CALL_OF(InitializeSti));
}
void SelectLaunchDevice(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "SelectLaunchDevice", CALL_OF(SelectLaunchDevice));
}
void ReleaseItemList(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "ReleaseItemList", CALL_OF(ReleaseItemList));
}
void RegisterEvents(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "RegisterEvents", CALL_OF(RegisterEvents));
}
void UnregisterEvents(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "UnregisterEvents", CALL_OF(UnregisterEvents));
}
void SendScanSettings(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "SendScanSettings", CALL_OF(SendScanSettings));
}
void BeginAccess(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "BeginAccess", CALL_OF(BeginAccess));
}
void EndAccess(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "EndAccess", CALL_OF(EndAccess));
}
void Close(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "Close", CALL_OF(Close));
}
void ApplyUserPin(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "ApplyUserPin", CALL_OF(ApplyUserPin));
}
void ReleaseScanSettings(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "ReleaseScanSettings", CALL_OF(ReleaseScanSettings));
}
void ReleaseCapabilities(Builder& t, int o, const std::string& label)
{
  NoArguments(t, o, label, "ReleaseCapabilities", CALL_OF(ReleaseCapabilities));
}

#undef CALL_OF

// A method whose only parameter is an [in, out] int.
void OneInt(Builder& t, int o, const std::string& label, const std::string& method,
            const std::string& field, HRESULT (*call)(IStiScannerComBridge*, int*))
{
  t.Add(o, label, method, method + "(&" + field + "=4242)",
        [call, field](Calls& c, IStiScannerComBridge* b) {
          int value = kCallerInt;
          c.record.Hr(call(b, &value));
          c.record.Int(field, value);
        });
}

void RefreshItemList(Builder& t, int o, const std::string& label)
{
  OneInt(t, o, label, "RefreshItemList", "count",
         [](IStiScannerComBridge* b, int* v) { return b->RefreshItemList(v); });
}
void GetDeleteImageOnScan(Builder& t, int o, const std::string& label)
{
  OneInt(t, o, label, "GetDeleteImageOnScan", "on",
         [](IStiScannerComBridge* b, int* v) { return b->GetDeleteImageOnScan(v); });
}
void GetImageByteCount(Builder& t, int o, const std::string& label)
{
  OneInt(t, o, label, "GetImageByteCount", "count",
         [](IStiScannerComBridge* b, int* v) { return b->GetImageByteCount(v); });
}
void GetCapabilityFlag(Builder& t, int o, const std::string& label)
{
  OneInt(t, o, label, "GetCapabilityFlag", "flag",
         [](IStiScannerComBridge* b, int* v) { return b->GetCapabilityFlag(v); });
}
void GetLastItemIndex(Builder& t, int o, const std::string& label)
{
  OneInt(t, o, label, "GetLastItemIndex", "index",
         [](IStiScannerComBridge* b, int* v) { return b->GetLastItemIndex(v); });
}
void GetDeviceFamily(Builder& t, int o, const std::string& label)
{
  OneInt(t, o, label, "GetDeviceFamily", "family",
         [](IStiScannerComBridge* b, int* v) { return b->GetDeviceFamily(v); });
}

void SetPagesRemaining(Builder& t, int o, const std::string& label, int pages)
{
  t.Add(o, label, "SetPagesRemaining", "SetPagesRemaining(" + std::to_string(pages) + ")",
        [pages](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->SetPagesRemaining(pages)); });
}

void AdvancePage(Builder& t, int o, const std::string& label, int mode, int deleteWhenDone)
{
  t.Add(o, label, "AdvancePage",
        "AdvancePage(" + std::to_string(mode) + ", &pagesLeft=4242, " +
            std::to_string(deleteWhenDone) + ")",
        [mode, deleteWhenDone](Calls& c, IStiScannerComBridge* b) {
          int left = kCallerInt;
          c.record.Hr(b->AdvancePage(mode, &left, deleteWhenDone));
          c.record.Int("pagesLeft", left);
        });
}

void GetItemPreview(Builder& t, int o, const std::string& label, int index,
                    const WCHAR* documentInitial = kCallerText,
                    const WCHAR* thumbnailInitial = kCallerText)
{
  t.Add(o, label, "GetItemPreview",
        "GetItemPreview(" + std::to_string(index) + ", " + SlotArg(documentInitial) + ", " +
            SlotArg(thumbnailInitial) + ")",
        [index, documentInitial, thumbnailInitial](Calls& c, IStiScannerComBridge* b) {
          BstrSlot document(documentInitial), thumbnail(thumbnailInitial);
          c.record.Hr(b->GetItemPreview(index, document.Put(), thumbnail.Put()));
          c.record.Bstr("documentName", document.value);
          c.record.Bstr("thumbnailPath", thumbnail.value);
        });
}

void DeleteItem(Builder& t, int o, const std::string& label, int index)
{
  t.Add(o, label, "DeleteItem", "DeleteItem(" + std::to_string(index) + ")",
        [index](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->DeleteItem(index)); });
}

void EnumerateDevices(Builder& t, int o, const std::string& label, int count,
                      const WCHAR* namesInitial = kCallerText)
{
  t.Add(o, label, "EnumerateDevices",
        "EnumerateDevices(&count=" + std::to_string(count) + ", " + SlotArg(namesInitial) + ")",
        [count, namesInitial](Calls& c, IStiScannerComBridge* b) {
          int n = count;
          BstrSlot names(namesInitial);
          c.record.Hr(b->EnumerateDevices(&n, names.Put()));
          c.record.Int("count", n);
          c.record.Bstr("names", names.value);
        });
}

void SelectDeviceByName(Builder& t, int o, const std::string& label, const WCHAR* name)
{
  t.Add(o, label, "SelectDeviceByName", "SelectDeviceByName(" + Narrow(name) + ", &family=4242)",
        [name](Calls& c, IStiScannerComBridge* b) {
          Text copy = name != nullptr ? Text(name) : Text();
          int family = kCallerInt;
          c.record.Hr(b->SelectDeviceByName(name != nullptr ? copy.data() : nullptr, &family));
          c.record.Int("family", family);
        });
}

void OpenDevice(Builder& t, int o, const std::string& label, const WCHAR* qualifier,
                const WCHAR* profile, const WCHAR* store)
{
  t.Add(o, label, "OpenDevice",
        "OpenDevice(" + Narrow(qualifier) + ", " + Narrow(profile) + ", " + Narrow(store) + ")",
        [qualifier, profile, store](Calls& c, IStiScannerComBridge* b) {
          Text q = qualifier ? Text(qualifier) : Text();
          Text p = profile ? Text(profile) : Text();
          Text s = store ? Text(store) : Text();
          c.record.Hr(b->OpenDevice(qualifier ? q.data() : nullptr, profile ? p.data() : nullptr,
                                    store ? s.data() : nullptr));
        });
}

void GetImageInfo(Builder& t, int o, const std::string& label, int refresh)
{
  t.Add(o, label, "GetImageInfo", "GetImageInfo(&info=A5..., " + std::to_string(refresh) + ")",
        [refresh](Calls& c, IStiScannerComBridge* b) {
          Guarded<TW_IMAGEINFO> info;
          c.record.Hr(b->GetImageInfo(&info.value, refresh));
          info.Record(c.record, "info");
        });
}

void PrepareTransfer(Builder& t, int o, const std::string& label, int mechanism, int fileFormat)
{
  t.Add(o, label, "PrepareTransfer",
        "PrepareTransfer(11, 12, " + std::to_string(mechanism) + ", 13, 14, 9, " +
            std::to_string(fileFormat) + ", 15, &status=4242)",
        [mechanism, fileFormat](Calls& c, IStiScannerComBridge* b) {
          int status = kCallerInt;
          c.record.Hr(b->PrepareTransfer(11, 12, mechanism, 13, 14, 9, fileFormat, 15, &status));
          c.record.Int("status", status);
        });
}

void SetSelection(Builder& t, int o, const std::string& label, std::vector<int> indices, int count,
                  bool nullIndices = false, const std::string& mayDiffer = {},
                  const std::string& why = {})
{
  std::string shown;
  if (nullIndices) {
    shown = "null";
  } else if (indices.size() > 8) {
    shown = "{" + std::to_string(indices.size()) + " x " + std::to_string(indices[0]) + "}";
  } else {
    for (int i : indices) shown += (shown.empty() ? "" : ", ") + std::to_string(i);
    shown = "{" + shown + "}";
  }
  t.Add(
      o, label, "SetSelection", "SetSelection(" + shown + ", " + std::to_string(count) + ")",
      [indices, count, nullIndices](Calls& c, IStiScannerComBridge* b) {
        // At least one entry, so that a count of 0 still passes a pointer.
        std::vector<int> array = indices;
        if (array.empty()) array.push_back(kCallerInt);
        c.record.Hr(b->SetSelection(nullIndices ? nullptr : array.data(), count));
        std::string after;
        for (size_t i = 0; i < indices.size() && i < 8; ++i)
          after += (i ? " " : "") + std::to_string(array[i]);
        c.record.Field("indices", after);
      },
      mayDiffer, why);
}

void SelectItemByName(Builder& t, int o, const std::string& label, int checkDepth,
                      const WCHAR* name, int depth)
{
  t.Add(o, label, "SelectItemByName",
        "SelectItemByName(" + std::to_string(checkDepth) + ", &pages=4242, " + Narrow(name) + ", " +
            std::to_string(depth) + ")",
        [checkDepth, name, depth](Calls& c, IStiScannerComBridge* b) {
          Text copy = name != nullptr ? Text(name) : Text();
          int pages = kCallerInt;
          c.record.Hr(b->SelectItemByName(checkDepth, &pages, name ? copy.data() : nullptr, depth));
          c.record.Int("pages", pages);
        });
}

void GetItemFlag(Builder& t, int o, const std::string& label, int index)
{
  t.Add(o, label, "GetItemFlag", "GetItemFlag(" + std::to_string(index) + ", &flag=4242)",
        [index](Calls& c, IStiScannerComBridge* b) {
          int flag = kCallerInt;
          c.record.Hr(b->GetItemFlag(index, &flag));
          c.record.Int("flag", flag);
        });
}

void GetScanSettings(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "GetScanSettings", "GetScanSettings(&42, &42, &42, &42, &42)",
        [](Calls& c, IStiScannerComBridge* b) {
          short pixelType = kCallerShort, paperSize = kCallerShort, resolution = kCallerShort,
                fileFormat = kCallerShort, optionFlag = kCallerShort;
          c.record.Hr(
              b->GetScanSettings(&pixelType, &paperSize, &resolution, &fileFormat, &optionFlag));
          c.record.Int("pixelType", pixelType);
          c.record.Int("paperSize", paperSize);
          c.record.Int("resolution", resolution);
          c.record.Int("fileFormat", fileFormat);
          c.record.Int("optionFlag", optionFlag);
        });
}

struct Settings {
  short pixelType, paperSize, resolution, fileFormat, sizeFlag, optionFlag;
};

void SetScanSettings(Builder& t, int o, const std::string& label, const WCHAR* title,
                     Settings s = {2, 1, 300, 2, 0, 1})
{
  t.Add(o, label, "SetScanSettings",
        "SetScanSettings(" + Narrow(title) + ", " + std::to_string(s.pixelType) + ", " +
            std::to_string(s.paperSize) + ", " + std::to_string(s.resolution) + ", " +
            std::to_string(s.fileFormat) + ", " + std::to_string(s.sizeFlag) + ", " +
            std::to_string(s.optionFlag) + ")",
        [title, s](Calls& c, IStiScannerComBridge* b) {
          Text copy = title != nullptr ? Text(title) : Text();
          c.record.Hr(b->SetScanSettings(title ? copy.data() : nullptr, s.pixelType, s.paperSize,
                                         s.resolution, s.fileFormat, s.sizeFlag, s.optionFlag));
        });
}

void GetCurrentItemFormat(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "GetCurrentItemFormat", "GetCurrentItemFormat(&fileFormat=42)",
        [](Calls& c, IStiScannerComBridge* b) {
          short format = kCallerShort;
          c.record.Hr(b->GetCurrentItemFormat(&format));
          c.record.Int("fileFormat", format);
        });
}

void GetItemInfo(Builder& t, int o, const std::string& label, int index, bool nullIgnored = false)
{
  t.Add(o, label, "GetItemInfo",
        "GetItemInfo(" + std::to_string(index) + ", &\"caller's own\", " +
            (nullIgnored ? "null" : "&4242") + ", &4242, &4242, &4242, &4242)",
        [index, nullIgnored](Calls& c, IStiScannerComBridge* b) {
          BstrSlot document(kCallerText);
          int ignored = kCallerInt, pixelType = kCallerInt, resolution = kCallerInt,
              pages = kCallerInt, size = kCallerInt;
          c.record.Hr(b->GetItemInfo(index, document.Put(), nullIgnored ? nullptr : &ignored,
                                     &pixelType, &resolution, &pages, &size));
          c.record.Bstr("documentName", document.value);
          c.record.Int("ignored", ignored);
          c.record.Int("pixelType", pixelType);
          c.record.Int("resolution", resolution);
          c.record.Int("pages", pages);
          c.record.Int("itemSize", size);
        });
}

void GetItemTime(Builder& t, int o, const std::string& label, int index)
{
  t.Add(o, label, "GetItemTime", "GetItemTime(" + std::to_string(index) + ", &time=A5...)",
        [index](Calls& c, IStiScannerComBridge* b) {
          Guarded<SYSTEMTIME> time;
          c.record.Hr(b->GetItemTime(index, &time.value));
          time.Record(c.record, "time");
        });
}

void FindItemNameByDriverValue(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "FindItemNameByDriverValue", "FindItemNameByDriverValue(name[260]='#'...)",
        [](Calls& c, IStiScannerComBridge* b) {
          WCHAR name[260];
          for (WCHAR& unit : name) unit = W('#');
          c.record.Hr(b->FindItemNameByDriverValue(name));
          c.record.Wide("name", name, 260);
          c.record.Digest("name.units", name, sizeof name);
        });
}

void GetCurrentItemName(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "GetCurrentItemName", "GetCurrentItemName(&\"caller's own\", &page=4242)",
        [](Calls& c, IStiScannerComBridge* b) {
          BstrSlot name(kCallerText);
          int page = kCallerInt;
          c.record.Hr(b->GetCurrentItemName(name.Put(), &page));
          c.record.Bstr("name", name.value);
          c.record.Int("page", page);
        });
}

void GetPagePosition(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "GetPagePosition", "GetPagePosition(&page=4242, &pages=4242)",
        [](Calls& c, IStiScannerComBridge* b) {
          int page = kCallerInt, pages = kCallerInt;
          c.record.Hr(b->GetPagePosition(&page, &pages));
          c.record.Int("page", page);
          c.record.Int("pages", pages);
        });
}

void GetServerFileName(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "GetServerFileName", "GetServerFileName(&\"caller's own\")",
        [](Calls& c, IStiScannerComBridge* b) {
          BstrSlot name(kCallerText);
          c.record.Hr(b->GetServerFileName(name.Put()));
          c.record.Bstr("name", name.value);
        });
}

// The reads. Every read records the request as the caller sees it after
// the call: the server reads the walk's page from a copy of its own, so the
// caller's [in] request stays as it was on both sides of the boundary.
//
// The server writes no more of a read's buffer than the driver delivers, so
// past that the buffer holds the caller's bytes in-process and the stub's
// zeros across the boundary: the whole buffer may differ, but not its data,
// the buffer without its last run of the caller's bytes and zeros.
void ReadImageData(Builder& t, int o, const std::string& label, RequestFields asked, int size,
                   std::string mayDiffer = {}, std::string why = {})
{
  mayDiffer = mayDiffer.empty() ? "buffer" : mayDiffer + ",buffer";
  why = why.empty() ? kOutBuffer : why + "; " + kOutBuffer;
  t.Add(
      o, label, "ReadImageData",
      "ReadImageData(" + Describe(asked) + ", buffer=A5..., " + std::to_string(size) +
          ", &status=4242)",
      [asked, size](Calls& c, IStiScannerComBridge* b) {
        Request request(asked);
        // The caller's byte in the buffer and in a guard after it.
        const size_t bytes = size > 0 ? static_cast<size_t>(size) : 0;
        std::vector<unsigned char> buffer(bytes + 16, kCallerByte);
        int status = kCallerInt;
        c.record.Hr(b->ReadImageData(&request.block, buffer.data(), size, &status));
        c.record.Int("status", status);
        request.Record(c.record);
        c.record.Digest("buffer", buffer.data(), bytes);
        size_t data = bytes;
        while (data > 0 && (buffer[data - 1] == kCallerByte || buffer[data - 1] == 0)) --data;
        c.record.Digest("buffer.data", buffer.data(), data);
        bool intact = true;
        for (size_t i = bytes; i < buffer.size(); ++i) intact = intact && buffer[i] == kCallerByte;
        c.record.Field("buffer.guard", intact ? "intact" : "overwritten");
      },
      mayDiffer, why);
}

void ReadItemString(Builder& t, int o, const std::string& label, RequestFields asked)
{
  t.Add(o, label, "ReadItemString",
        "ReadItemString(" + Describe(asked) + ", &text=null, &length=4242, &status=4242)",
        [asked](Calls& c, IStiScannerComBridge* b) {
          Request request(asked);
          BstrSlot text(nullptr);
          int length = kCallerInt, status = kCallerInt;
          c.record.Hr(b->ReadItemString(&request.block, text.Put(), &length, &status));
          c.record.Bstr("text", text.value);
          c.record.Int("length", length);
          c.record.Int("status", status);
          request.Record(c.record);
        });
}

void QueryTransferSize(Builder& t, int o, const std::string& label, RequestFields asked)
{
  t.Add(o, label, "QueryTransferSize",
        "QueryTransferSize(" + Describe(asked) + ", &size=4242, &status=4242)",
        [asked](Calls& c, IStiScannerComBridge* b) {
          Request request(asked);
          int size = kCallerInt, status = kCallerInt;
          c.record.Hr(b->QueryTransferSize(&request.block, &size, &status));
          c.record.Int("size", size);
          c.record.Int("status", status);
          request.Record(c.record);
        });
}

void ReadImageHeader(Builder& t, int o, const std::string& label, RequestFields asked, int size,
                     bool nullHeader = false, const std::string& mayDiffer = {},
                     const std::string& why = {})
{
  t.Add(
      o, label, "ReadImageHeader",
      "ReadImageHeader(" + Describe(asked) + ", " + (nullHeader ? "null" : "header=A5...") + ", " +
          std::to_string(size) + ", &status=4242)",
      [asked, size, nullHeader](Calls& c, IStiScannerComBridge* b) {
        Request request(asked);
        const size_t bytes = size > 0 ? static_cast<size_t>(size) : 0;
        std::vector<unsigned char> header(bytes + 16, kCallerByte);
        int status = kCallerInt;
        c.record.Hr(b->ReadImageHeader(&request.block, nullHeader ? nullptr : header.data(), size,
                                       &status));
        c.record.Int("status", status);
        request.Record(c.record);
        c.record.Bytes("header", header.data(), bytes);
        bool intact = true;
        for (size_t i = bytes; i < header.size(); ++i) intact = intact && header[i] == kCallerByte;
        c.record.Field("header.guard", intact ? "intact" : "overwritten");
      },
      mayDiffer, why);
}

// IUnknown, through the interface pointer the caller holds.
void QueryInterface(Builder& t, int o, const std::string& label, const std::string& iidName,
                    const IID* iid, const std::string& mayDiffer = {}, const std::string& why = {})
{
  t.Add(
      o, label, "QueryInterface", "QueryInterface(" + iidName + ", &object)",
      [iid](Calls& c, IStiScannerComBridge* b) {
        void* object = nullptr;
        c.record.Hr(b->QueryInterface(*iid, &object));
        c.record.Field("object", object == nullptr ? "null" : "set");
        if (object == nullptr) return;
        // The identity rules: the same IUnknown every time; the bridge's own
        // interface is the pointer the caller already holds.
        IUnknown* identity = nullptr;
        b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
        IUnknown* again = nullptr;
        static_cast<IUnknown*>(object)->QueryInterface(IID_IUnknown,
                                                       reinterpret_cast<void**>(&again));
        c.record.Field("identity", identity != nullptr && identity == again ? "same" : "differs");
        c.record.Field("is-caller's-pointer", object == b ? "yes" : "no");
        if (identity) identity->Release();
        if (again) again->Release();
        static_cast<IUnknown*>(object)->Release();
      },
      mayDiffer, why);
}

void AddRef(Builder& t, int o, const std::string& label)
{
  t.Add(
      o, label, "AddRef", "AddRef()",
      [](Calls& c, IStiScannerComBridge* b) {
        c.record.Int("count", static_cast<long>(b->AddRef()));
      },
      "count", kProxyCounts);
}

// Release, the object's last one when `last` (the object is then gone).
void Release(Builder& t, int o, const std::string& label, bool last, const std::string& mayDiffer,
             const std::string& why)
{
  t.Add(
      o, label, "Release", "Release()",
      [o, last](Calls& c, IStiScannerComBridge* b) {
        c.record.Int("count", static_cast<long>(b->Release()));
        if (last) c.objects[o] = nullptr;
      },
      mayDiffer, why);
}

void Create(Builder& t, int o, const std::string& label)
{
  t.Add(o, label, "CreateInstance", "CoCreateInstance(CLSID_CStiScannerComBridge)",
        [o](Calls& c, IStiScannerComBridge*) {
          IStiScannerComBridge* bridge = nullptr;
          c.record.Hr(c.host.Create(&bridge));
          c.objects[o] = bridge;
          c.record.Field("object", bridge == nullptr ? "null" : "set");
        });
}

// ---------------------------------------------------------------------------
// The table, in the order a run makes the calls.

// Every method but the three of IUnknown, with plain arguments: on a new
// object and again after Close. Calls that would create state the others
// depend on (the STI object) come last.
void EveryMethod(Builder& t, int o)
{
  Reserved1(t, o, "Reserved1");
  Reserved2(t, o, "Reserved2");
  GetServerFileName(t, o, "GetServerFileName");
  GetDeviceFamily(t, o, "GetDeviceFamily");
  GetCapabilityFlag(t, o, "GetCapabilityFlag");
  GetLastItemIndex(t, o, "GetLastItemIndex");
  GetPagePosition(t, o, "GetPagePosition");
  GetDeleteImageOnScan(t, o, "GetDeleteImageOnScan");
  GetItemFlag(t, o, "GetItemFlag", 0);
  GetItemInfo(t, o, "GetItemInfo", 0);
  GetItemTime(t, o, "GetItemTime", 0);
  GetItemPreview(t, o, "GetItemPreview", 0);
  GetCurrentItemName(t, o, "GetCurrentItemName");
  GetCurrentItemFormat(t, o, "GetCurrentItemFormat");
  GetImageInfo(t, o, "GetImageInfo", 1);
  GetImageByteCount(t, o, "GetImageByteCount");
  PrepareTransfer(t, o, "PrepareTransfer", 0, 0);
  QueryTransferSize(t, o, "QueryTransferSize", Native(kColour));
  ReadImageHeader(t, o, "ReadImageHeader", Native(kColour), 40);
  ReadImageData(t, o, "ReadImageData", Native(kColour), 64);
  ReadItemString(t, o, "ReadItemString", Native(kColour));
  FindItemNameByDriverValue(t, o, "FindItemNameByDriverValue");
  RefreshItemList(t, o, "RefreshItemList");
  ReleaseItemList(t, o, "ReleaseItemList");
  DeleteItem(t, o, "DeleteItem", 0);
  BeginAccess(t, o, "BeginAccess");
  EndAccess(t, o, "EndAccess");
  GetScanSettings(t, o, "GetScanSettings");
  SetScanSettings(t, o, "SetScanSettings", W("A title"));
  SendScanSettings(t, o, "SendScanSettings");
  ReleaseScanSettings(t, o, "ReleaseScanSettings");
  ReleaseCapabilities(t, o, "ReleaseCapabilities");
  ApplyUserPin(t, o, "ApplyUserPin");
  RegisterEvents(t, o, "RegisterEvents");
  UnregisterEvents(t, o, "UnregisterEvents");
  SetPagesRemaining(t, o, "SetPagesRemaining", 2);
  AdvancePage(t, o, "AdvancePage", 0, 1);
  SetSelection(t, o, "SetSelection", {0}, 1);
  SelectItemByName(t, o, "SelectItemByName", 0, kColour, 0);
  SelectDeviceByName(t, o, "SelectDeviceByName", kOffice);
  OpenDevice(t, o, "OpenDevice", W("Scan"), W("anna"), W("ann"));
  Close(t, o, "Close");
  SelectLaunchDevice(t, o, "SelectLaunchDevice");
  EnumerateDevices(t, o, "EnumerateDevices", 0);
  InitializeSti(t, o, "InitializeSti");
}

void Identity(Builder& t)
{
  t.Phase("identity");
  Create(t, A, "create A");
  QueryInterface(t, A, "IUnknown", "IID_IUnknown", &IID_IUnknown);
  QueryInterface(t, A, "own interface", "IID_IStiScannerComBridge", &IID_IStiScannerComBridge);
  QueryInterface(t, A, "class factory", "IID_IClassFactory", &IID_IClassFactory);
  QueryInterface(t, A, "IMarshal", "IID_IMarshal", &IID_IMarshal,
                 "hr,object,identity,is-caller's-pointer", kProxyMarshal);
  AddRef(t, A, "AddRef");
  Release(t, A, "Release", false, "count", kProxyCounts);
}

void Fresh(Builder& t)
{
  t.Phase("fresh");
  Create(t, F, "create F");
  EveryMethod(t, F);
  Close(t, F, "Close after InitializeSti");
  Release(t, F, "last Release", true, {}, {});
}

void Discovery(Builder& t)
{
  t.Phase("discovery");
  InitializeSti(t, A, "InitializeSti");
  InitializeSti(t, A, "InitializeSti again");
  GetDeviceFamily(t, A, "family before a selection");
  EnumerateDevices(t, A, "all (0)", 0);
  EnumerateDevices(t, A, "limit -1, null names", -1, nullptr);
  EnumerateDevices(t, A, "limit 2", 2);
  EnumerateDevices(t, A, "limit 3", 3);
  EnumerateDevices(t, A, "limit INT_MAX", INT_MAX);
  EnumerateDevices(t, A, "limit INT_MIN", INT_MIN);
  GetDeviceFamily(t, A, "family after listing");
  SelectDeviceByName(t, A, "null name", nullptr);
  SelectDeviceByName(t, A, "name in another case", W("office mfp"));
  SelectDeviceByName(t, A, "list used up", kOffice);
  EnumerateDevices(t, A, "list again", 0);
  SelectDeviceByName(t, A, "by name", kOffice);
  SelectDeviceByName(t, A, "once selected", kFloor);
  EnumerateDevices(t, A, "limit 1 selects", 1);
  GetDeviceFamily(t, A, "family");
}

void Open(Builder& t)
{
  t.Phase("open");
  OpenDevice(t, A, "null qualifier", nullptr, W("anna"), W("ann"));
  OpenDevice(t, A, "null profile", W("Scan"), nullptr, W("ann"));
  OpenDevice(t, A, "null store", W("Scan"), W("anna"), nullptr);
  OpenDevice(t, A, "open", W("Scan"), W("anna"), W("ann"));
  OpenDevice(t, A, "open again", W("Scan"), W("anna"), W("ann"));
  GetCapabilityFlag(t, A, "capability flag");
  RegisterEvents(t, A, "RegisterEvents");
  RegisterEvents(t, A, "RegisterEvents again");
  UnregisterEvents(t, A, "UnregisterEvents");
  UnregisterEvents(t, A, "UnregisterEvents again");
  RegisterEvents(t, A, "RegisterEvents for the walk");
  // A new device object; the registrations stay with the one they were made
  // through, which the walk's "JobEnded" signals still reach.
  OpenDevice(t, A, "open again with the events registered", W("Scan"), W("anna"), W("ann"));
  GetDeleteImageOnScan(t, A, "delete option");
  GetDeleteImageOnScan(t, A, "delete option again");
  ApplyUserPin(t, A, "ApplyUserPin");
  ApplyUserPin(t, A, "ApplyUserPin again");
  BeginAccess(t, A, "BeginAccess");
  EndAccess(t, A, "EndAccess");
  EndAccess(t, A, "EndAccess again");
}

void ScanSettings(Builder& t)
{
  t.Phase("settings");
  SetScanSettings(t, A, "before any block", W("Too early"));
  SendScanSettings(t, A, "send before any block");
  ReleaseScanSettings(t, A, "release before any block");
  GetScanSettings(t, A, "fetch");
  GetScanSettings(t, A, "held block again");
  SetScanSettings(t, A, "null title", nullptr);
  SetScanSettings(t, A, "title of words", W("Quarterly  report,\tfinal\ncopy"));
  GetScanSettings(t, A, "what was written");
  Text longTitle;
  for (int i = 0; i < 30; ++i) longTitle += W("word ");
  longTitle += Text(200, W('z'));
  static const Text kLongTitle = longTitle;
  SetScanSettings(t, A, "title past every limit", kLongTitle.c_str());
  SetScanSettings(t, A, "values outside the tables", W(""), {-1, 32767, -32768, 99, 1, -1});
  GetScanSettings(t, A, "after values outside the tables");
  SendScanSettings(t, A, "send");
  ReleaseScanSettings(t, A, "release");
  ReleaseScanSettings(t, A, "release again");
  SetScanSettings(t, A, "after release", W("Late"));
  GetScanSettings(t, A, "a new block keeps what the device was sent");
}

void Catalogue(Builder& t)
{
  t.Phase("catalogue");
  RefreshItemList(t, A, "refresh");
  RefreshItemList(t, A, "refresh again");
  // Every index the list has, and those at and past both of its ends.
  const int indices[] = {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, INT_MAX};
  for (int index : indices) {
    const std::string at = " [" + std::to_string(index) + "]";
    GetItemFlag(t, A, "flag" + at, index);
    GetItemInfo(t, A, "info" + at, index);
    GetItemTime(t, A, "time" + at, index);
    GetItemPreview(t, A, "preview" + at, index);
  }
  GetItemInfo(t, A, "info with null ignored", 0, true);
  GetItemPreview(t, A, "preview into null slots", 0, nullptr, nullptr);
  FindItemNameByDriverValue(t, A, "latest job (a name of 300 units)");
  FindItemNameByDriverValue(t, A, "latest job again");
}

void Selection(Builder& t)
{
  t.Phase("selection");
  SetSelection(t, A, "null indices, none", {}, 0, true);
  SetSelection(t, A, "null indices, three", {}, 3, true);
  SetSelection(t, A, "negative count", {0, 1}, -1, false, "hr", kNegativeSize);
  SetSelection(t, A, "no entries", {}, 0);
  GetCurrentItemName(t, A, "no current item");
  SetSelection(t, A, "indices outside the list", {INT_MIN, -1, 9, INT_MAX}, 4);
  GetCurrentItemName(t, A, "current index outside the list");
  GetImageInfo(t, A, "image info outside the list", 0);
  SetSelection(t, A, "a thousand entries", std::vector<int>(1000, 2), 1000);
  AdvancePage(t, A, "pages left after a thousand", 1, 0);
  SetPagesRemaining(t, A, "INT_MIN pages", INT_MIN);
  AdvancePage(t, A, "pages left INT_MIN", 1, 0);
  AdvancePage(t, A, "step with INT_MIN left", 0, 0);
  SetPagesRemaining(t, A, "no pages", 0);
  SetSelection(t, A, "three jobs", {0, 1, 5}, 3);
  AdvancePage(t, A, "pages left", 1, 0);
}

void AddNull(Builder& t, const std::string& method, const std::string& call, Body body)
{
  t.Add(A, call, method, call, std::move(body), "hr", kNullReference);
}

void AddNull(Builder& t, const std::string& method, const std::string& call,
             const std::string& mayDiffer, const std::string& why, Body body)
{
  t.Add(A, call, method, call, std::move(body), mayDiffer, why);
}

// Every reference pointer the interface has, given as null, on an object
// whose state lets each call reach its pointer checks.
void NullReferences(Builder& t)
{
  t.Phase("null");
  auto add = [&](const std::string& method, const std::string& call, auto... rest) {
    AddNull(t, method, call, rest...);
  };
  add("AdvancePage", "AdvancePage(1, null, 0)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->AdvancePage(1, nullptr, 0)); });
  add("RefreshItemList", "RefreshItemList(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->RefreshItemList(nullptr)); });
  add("GetItemPreview", "GetItemPreview(0, null, &thumbnail)",
      [](Calls& c, IStiScannerComBridge* b) {
        BstrSlot thumbnail(kCallerText);
        c.record.Hr(b->GetItemPreview(0, nullptr, thumbnail.Put()));
        c.record.Bstr("thumbnailPath", thumbnail.value);
      });
  add("GetItemPreview", "GetItemPreview(0, &document, null)",
      [](Calls& c, IStiScannerComBridge* b) {
        BstrSlot document(kCallerText);
        c.record.Hr(b->GetItemPreview(0, document.Put(), nullptr));
        c.record.Bstr("documentName", document.value);
      });
  add("EnumerateDevices", "EnumerateDevices(null, &names)", [](Calls& c, IStiScannerComBridge* b) {
    BstrSlot names(kCallerText);
    c.record.Hr(b->EnumerateDevices(nullptr, names.Put()));
    c.record.Bstr("names", names.value);
  });
  add("EnumerateDevices", "EnumerateDevices(&count, null)", [](Calls& c, IStiScannerComBridge* b) {
    int count = 0;
    c.record.Hr(b->EnumerateDevices(&count, nullptr));
    c.record.Int("count", count);
  });
  add("SelectDeviceByName", "SelectDeviceByName(\"Office MFP\", null)",
      [](Calls& c, IStiScannerComBridge* b) {
        Text name(kOffice);
        c.record.Hr(b->SelectDeviceByName(name.data(), nullptr));
      });
  add("GetImageInfo", "GetImageInfo(null, 0)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetImageInfo(nullptr, 0)); });
  add("PrepareTransfer", "PrepareTransfer(..., 0, ..., null)",
      [](Calls& c, IStiScannerComBridge* b) {
        c.record.Hr(b->PrepareTransfer(0, 0, 0, 0, 0, 0, 0, 0, nullptr));
      });
  add("SelectItemByName", "SelectItemByName(0, null, \"page0001.tif\", 0)",
      [](Calls& c, IStiScannerComBridge* b) {
        Text name(kColour);
        c.record.Hr(b->SelectItemByName(0, nullptr, name.data(), 0));
      });
  add("GetDeleteImageOnScan", "GetDeleteImageOnScan(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetDeleteImageOnScan(nullptr)); });
  add("GetItemFlag", "GetItemFlag(0, null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetItemFlag(0, nullptr)); });
  add("GetScanSettings", "GetScanSettings(null, &42, &42, &42, &42)",
      [](Calls& c, IStiScannerComBridge* b) {
        short v[4] = {kCallerShort, kCallerShort, kCallerShort, kCallerShort};
        c.record.Hr(b->GetScanSettings(nullptr, &v[0], &v[1], &v[2], &v[3]));
        c.record.Field("values", std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
                                     std::to_string(v[2]) + " " + std::to_string(v[3]));
      });
  add("GetScanSettings", "GetScanSettings(&42, &42, &42, &42, null)",
      [](Calls& c, IStiScannerComBridge* b) {
        short v[4] = {kCallerShort, kCallerShort, kCallerShort, kCallerShort};
        c.record.Hr(b->GetScanSettings(&v[0], &v[1], &v[2], &v[3], nullptr));
        c.record.Field("values", std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
                                     std::to_string(v[2]) + " " + std::to_string(v[3]));
      });
  add("GetCurrentItemFormat", "GetCurrentItemFormat(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetCurrentItemFormat(nullptr)); });
  add("GetItemInfo", "GetItemInfo(0, null, ...)", [](Calls& c, IStiScannerComBridge* b) {
    int v[4] = {kCallerInt, kCallerInt, kCallerInt, kCallerInt};
    c.record.Hr(b->GetItemInfo(0, nullptr, nullptr, &v[0], &v[1], &v[2], &v[3]));
    c.record.Field("values", std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
                                 std::to_string(v[2]) + " " + std::to_string(v[3]));
  });
  add("GetItemInfo", "GetItemInfo(0, &document, ..., null itemSize)",
      [](Calls& c, IStiScannerComBridge* b) {
        BstrSlot document(kCallerText);
        int v[3] = {kCallerInt, kCallerInt, kCallerInt};
        c.record.Hr(b->GetItemInfo(0, document.Put(), nullptr, &v[0], &v[1], &v[2], nullptr));
        c.record.Bstr("documentName", document.value);
        c.record.Field("values", std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
                                     std::to_string(v[2]));
      });
  add("GetItemTime", "GetItemTime(0, null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetItemTime(0, nullptr)); });
  add("GetImageByteCount", "GetImageByteCount(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetImageByteCount(nullptr)); });
  add("GetCapabilityFlag", "GetCapabilityFlag(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetCapabilityFlag(nullptr)); });
  add("GetLastItemIndex", "GetLastItemIndex(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetLastItemIndex(nullptr)); });
  add("FindItemNameByDriverValue", "FindItemNameByDriverValue(null)",
      [](Calls& c, IStiScannerComBridge* b) {
        c.record.Hr(b->FindItemNameByDriverValue(nullptr));
      });
  add("GetDeviceFamily", "GetDeviceFamily(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetDeviceFamily(nullptr)); });
  add("GetCurrentItemName", "GetCurrentItemName(null, &page)",
      [](Calls& c, IStiScannerComBridge* b) {
        int page = kCallerInt;
        c.record.Hr(b->GetCurrentItemName(nullptr, &page));
        c.record.Int("page", page);
      });
  add("GetCurrentItemName", "GetCurrentItemName(&name, null)",
      [](Calls& c, IStiScannerComBridge* b) {
        BstrSlot name(kCallerText);
        c.record.Hr(b->GetCurrentItemName(name.Put(), nullptr));
        c.record.Bstr("name", name.value);
      });
  add("ReadImageData", "ReadImageData(null, buffer, 16, &status)", "hr,buffer",
      kNullReferenceClears, [](Calls& c, IStiScannerComBridge* b) {
        BYTE buffer[16];
        std::memset(buffer, kCallerByte, sizeof buffer);
        int status = kCallerInt;
        c.record.Hr(b->ReadImageData(nullptr, buffer, 16, &status));
        c.record.Int("status", status);
        c.record.Bytes("buffer", buffer, sizeof buffer);
      });
  add("ReadImageData", "ReadImageData(native, null, 0, &status)", "hr,status,journal*", kNullBuffer,
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        int status = kCallerInt;
        c.record.Hr(b->ReadImageData(&request.block, nullptr, 0, &status));
        c.record.Int("status", status);
      });
  add("ReadImageData", "ReadImageData(native, buffer, 16, null)", "hr,buffer", kNullReferenceClears,
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        BYTE buffer[16];
        std::memset(buffer, kCallerByte, sizeof buffer);
        c.record.Hr(b->ReadImageData(&request.block, buffer, 16, nullptr));
        c.record.Bytes("buffer", buffer, sizeof buffer);
      });
  add("ReadItemString", "ReadItemString(null, &text, &length, &status)",
      [](Calls& c, IStiScannerComBridge* b) {
        BstrSlot text(nullptr);
        int length = kCallerInt, status = kCallerInt;
        c.record.Hr(b->ReadItemString(nullptr, text.Put(), &length, &status));
        c.record.Bstr("text", text.value);
        c.record.Int("length", length);
        c.record.Int("status", status);
      });
  add("ReadItemString", "ReadItemString(native, null, &length, &status)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        int length = kCallerInt, status = kCallerInt;
        c.record.Hr(b->ReadItemString(&request.block, nullptr, &length, &status));
        c.record.Int("length", length);
        c.record.Int("status", status);
      });
  add("ReadItemString", "ReadItemString(native, &text, null, &status)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        BstrSlot text(nullptr);
        int status = kCallerInt;
        c.record.Hr(b->ReadItemString(&request.block, text.Put(), nullptr, &status));
        c.record.Bstr("text", text.value);
        c.record.Int("status", status);
      });
  add("ReadItemString", "ReadItemString(native, &text, &length, null)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        BstrSlot text(nullptr);
        int length = kCallerInt;
        c.record.Hr(b->ReadItemString(&request.block, text.Put(), &length, nullptr));
        c.record.Bstr("text", text.value);
        c.record.Int("length", length);
      });
  add("GetPagePosition", "GetPagePosition(null, &pages)", [](Calls& c, IStiScannerComBridge* b) {
    int pages = kCallerInt;
    c.record.Hr(b->GetPagePosition(nullptr, &pages));
    c.record.Int("pages", pages);
  });
  add("GetPagePosition", "GetPagePosition(&page, null)", [](Calls& c, IStiScannerComBridge* b) {
    int page = kCallerInt;
    c.record.Hr(b->GetPagePosition(&page, nullptr));
    c.record.Int("page", page);
  });
  add("QueryTransferSize", "QueryTransferSize(null, &size, &status)",
      [](Calls& c, IStiScannerComBridge* b) {
        int size = kCallerInt, status = kCallerInt;
        c.record.Hr(b->QueryTransferSize(nullptr, &size, &status));
        c.record.Int("size", size);
        c.record.Int("status", status);
      });
  add("QueryTransferSize", "QueryTransferSize(native, null, &status)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        int status = kCallerInt;
        c.record.Hr(b->QueryTransferSize(&request.block, nullptr, &status));
        c.record.Int("status", status);
      });
  add("QueryTransferSize", "QueryTransferSize(native, &size, null)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        int size = kCallerInt;
        c.record.Hr(b->QueryTransferSize(&request.block, &size, nullptr));
        c.record.Int("size", size);
      });
  add("ReadImageHeader", "ReadImageHeader(null, header, 40, &status)",
      [](Calls& c, IStiScannerComBridge* b) {
        BYTE header[40];
        std::memset(header, kCallerByte, sizeof header);
        int status = kCallerInt;
        c.record.Hr(b->ReadImageHeader(nullptr, header, 40, &status));
        c.record.Int("status", status);
        c.record.Bytes("header", header, sizeof header);
      });
  add("ReadImageHeader", "ReadImageHeader(native, header, 40, null)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kColour));
        BYTE header[40];
        std::memset(header, kCallerByte, sizeof header);
        c.record.Hr(b->ReadImageHeader(&request.block, header, 40, nullptr));
        c.record.Bytes("header", header, sizeof header);
      });
  add("GetServerFileName", "GetServerFileName(null)",
      [](Calls& c, IStiScannerComBridge* b) { c.record.Hr(b->GetServerFileName(nullptr)); });
}

void Walk(Builder& t)
{
  t.Phase("walk");
  // Page 1 of the three-page colour job: every read.
  GetPagePosition(t, A, "position");
  GetCurrentItemName(t, A, "current item");
  GetCurrentItemFormat(t, A, "its stored format");
  GetImageInfo(t, A, "image info", 0);
  GetImageInfo(t, A, "image info, refresh on page 1", 1);
  GetPagePosition(t, A, "position once described");
  GetImageByteCount(t, A, "byte count");
  PrepareTransfer(t, A, "prepare native", 0, 0);
  PrepareTransfer(t, A, "prepare file", 1, 2);
  PrepareTransfer(t, A, "prepare memory", 2, 0);
  PrepareTransfer(t, A, "prepare mechanism 3", 3, 0);
  PrepareTransfer(t, A, "prepare mechanism -1", -1, 0);
  QueryTransferSize(t, A, "size of a native transfer", Native(kColour));
  ReadImageHeader(t, A, "header", Native(kColour), 40);
  ReadImageHeader(t, A, "header, one byte short", Native(kColour), 39);
  ReadImageHeader(t, A, "header, buffer longer", Native(kColour), 64);
  ReadImageHeader(t, A, "header, null and 0", Native(kColour), 0, true);
  ReadImageHeader(t, A, "header, null and 40", Native(kColour), 40, true);
  ReadItemString(t, A, "document name", Native(kColour));
  ReadItemString(t, A, "file name of a BMP transfer", File(kColour, 5));
  RequestFields noName = Native(kColour);
  noName.nullName = true;
  ReadItemString(t, A, "request without a name", noName);
  ReadItemString(t, A, "request with a name of 300 units", Native(LongItemName().c_str()));
  ReadImageData(t, A, "native, size 0", Native(kColour), 0, "journal*", kEmptyBuffer);
  ReadImageData(t, A, "native, 1000 bytes", Native(kColour), 1000);
  ReadImageData(t, A, "native, 1000 more", Native(kColour), 1000);
  ReadImageData(t, A, "native, 1000 more again", Native(kColour), 1000);
  ReadImageData(t, A, "native, the last 600 in 1000", Native(kColour), 1000);
  // Page 2 by memory transfer.
  AdvancePage(t, A, "pages left", 1, 0);
  AdvancePage(t, A, "mode 7", 7, 0);
  AdvancePage(t, A, "to page 2", 0, 0);
  GetPagePosition(t, A, "position on page 2");
  GetImageInfo(t, A, "image info, refresh on page 2", 1);
  GetImageInfo(t, A, "image info on page 2", 0);
  GetImageByteCount(t, A, "byte count on page 2");
  QueryTransferSize(t, A, "size of a memory transfer", Memory(kColour));
  ReadImageData(t, A, "memory, less than a row", Memory(kColour), 100);
  ReadImageData(t, A, "memory, two rows and a bit", Memory(kColour), 250);
  ReadImageData(t, A, "memory, the rest", Memory(kColour), 4000);
  // Page 3 as a TIFF file: the job's end.
  AdvancePage(t, A, "to page 3", 0, 0);
  QueryTransferSize(t, A, "size of a TIFF file", File(kColour, 1));
  ReadImageData(t, A, "TIFF file, whole", File(kColour, 1), 65536);
  // The grey job, read in one call of exactly its size.
  AdvancePage(t, A, "to the grey job", 0, 0);
  GetCurrentItemName(t, A, "grey job");
  GetImageInfo(t, A, "grey image info", 0);
  GetImageByteCount(t, A, "grey byte count");
  QueryTransferSize(t, A, "size of the grey page", Native(kGrey));
  ReadImageData(t, A, "grey, exactly its size", Native(kGrey), 1744);
  // A second object's selection sets the process's selection count that the
  // deletion at the end of this walk uses.
  Create(t, B, "create B");
  SetSelection(t, B, "B selects one job", {1}, 1);
  // C keeps the server alive while A and B end; it is the last to go.
  Create(t, C, "create C");
  AdvancePage(t, A, "to the .gif job", 0, 0);
  GetImageInfo(t, A, ".gif image info", 0);
  GetImageByteCount(t, A, ".gif byte count");
  ReadImageHeader(t, A, ".gif header", Native(kGif), 40);
  AdvancePage(t, A, "past the last page", 0, 0);
  AdvancePage(t, A, "walk over, no deletion asked", 0, 0);
  AdvancePage(t, A, "walk over, deletion", 0, 1);
  GetLastItemIndex(t, A, "last item handed to deletion");
  AdvancePage(t, A, "walk over, deletion again", 0, 1);
  // The cursor now stands one past the three selected jobs. The selection
  // array still holds the thousand entries of the earlier, larger selection.
  GetCurrentItemName(t, A, "past the last selected job");
  GetImageInfo(t, A, "image info past the last selected job", 0);
  GetImageByteCount(t, A, "byte count past the last selected job");
  PrepareTransfer(t, A, "prepare past the last selected job", 0, 0);
  GetCurrentItemFormat(t, A, "format past the last selected job");
  RefreshItemList(t, A, "refresh after the deletion");
  // The same indices name other jobs now: nothing more is deleted.
  AdvancePage(t, A, "walk over, deletion after the refresh", 1, 1);
  for (int index : {-1, 8, INT_MAX, INT_MIN})
    DeleteItem(t, A, "delete [" + std::to_string(index) + "]", index);
  DeleteItem(t, A, "delete another user's job", 2);
  DeleteItem(t, A, "delete the job without a document name", 7);
  DeleteItem(t, A, "delete it again", 7);
  RefreshItemList(t, A, "refresh after deleting");
  FindItemNameByDriverValue(t, A, "latest job");
}

void HandBack(Builder& t)
{
  t.Phase("release");
  ReleaseItemList(t, A, "ReleaseItemList");
  ReleaseItemList(t, A, "ReleaseItemList again");
  GetItemFlag(t, A, "flag after the release", 0);
  RefreshItemList(t, A, "refresh after the release");
  GetScanSettings(t, A, "a settings block to hand back");
  ReleaseCapabilities(t, A, "ReleaseCapabilities");
  ReleaseCapabilities(t, A, "ReleaseCapabilities again");
  UnregisterEvents(t, A, "UnregisterEvents");
  Close(t, A, "Close");
  Close(t, A, "Close again");
  GetDeviceFamily(t, A, "family after Close");
  GetCapabilityFlag(t, A, "capability flag after Close");
}

void Closed(Builder& t)
{
  t.Phase("closed");
  EveryMethod(t, A);
  Close(t, A, "Close after InitializeSti");
  Release(t, A, "last Release", true, {}, {});
}

void SecondObject(Builder& t)
{
  t.Phase("second");
  InitializeSti(t, B, "InitializeSti");
  EnumerateDevices(t, B, "list", 0);
  SelectDeviceByName(t, B, "by name", kFloor);
  GetDeviceFamily(t, B, "family");
  OpenDevice(t, B, "strings of 300 units, the lock times out once", kLongQualifier.c_str(),
             kLongProfile.c_str(), W("ann"));
  GetCapabilityFlag(t, B, "capability flag");
  ReleaseCapabilities(t, B, "no capability block");
  GetDeleteImageOnScan(t, B, "delete option, the key is new");
  GetDeleteImageOnScan(t, B, "delete option");
  ApplyUserPin(t, B, "ApplyUserPin without a PIN");
  GetScanSettings(t, B, "the driver fails once");
  GetScanSettings(t, B, "fetch");
  SetScanSettings(t, B, "title", W("Floor scan"));
  RefreshItemList(t, B, "refresh");
  GetItemPreview(t, B, "preview of a name without a dot", 1);
  SetSelection(t, B, "select the grey job", {1}, 1);
  AdvancePage(t, B, "pages left", 1, 0);
  GetImageInfo(t, B, "image info", 0);
  GetImageByteCount(t, B, "byte count");
  ReadImageData(t, B, "memory, all of it", Memory(kFloorGrey), 10000);
  AdvancePage(t, B, "walk over, deletion asked", 0, 1);
  DeleteItem(t, B, "delete", 0);
  RefreshItemList(t, B, "refresh after deleting");
  Close(t, B, "Close");
  Release(t, B, "last Release", true, {}, {});
}

void LaunchDevice(Builder& t)
{
  t.Phase("launch");
  InitializeSti(t, C, "InitializeSti");
  SelectLaunchDevice(t, C, "SelectLaunchDevice");
  GetDeviceFamily(t, C, "family");
  RefreshItemList(t, C, "refresh before OpenDevice");
  GetScanSettings(t, C, "settings before OpenDevice");
  RegisterEvents(t, C, "RegisterEvents");
  ApplyUserPin(t, C, "ApplyUserPin without a user record");
  GetDeleteImageOnScan(t, C, "delete option without a profile");
  SelectLaunchDevice(t, C, "SelectLaunchDevice again");
  OpenDevice(t, C, "open", W("Scan"), W("anna"), W("ann"));
  RefreshItemList(t, C, "refresh");
  SelectItemByName(t, C, "null name", 0, nullptr, 0);
  SelectItemByName(t, C, "one-bit job", 0, kOneBit, 0);
  SelectItemByName(t, C, "one-bit job of depth 1", 1, kOneBit, 1);
  SelectItemByName(t, C, "one-bit job of depth 8", 1, kOneBit, 8);
  SelectItemByName(t, C, "name in another case", 0, W("BW0003.TIF"), 0);
  SelectItemByName(t, C, "no such name", 0, W("nowhere.tif"), 0);
  SelectItemByName(t, C, "a job not ready", 0, kBusy, 0);
  static const Text kLongName = LongItemName();
  SelectItemByName(t, C, "a name of 300 units", 0, kLongName.c_str(), 0);
  GetCurrentItemName(t, C, "current item of 300 units");
  PrepareTransfer(t, C, "prepare native, the name is cut", 0, 0);
  PrepareTransfer(t, C, "prepare file", 1, 0);
  GetImageInfo(t, C, "image info", 1);
  ReadImageData(t, C, "native, a request name of 300 units", Native(kLongName.c_str()), 256);
  SelectItemByName(t, C, ".gif job", 0, kGif, 0);
  GetImageInfo(t, C, ".gif image info", 0);
  ReadImageData(t, C, ".gif, memory, two rows", Memory(kGif), 96);
  SelectItemByName(t, C, "one-bit job again", 0, kOneBit, 0);
  GetImageInfo(t, C, "one-bit image info", 0);
  GetImageByteCount(t, C, "one-bit byte count");
  QueryTransferSize(t, C, "size of the whole multi-page TIFF", File(kOneBit, 2));
  ReadImageData(t, C, "multi-page TIFF of page 0", File(kOneBit, 2), 65536);
  ReadItemString(t, C, "file name of a TIFF transfer", File(kOneBit, 2));
  QueryTransferSize(t, C, "size of a JPEG file", File(kOneBit, 0));
  ReadImageData(t, C, "JPEG file", File(kOneBit, 0), 4096);
  ReadImageData(t, C, "file format 9", File(kOneBit, 9), 4096);
  AdvancePage(t, C, "to page 2", 0, 0);
  GetImageInfo(t, C, "image info, refresh on page 2", 1);
  ReadImageData(t, C, "native page 2, buffer far larger", Native(kOneBit), 1 << 20);
  AdvancePage(t, C, "walk over, deletion", 0, 1);
  GetLastItemIndex(t, C, "last item handed to deletion");
  RefreshItemList(t, C, "refresh after the deletion");
  AdvancePage(t, C, "walk over, deletion after the refresh", 1, 1);
  // A name that matches nothing selects nothing: B's count is in force and
  // the option is on, but job 0 is not deleted.
  SelectItemByName(t, C, "no such name, with B's count", 0, W("nowhere.tif"), 0);
  AdvancePage(t, C, "walk over after no match, deletion", 0, 1);
  GetLastItemIndex(t, C, "last item handed to deletion, after no match");
  GetCurrentItemName(t, C, "no current item after no match");
}

// What a careless data source sends, across the boundary as in-process.
void Careless(Builder& t)
{
  t.Phase("careless");
  t.Add(
      C, "negative size", "ReadImageData",
      "ReadImageData(" + Describe(Native(kGif)) + ", buffer=A5... (16 bytes), -1, &status=4242)",
      [](Calls& c, IStiScannerComBridge* b) {
        Request request(Native(kGif));
        unsigned char* buffer = c.host.EdgeBuffer(16);
        if (buffer == nullptr) {
          c.record.Field("buffer", "none");
          return;
        }
        std::memset(buffer, kCallerByte, 16);
        int status = kCallerInt;
        c.record.Hr(b->ReadImageData(&request.block, buffer, -1, &status));
        c.record.Int("status", status);
        request.Record(c.record);
        c.record.Bytes("buffer", buffer, 16);
      },
      "hr,status,request,buffer", kNegativeOut);
  ReadImageHeader(t, C, "negative size, null header", Native(kGif), -1, true);
  ReadImageHeader(t, C, "negative size", Native(kGif), -1, false, "hr,status,header*",
                  kNegativeSize);
  SetPagesRemaining(t, C, "INT_MAX pages", INT_MAX);
  AdvancePage(t, C, "step with INT_MAX left", 0, 0);
  SetSelection(t, C, "select everything twice", {0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6}, 14);
  AdvancePage(t, C, "pages left", 1, 0);
  GetItemPreview(t, C, "preview of another user's job", 1);
  SelectDeviceByName(t, C, "name once selected", W("Office MFP (WIA)"));
  // Dropped without Close: the object hands back what it holds, as Close
  // would (the journal shows it), and the server still quits.
  Release(t, C, "last Release without Close", true, {}, {});
}

}  // namespace

std::vector<Row> Table()
{
  std::vector<Row> rows;
  Builder t(rows);
  Identity(t);
  Fresh(t);
  Discovery(t);
  Open(t);
  ScanSettings(t);
  Catalogue(t);
  Selection(t);
  NullReferences(t);
  Walk(t);
  HandBack(t);
  Closed(t);
  SecondObject(t);
  LaunchDevice(t);
  Careless(t);
  return rows;
}

namespace {

// The user values the scenario's two scanners can have, by the names the
// server gives them: "<profile>_<qualifier>" (the job-name prefix, at most
// 109 units), "<profile>_DeleteImageOnScan" (cut to 259 units) and the PIN.
struct UserValue {
  const char* shown;
  Text name;
};

std::vector<UserValue> OfficeValues()
{
  return {{"anna_Scan", W("anna_Scan")},
          {"anna_DeleteImageOnScan", W("anna_DeleteImageOnScan")},
          {"TrvUserPIN", W("TrvUserPIN")}};
}

std::vector<UserValue> FloorValues()
{
  return {{"prefix(109 n)", Text(109, W('n'))},
          {"option(259 n)", Text(259, W('n'))},
          {"TrvUserPIN", W("TrvUserPIN")}};
}

std::string UserKeyText(const WCHAR* path, const std::vector<UserValue>& values)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "absent";
  std::string text;
  for (const UserValue& value : values) {
    BYTE data[1100] = {};
    DWORD size = sizeof data - 2;
    DWORD type = 0;
    std::string shown;
    if (RegQueryValueExW(key, value.name.c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS) {
      shown = "-";
    } else if (type == REG_DWORD && size == 4) {
      DWORD number;
      std::memcpy(&number, data, sizeof number);
      shown = "dword:" + std::to_string(number);
    } else if (type == REG_SZ) {
      WCHAR units[550] = {};
      std::memcpy(units, data, size);
      shown = "sz:" + std::to_string(size) + ":\"" + Recorder::Escaped(units, size / 2) + "\"";
    } else {
      shown = "type" + std::to_string(type) + ":" + std::to_string(size);
    }
    text += (text.empty() ? "" : " ") + std::string(value.shown) + "=" + shown;
  }
  RegCloseKey(key);
  return text;
}

// Named events the server makes; the client opens them by name and sees
// whether the driver signalled them during the row (a wait takes the
// signal of the auto-reset event).
class EventWatch {
 public:
  ~EventWatch()
  {
    for (HANDLE& h : handles_)
      if (h != nullptr) CloseHandle(h);
  }
  std::string State()
  {
    static const WCHAR* const kNames[] = {W("JobEnded"), W("ItemDeleted")};
    std::string text;
    for (int i = 0; i < 2; ++i) {
      if (handles_[i] == nullptr) handles_[i] = OpenEventW(SYNCHRONIZE, FALSE, kNames[i]);
      std::string state = handles_[i] == nullptr                                 ? "absent"
                          : WaitForSingleObject(handles_[i], 0) == WAIT_OBJECT_0 ? "signalled"
                                                                                 : "clear";
      text += std::string(i ? " " : "") + (i ? "ItemDeleted=" : "JobEnded=") + state;
    }
    return text;
  }

 private:
  HANDLE handles_[2] = {};
};

}  // namespace

void PrepareUserKeys()
{
  for (const WCHAR* path : {kOfficeKey, kFloorKey}) RegDeleteKeyW(HKEY_CURRENT_USER, path);
  // The office scanner's user has a job-name prefix (without one the server
  // writes both defaults, the delete option included), a PIN, and asks for
  // deletion after a scan.
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kOfficeKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  const WCHAR prefix[] = W("Anna");
  RegSetValueExW(key, W("anna_Scan"), 0, REG_SZ, reinterpret_cast<const BYTE*>(prefix),
                 sizeof prefix);
  const DWORD on = 1;
  RegSetValueExW(key, W("anna_DeleteImageOnScan"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on),
                 sizeof on);
  const WCHAR pin[] = W("2468");
  RegSetValueExW(key, W("TrvUserPIN"), 0, REG_SZ, reinterpret_cast<const BYTE*>(pin), sizeof pin);
  RegCloseKey(key);
}

int RunTable(Host& host, Recorder& record)
{
  PrepareUserKeys();
  const std::vector<Row> rows = Table();
  Calls calls(host, record);
  EventWatch events;
  int number = 0;
  for (const Row& row : rows) {
    record.BeginRow(++number, row.label, row.method, row.call, row.mayDiffer, row.why);
    IStiScannerComBridge* bridge = calls.objects[row.object];
    if (bridge == nullptr && row.method != "CreateInstance") {
      record.Field("hr", "no object");
    } else {
      row.body(calls, bridge);
    }
    record.Field("events", events.State());
    record.Field("user.Office", UserKeyText(kOfficeKey, OfficeValues()));
    record.Field("user.Floor3", UserKeyText(kFloorKey, FloorValues()));
    record.EndRow();
  }
  record.Finish(number);
  for (IStiScannerComBridge*& left : calls.objects) {
    if (left != nullptr) left->Release();
    left = nullptr;
  }
  return number;
}

}  // namespace conformance
