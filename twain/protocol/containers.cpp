#include "protocol/containers.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace twainds {

namespace {

// Where the parts of each container lie (2-byte packing, as twain.h packs).
constexpr size_t kOneValueItem = offsetof(TW_ONEVALUE, Item);
constexpr size_t kEnumerationItems = offsetof(TW_ENUMERATION, ItemList);
constexpr size_t kArrayItems = offsetof(TW_ARRAY, ItemList);
static_assert(kOneValueItem == 2 && kEnumerationItems == 14 && kArrayItems == 6);
static_assert(sizeof(TW_ONEVALUE) == 6 && sizeof(TW_RANGE) == 22);

Raw Load(const unsigned char* at, size_t bytes)
{
  Raw value = 0;
  std::memcpy(&value, at, bytes < sizeof value ? bytes : sizeof value);
  return value;
}

void Store(unsigned char* at, size_t bytes, Raw value)
{
  std::memcpy(at, &value, bytes < sizeof value ? bytes : sizeof value);
}

bool IsText(TW_UINT16 itemType)
{
  return itemType == TWTY_STR32 || itemType == TWTY_STR64 || itemType == TWTY_STR128 ||
         itemType == TWTY_STR255 || itemType == TWTY_STR1024 || itemType == TWTY_UNI512;
}

bool IsNumber(TW_UINT16 itemType)
{
  return itemType <= TWTY_FIX32;
}

// A string item, read up to its terminator within its bytes.
std::wstring TextAt(TW_UINT16 itemType, const unsigned char* at)
{
  const size_t bytes = ItemBytes(itemType);
  if (itemType == TWTY_UNI512) {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
      wchar_t unit = 0;
      std::memcpy(&unit, at + i, 2);
      if (unit == 0) break;
      text.push_back(unit);
    }
    return text;
  }
  const size_t length = strnlen(reinterpret_cast<const char*>(at), bytes);
  if (length == 0) return {};
  const int units = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(at),
                                        static_cast<int>(length), nullptr, 0);
  std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0)
    MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(at), static_cast<int>(length),
                        text.data(), units);
  return text;
}

// `count` items of `itemType` at `at`, into the container.
void ReadItems(TW_UINT16 itemType, const unsigned char* at, size_t count, Container& container)
{
  const size_t bytes = ItemBytes(itemType);
  for (size_t i = 0; i < count; ++i) {
    if (IsText(itemType))
      container.texts.push_back(TextAt(itemType, at + i * bytes));
    else
      container.items.push_back(Masked(itemType, Load(at + i * bytes, bytes)));
  }
}

// A container of `bytes` bytes, filled by `fill` while it is locked.
template <typename Fill>
TW_HANDLE Make(const Memory& memory, size_t bytes, Fill fill)
{
  TW_HANDLE handle = memory.Allocate(bytes);
  if (handle == nullptr) return nullptr;
  auto* at = static_cast<unsigned char*>(memory.Lock(handle));
  if (at == nullptr) {
    memory.Free(handle);
    return nullptr;
  }
  std::memset(at, 0, bytes);
  fill(at);
  memory.Unlock(handle);
  return handle;
}

}  // namespace

void Memory::Use(const TW_ENTRYPOINT& entry)
{
  // The four come together or not at all: a manager that gives some of
  // them only is not one to mix global memory with.
  if (entry.DSM_MemAllocate != nullptr && entry.DSM_MemFree != nullptr &&
      entry.DSM_MemLock != nullptr && entry.DSM_MemUnlock != nullptr) {
    allocate_ = entry.DSM_MemAllocate;
    free_ = entry.DSM_MemFree;
    lock_ = entry.DSM_MemLock;
    unlock_ = entry.DSM_MemUnlock;
  }
}

TW_HANDLE Memory::Allocate(size_t bytes) const
{
  if (bytes > 0xFFFFFFFFu) return nullptr;
  return allocate_ != nullptr ? allocate_(static_cast<TW_UINT32>(bytes)) : GlobalAlloc(GHND, bytes);
}

void Memory::Free(TW_HANDLE handle) const
{
  if (handle == nullptr) return;
  if (free_ != nullptr)
    free_(handle);
  else
    GlobalFree(handle);
}

void* Memory::Lock(TW_HANDLE handle) const
{
  if (handle == nullptr) return nullptr;
  return lock_ != nullptr ? lock_(handle) : GlobalLock(handle);
}

void Memory::Unlock(TW_HANDLE handle) const
{
  if (handle == nullptr) return;
  if (unlock_ != nullptr)
    unlock_(handle);
  else
    GlobalUnlock(handle);
}

size_t ItemBytes(TW_UINT16 itemType)
{
  switch (itemType) {
    case TWTY_INT8:
    case TWTY_UINT8:
      return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL:
      return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
      return 4;
    case TWTY_FRAME:
      return sizeof(TW_FRAME);
    case TWTY_STR32:
      return sizeof(TW_STR32);
    case TWTY_STR64:
      return sizeof(TW_STR64);
    case TWTY_STR128:
      return sizeof(TW_STR128);
    case TWTY_STR255:
      return sizeof(TW_STR255);
    case TWTY_STR1024:
      return 1026;
    case TWTY_UNI512:
      return 2 * kUni512Units;
    default:
      return 0;
  }
}

Raw Masked(TW_UINT16 itemType, Raw value)
{
  switch (ItemBytes(itemType)) {
    case 1:
      return value & 0xFFu;
    case 2:
      return value & 0xFFFFu;
    default:
      return value;
  }
}

Raw Fix32(double value)
{
  // Rounded to the nearest 1/65536, as TWAIN's own conversion does.
  const long fixed = std::lround(value * 65536.0);
  TW_FIX32 fix;
  fix.Whole = static_cast<TW_INT16>(fixed >> 16);
  fix.Frac = static_cast<TW_UINT16>(fixed & 0xFFFF);
  Raw raw = 0;
  std::memcpy(&raw, &fix, sizeof fix);
  return raw;
}

double FromFix32(Raw value)
{
  TW_FIX32 fix;
  std::memcpy(&fix, &value, sizeof fix);
  return fix.Whole + fix.Frac / 65536.0;
}

TW_UINT16 ReadContainer(const Memory& memory, const TW_CAPABILITY& capability, Container& container)
{
  if (capability.hContainer == nullptr) return TWCC_BADVALUE;
  // Global memory says how large it is; every count is held to that.
  const size_t size = GlobalSize(capability.hContainer);
  const auto* at = static_cast<const unsigned char*>(memory.Lock(capability.hContainer));
  if (at == nullptr) return TWCC_BADVALUE;
  TW_UINT16 condition = TWCC_BADVALUE;
  container = Container();
  container.conType = capability.ConType;
  if (size >= 2) {
    container.itemType = static_cast<TW_UINT16>(Load(at, 2));
    const size_t bytes = ItemBytes(container.itemType);
    const bool known = bytes > 0 && (IsNumber(container.itemType) || IsText(container.itemType));
    switch (capability.ConType) {
      case TWON_ONEVALUE:
        // A string stands where the item does, for as long as it is.
        if (known && size >= kOneValueItem + (bytes > 4 ? bytes : 4)) {
          ReadItems(container.itemType, at + kOneValueItem, 1, container);
          condition = TWCC_SUCCESS;
        }
        break;
      case TWON_ENUMERATION:
        if (known && size >= kEnumerationItems) {
          const size_t count = Load(at + offsetof(TW_ENUMERATION, NumItems), 4);
          if (count <= (size - kEnumerationItems) / bytes) {
            container.currentIndex = Load(at + offsetof(TW_ENUMERATION, CurrentIndex), 4);
            container.defaultIndex = Load(at + offsetof(TW_ENUMERATION, DefaultIndex), 4);
            ReadItems(container.itemType, at + kEnumerationItems, count, container);
            condition = TWCC_SUCCESS;
          }
        }
        break;
      case TWON_ARRAY:
        if (known && size >= kArrayItems) {
          const size_t count = Load(at + offsetof(TW_ARRAY, NumItems), 4);
          if (count <= (size - kArrayItems) / bytes) {
            ReadItems(container.itemType, at + kArrayItems, count, container);
            condition = TWCC_SUCCESS;
          }
        }
        break;
      case TWON_RANGE:
        if (known && IsNumber(container.itemType) && size >= sizeof(TW_RANGE)) {
          container.minValue =
              Masked(container.itemType, Load(at + offsetof(TW_RANGE, MinValue), 4));
          container.maxValue =
              Masked(container.itemType, Load(at + offsetof(TW_RANGE, MaxValue), 4));
          container.stepSize =
              Masked(container.itemType, Load(at + offsetof(TW_RANGE, StepSize), 4));
          container.defaultValue =
              Masked(container.itemType, Load(at + offsetof(TW_RANGE, DefaultValue), 4));
          container.currentValue =
              Masked(container.itemType, Load(at + offsetof(TW_RANGE, CurrentValue), 4));
          condition = TWCC_SUCCESS;
        }
        break;
      default:
        break;
    }
  }
  memory.Unlock(capability.hContainer);
  return condition;
}

TW_HANDLE OneValue(const Memory& memory, TW_UINT16 itemType, Raw item)
{
  return Make(memory, sizeof(TW_ONEVALUE), [&](unsigned char* at) {
    Store(at, 2, itemType);
    Store(at + kOneValueItem, ItemBytes(itemType), item);
  });
}

TW_HANDLE Enumeration(const Memory& memory, TW_UINT16 itemType, const std::vector<Raw>& items,
                      TW_UINT32 currentIndex, TW_UINT32 defaultIndex)
{
  const size_t bytes = ItemBytes(itemType);
  return Make(memory, kEnumerationItems + bytes * (items.empty() ? 1 : items.size()),
              [&](unsigned char* at) {
                Store(at, 2, itemType);
                Store(at + offsetof(TW_ENUMERATION, NumItems), 4, static_cast<Raw>(items.size()));
                Store(at + offsetof(TW_ENUMERATION, CurrentIndex), 4, currentIndex);
                Store(at + offsetof(TW_ENUMERATION, DefaultIndex), 4, defaultIndex);
                for (size_t i = 0; i < items.size(); ++i)
                  Store(at + kEnumerationItems + i * bytes, bytes, items[i]);
              });
}

TW_HANDLE Range(const Memory& memory, TW_UINT16 itemType, Raw minValue, Raw maxValue, Raw stepSize,
                Raw defaultValue, Raw currentValue)
{
  return Make(memory, sizeof(TW_RANGE), [&](unsigned char* at) {
    Store(at, 2, itemType);
    Store(at + offsetof(TW_RANGE, MinValue), 4, minValue);
    Store(at + offsetof(TW_RANGE, MaxValue), 4, maxValue);
    Store(at + offsetof(TW_RANGE, StepSize), 4, stepSize);
    Store(at + offsetof(TW_RANGE, DefaultValue), 4, defaultValue);
    Store(at + offsetof(TW_RANGE, CurrentValue), 4, currentValue);
  });
}

TW_HANDLE Array(const Memory& memory, TW_UINT16 itemType, const std::vector<Raw>& items)
{
  const size_t bytes = ItemBytes(itemType);
  return Make(memory, kArrayItems + bytes * (items.empty() ? 1 : items.size()),
              [&](unsigned char* at) {
                Store(at, 2, itemType);
                Store(at + offsetof(TW_ARRAY, NumItems), 4, static_cast<Raw>(items.size()));
                for (size_t i = 0; i < items.size(); ++i)
                  Store(at + kArrayItems + i * bytes, bytes, items[i]);
              });
}

namespace {

// `text` in the ANSI code page: false when a character has no form there.
bool Narrowed(const std::wstring& text, std::string& narrow)
{
  narrow.clear();
  if (text.empty()) return true;
  // UTF-8 has a form for every character, and takes neither flags nor a
  // default character.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL lost = FALSE;
  BOOL* lostAt = utf8 ? nullptr : &lost;
  const int bytes = WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, lostAt);
  if (bytes <= 0) return false;
  narrow.resize(static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()), narrow.data(),
                      bytes, nullptr, lostAt);
  return lost == FALSE;
}

}  // namespace

bool FitsText(TW_UINT16 itemType, const std::wstring& text)
{
  const size_t bytes = ItemBytes(itemType);
  if (!IsText(itemType)) return false;
  if (itemType == TWTY_UNI512) return text.size() < kUni512Units;
  std::string narrow;
  return Narrowed(text, narrow) && narrow.size() < bytes;
}

TW_HANDLE TextArray(const Memory& memory, TW_UINT16 itemType,
                    const std::vector<std::wstring>& texts)
{
  const size_t bytes = ItemBytes(itemType);
  if (!IsText(itemType)) return nullptr;
  return Make(memory, kArrayItems + bytes * (texts.empty() ? 1 : texts.size()),
              [&](unsigned char* at) {
                Store(at, 2, itemType);
                Store(at + offsetof(TW_ARRAY, NumItems), 4, static_cast<Raw>(texts.size()));
                for (size_t i = 0; i < texts.size(); ++i) {
                  unsigned char* item = at + kArrayItems + i * bytes;
                  if (itemType == TWTY_UNI512) {
                    // UTF-16 units, whatever the width of wchar_t here.
                    const size_t units = std::min(texts[i].size(), kUni512Units - 1);
                    for (size_t u = 0; u < units; ++u)
                      Store(item + 2 * u, 2, static_cast<Raw>(texts[i][u]) & 0xFFFF);
                  } else {
                    std::string narrow;
                    Narrowed(texts[i], narrow);
                    std::memcpy(item, narrow.data(), std::min(narrow.size(), bytes - 1));
                  }
                }
              });
}

}  // namespace twainds
