// The scanner driver's private escape protocol: the escape codes, the property
// identifiers, the kinds that name blocks handed back, and the 64-bit layouts
// of the blocks that cross IStiDevice::Escape. The bridge and the driver
// stand-in both include this header, so that both sides agree on every offset;
// the static_asserts at the end hold the structures to the driver's layout.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/win32.h"

namespace driver {

// Escape codes, sent as the first argument of IStiDevice::Escape.
enum class EscapeCode : DWORD {
  ItemThumbnail = 4101,
  ItemTransfer = 4103,
  DeleteItem = 4104,
  GetScanSettings = 4105,
  SetScanSettings = 4107,
  GetCapabilities = 4108,
  FreeDriverBlock = 4110,
  BeginAccess = 4111,
  EndAccess = 4112,
  RegisterEvent = 4113,
  UnregisterEvent = 4114,
  QueryDriverValue = 4115,
  SetUserRecord = 4118,
  GetUserRecord = 4119,
  GetItemList = 4122,
};

inline constexpr EscapeCode kAllEscapeCodes[] = {
    EscapeCode::ItemThumbnail,   EscapeCode::ItemTransfer,    EscapeCode::DeleteItem,
    EscapeCode::GetScanSettings, EscapeCode::SetScanSettings, EscapeCode::GetCapabilities,
    EscapeCode::FreeDriverBlock, EscapeCode::BeginAccess,     EscapeCode::EndAccess,
    EscapeCode::RegisterEvent,   EscapeCode::UnregisterEvent, EscapeCode::QueryDriverValue,
    EscapeCode::SetUserRecord,   EscapeCode::GetUserRecord,   EscapeCode::GetItemList,
};

// The code's name, or null for a value that is not an escape code.
constexpr const char* EscapeCodeName(DWORD code)
{
  switch (static_cast<EscapeCode>(code)) {
    case EscapeCode::ItemThumbnail:
      return "ItemThumbnail";
    case EscapeCode::ItemTransfer:
      return "ItemTransfer";
    case EscapeCode::DeleteItem:
      return "DeleteItem";
    case EscapeCode::GetScanSettings:
      return "GetScanSettings";
    case EscapeCode::SetScanSettings:
      return "SetScanSettings";
    case EscapeCode::GetCapabilities:
      return "GetCapabilities";
    case EscapeCode::FreeDriverBlock:
      return "FreeDriverBlock";
    case EscapeCode::BeginAccess:
      return "BeginAccess";
    case EscapeCode::EndAccess:
      return "EndAccess";
    case EscapeCode::RegisterEvent:
      return "RegisterEvent";
    case EscapeCode::UnregisterEvent:
      return "UnregisterEvent";
    case EscapeCode::QueryDriverValue:
      return "QueryDriverValue";
    case EscapeCode::SetUserRecord:
      return "SetUserRecord";
    case EscapeCode::GetUserRecord:
      return "GetUserRecord";
    case EscapeCode::GetItemList:
      return "GetItemList";
  }
  return nullptr;
}

// Property identifiers found in the driver's property records. The standard
// ones are WIA's; the 389xx ones are the driver's own.
namespace property {
inline constexpr DWORD kPages = 3096;             // WIA_DPS_PAGES, 32-bit
inline constexpr DWORD kItemTime = 4100;          // WIA_IPA_ITEM_TIME, vector holding a SYSTEMTIME
inline constexpr DWORD kDataType = 4103;          // WIA_IPA_DATATYPE: 0 b/w, 2 grey, 3 colour
inline constexpr DWORD kDepth = 4104;             // WIA_IPA_DEPTH, 16-bit bits per pixel
inline constexpr DWORD kCompression = 4107;       // WIA_IPA_COMPRESSION, presence only
inline constexpr DWORD kChannelsPerPixel = 4109;  // WIA_IPA_CHANNELS_PER_PIXEL
inline constexpr DWORD kBitsPerChannel = 4110;    // WIA_IPA_BITS_PER_CHANNEL
inline constexpr DWORD kPlanar = 4111;            // WIA_IPA_PLANAR
inline constexpr DWORD kPixelsPerLine = 4112;     // WIA_IPA_PIXELS_PER_LINE
inline constexpr DWORD kBytesPerLine = 4113;      // WIA_IPA_BYTES_PER_LINE
inline constexpr DWORD kNumberOfLines = 4114;     // WIA_IPA_NUMBER_OF_LINES
inline constexpr DWORD kItemSize = 4116;          // WIA_IPA_ITEM_SIZE
inline constexpr DWORD kXResolution = 6147;       // WIA_IPS_XRES: the driver's resolution code
inline constexpr DWORD kYResolution = 6148;       // WIA_IPS_YRES: the driver's resolution code
inline constexpr DWORD kPaperSize = 38917;        // paper-size code
inline constexpr DWORD kOption = 38918;           // on/off option
inline constexpr DWORD kReserved38920 = 38920;
inline constexpr DWORD kFileFormat = 38933;        // the driver's file-format code
inline constexpr DWORD kCapabilityMarker = 38935;  // presence sets the capability flag
inline constexpr DWORD kReserved38936 = 38936;
inline constexpr DWORD kReserved38938 = 38938;
inline constexpr DWORD kUserPin = 38946;  // BSTR: the user's PIN (user record)
inline constexpr DWORD kReserved38949 = 38949;
inline constexpr DWORD kReserved38953 = 38953;
}  // namespace property

// WIA_IPA_DATATYPE values.
inline constexpr LONG kDataTypeBlackWhite = 0;
inline constexpr LONG kDataTypeGrey = 2;
inline constexpr LONG kDataTypeColour = 3;

// The driver's file-format codes (property 38933, request formatCode).
inline constexpr DWORD kFileFormatJpeg = 0;
inline constexpr DWORD kFileFormatTiff = 1;
inline constexpr DWORD kFileFormatTiffMulti = 2;
inline constexpr DWORD kFileFormatBmp = 5;

// FreeDriverBlock: the kind of block handed back, carried in the size word.
enum class BlockKind : DWORD {
  Capabilities = 0,
  Settings = 2,
  ItemList = 4,
};

// RegisterEvent / UnregisterEvent: the event kind, carried in the size word.
enum class EventKind : DWORD {
  ItemDeleted = 4,
  JobEnded = 16,
};

// QueryDriverValue selector whose answer names an item by its identifier.
inline constexpr LONG kDriverValueItemIdentifier = 16;

// ItemTransfer request operations.
inline constexpr DWORD kOperationProperties = 0;  // with pageCount >= 1; memory transfer with 0
inline constexpr DWORD kOperationNative = 1;
inline constexpr DWORD kOperationFile = 2;

// One property record (88 bytes). Blocks from the driver carry arrays of them
// back to back. The value sits where a PROPVARIANT would keep it: the type
// tag at 24, the value from 32 on. Read and written through the accessors.
struct alignas(8) PropertyRecord {
  BYTE reserved0[8];
  DWORD identifier;
  BYTE reserved12[12];
  VARTYPE type;
  BYTE reserved26[6];
  BYTE value[16];
  BYTE reserved48[40];

  DWORD Identifier() const { return identifier; }

  LONG Int32() const { return Load<LONG>(0); }
  SHORT Int16() const { return Load<SHORT>(0); }
  BSTR Bstr() const { return Load<BSTR>(0); }
  DWORD VectorCount() const { return Load<DWORD>(0); }
  void* VectorElements() const { return Load<void*>(8); }

  // Replaces the value in place; the type tag is left as it is.
  void SetInt32(LONG v) { Store(0, v); }
  void SetBstr(BSTR v) { Store(0, v); }

  // Builders for whoever makes records (the driver): identifier, tag, value.
  void MakeInt32(DWORD id, LONG v)
  {
    Clear(id, VT_I4);
    Store(0, v);
  }
  void MakeInt16(DWORD id, SHORT v)
  {
    Clear(id, VT_I2);
    Store(0, v);
  }
  void MakeBstr(DWORD id, BSTR v)
  {
    Clear(id, VT_BSTR);
    Store(0, v);
  }
  void MakeVector(DWORD id, VARTYPE elementType, DWORD count, void* elements)
  {
    Clear(id, static_cast<VARTYPE>(VT_VECTOR | elementType));
    Store(0, count);
    Store(8, elements);
  }

 private:
  template <typename T>
  T Load(size_t at) const
  {
    T v;
    std::memcpy(&v, value + at, sizeof v);
    return v;
  }
  template <typename T>
  void Store(size_t at, T v)
  {
    std::memcpy(value + at, &v, sizeof v);
  }
  void Clear(DWORD id, VARTYPE tag)
  {
    std::memset(static_cast<void*>(this), 0, sizeof *this);
    identifier = id;
    type = tag;
  }
};

// Walks over property records: every record in order, the first match, or
// the last match (for readers that overwrite an out-value at each match). A
// null array or a count of 0 has no records.
template <typename Visit>
void ForEachProperty(PropertyRecord* records, DWORD count, Visit&& visit)
{
  if (records == nullptr) return;
  for (DWORD i = 0; i < count; ++i) visit(records[i]);
}

inline PropertyRecord* FindProperty(PropertyRecord* records, DWORD count, DWORD id)
{
  if (records == nullptr) return nullptr;
  for (DWORD i = 0; i < count; ++i)
    if (records[i].Identifier() == id) return &records[i];
  return nullptr;
}

inline PropertyRecord* FindLastProperty(PropertyRecord* records, DWORD count, DWORD id)
{
  PropertyRecord* found = nullptr;
  ForEachProperty(records, count, [&](PropertyRecord& record) {
    if (record.Identifier() == id) found = &record;
  });
  return found;
}

struct ItemRecord;

// Item list header (16 bytes). The bridge owns it; the driver fills it.
struct ItemListHeader {
  LONG count;
  BYTE reserved4[4];
  ItemRecord** items;
};

// Item record (56 bytes, driver-owned): one job stored on the device.
struct ItemRecord {
  BYTE reserved0[8];
  BSTR itemName;
  BSTR documentName;
  WCHAR* ownerSid;
  WCHAR* itemIdentifier;
  LONG state;
  DWORD propertyCount;
  PropertyRecord* properties;
};

// Item state of an item that the client may use.
inline constexpr LONG kItemStateReady = 2;

// Settings block and capability block (40 bytes each, driver-owned; the job
// name and store identifier are used in the settings block only).
struct SettingsBlock {
  BYTE reserved0[8];
  BSTR jobName;
  BSTR storeId;
  DWORD propertyCount;
  BYTE reserved28[4];
  PropertyRecord* properties;
};
using CapabilityBlock = SettingsBlock;

// User record (32 bytes, driver-owned); property 38946 holds the PIN.
struct UserRecord {
  BYTE reserved0[16];
  DWORD propertyCount;
  BYTE reserved20[4];
  PropertyRecord* properties;
};

// Request block (32 bytes) of ItemTransfer.
struct RequestBlock {
  DWORD operation;
  DWORD formatCode;
  DWORD page;
  DWORD pageCount;
  DWORD value;
  DWORD formatChanged;
  WCHAR* itemName;
};

// The item name buffer that a request points at: 260 units with terminator.
inline constexpr DWORD kItemNameCapacity = 260;

// Records in the reply to a page-properties request, and its size.
inline constexpr DWORD kPagePropertyCount = 18;
inline constexpr DWORD kPagePropertyBytes = kPagePropertyCount * 88;

static_assert(sizeof(PropertyRecord) == 88);
static_assert(offsetof(PropertyRecord, identifier) == 8);
static_assert(offsetof(PropertyRecord, type) == 24);
static_assert(offsetof(PropertyRecord, value) == 32);

static_assert(sizeof(ItemListHeader) == 16);
static_assert(offsetof(ItemListHeader, count) == 0);
static_assert(offsetof(ItemListHeader, items) == 8);

static_assert(sizeof(ItemRecord) == 56);
static_assert(offsetof(ItemRecord, itemName) == 8);
static_assert(offsetof(ItemRecord, documentName) == 16);
static_assert(offsetof(ItemRecord, ownerSid) == 24);
static_assert(offsetof(ItemRecord, itemIdentifier) == 32);
static_assert(offsetof(ItemRecord, state) == 40);
static_assert(offsetof(ItemRecord, propertyCount) == 44);
static_assert(offsetof(ItemRecord, properties) == 48);

static_assert(sizeof(SettingsBlock) == 40);
static_assert(offsetof(SettingsBlock, jobName) == 8);
static_assert(offsetof(SettingsBlock, storeId) == 16);
static_assert(offsetof(SettingsBlock, propertyCount) == 24);
static_assert(offsetof(SettingsBlock, properties) == 32);

static_assert(sizeof(UserRecord) == 32);
static_assert(offsetof(UserRecord, propertyCount) == 16);
static_assert(offsetof(UserRecord, properties) == 24);

static_assert(sizeof(RequestBlock) == 32);
static_assert(offsetof(RequestBlock, operation) == 0);
static_assert(offsetof(RequestBlock, formatCode) == 4);
static_assert(offsetof(RequestBlock, page) == 8);
static_assert(offsetof(RequestBlock, pageCount) == 12);
static_assert(offsetof(RequestBlock, value) == 16);
static_assert(offsetof(RequestBlock, formatChanged) == 20);
static_assert(offsetof(RequestBlock, itemName) == 24);

// The client's view of the request (generated from the interface definition)
// is the same block: the server passes it to the driver as it arrives.
static_assert(sizeof(STI_TRANSFER_REQUEST) == sizeof(RequestBlock));
static_assert(offsetof(STI_TRANSFER_REQUEST, operation) == offsetof(RequestBlock, operation));
static_assert(offsetof(STI_TRANSFER_REQUEST, formatCode) == offsetof(RequestBlock, formatCode));
static_assert(offsetof(STI_TRANSFER_REQUEST, page) == offsetof(RequestBlock, page));
static_assert(offsetof(STI_TRANSFER_REQUEST, pageCount) == offsetof(RequestBlock, pageCount));
static_assert(offsetof(STI_TRANSFER_REQUEST, value) == offsetof(RequestBlock, value));
static_assert(offsetof(STI_TRANSFER_REQUEST, formatChanged) ==
              offsetof(RequestBlock, formatChanged));
static_assert(offsetof(STI_TRANSFER_REQUEST, itemName) == offsetof(RequestBlock, itemName));

}  // namespace driver
