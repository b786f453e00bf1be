#include "sim/driver.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/sim_heap.h"
#include "sim/simulator.h"
#include "sim/thumbnail.h"

namespace sim {

namespace {

using driver::BlockKind;
using driver::EscapeCode;
using driver::EventKind;
using driver::ItemListHeader;
using driver::ItemRecord;
using driver::PropertyRecord;
using driver::RequestBlock;
using driver::SettingsBlock;
using driver::UserRecord;
namespace property = driver::property;

const HRESULT kNotFound = STIERR_OBJECTNOTFOUND;
// What a scribbling driver writes where nobody reads, and what a reclaimed
// block is filled with.
constexpr BYTE kScribble = 0xA5;
constexpr BYTE kReclaimed = 0xDD;
const HRESULT kBufferTooSmall = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// A property record as the driver builds it.
enum class Form { Int32, Int16, Time };
struct Prop {
  DWORD id;
  Form form;
  LONG value;
};

// Reads a UTF-16 string that the caller passes in place (the store
// identifier) or points at (the request's item name), never past `capacity`
// units. False when no terminator is found.
bool ReadBoundedText(const WCHAR* text, DWORD capacity, Text& out)
{
  if (text == nullptr) return false;
  for (DWORD i = 0; i < capacity; ++i) {
    if (text[i] == 0) {
      out.assign(text, i);
      return true;
    }
  }
  return false;
}

HRESULT ReadStoreId(void* in, DWORD inSize, Text& storeId)
{
  if (in == nullptr || inSize != 8) return E_INVALIDARG;
  return ReadBoundedText(static_cast<const WCHAR*>(in), driver::kItemNameCapacity, storeId)
             ? S_OK
             : E_INVALIDARG;
}

// The request's item name read as the whole buffer of 260 units the protocol
// promises: a terminator within it and only zeros after the name. False for
// anything else (null included).
bool ReadWholeName(const WCHAR* buffer, Text& out)
{
  if (buffer == nullptr) return false;
  WCHAR units[driver::kItemNameCapacity];
  std::memcpy(units, buffer, sizeof units);
  WCHAR* end = std::find(units, units + driver::kItemNameCapacity, WCHAR(0));
  if (end == units + driver::kItemNameCapacity) return false;
  if (std::any_of(end, units + driver::kItemNameCapacity, [](WCHAR c) { return c != 0; }))
    return false;
  out.assign(units, end);
  return true;
}

std::vector<Prop> ItemProperties(const JobSpec& job, LONG itemSize)
{
  std::vector<Prop> props = {
      {property::kPages, Form::Int32, job.pages},
      {property::kItemTime, Form::Time, 0},
      {property::kDataType, Form::Int32, job.dataType},
      {property::kDepth, Form::Int16, job.depth},
      {property::kCompression, Form::Int32, job.compression.value_or(0)},
      {property::kPlanar, Form::Int32, job.planar},
      {property::kPixelsPerLine, Form::Int32, job.width},
      {property::kNumberOfLines, Form::Int32, job.height},
      {property::kItemSize, Form::Int32, itemSize},
      {property::kXResolution, Form::Int32, job.resolution},
      {property::kFileFormat, Form::Int32, job.fileFormat},
  };
  auto omitted = [&](DWORD id) {
    if (id == property::kCompression && !job.compression) return true;
    if (id == property::kItemTime && !job.hasTime) return true;
    return std::find(job.omitProperties.begin(), job.omitProperties.end(), id) !=
           job.omitProperties.end();
  };
  props.erase(
      std::remove_if(props.begin(), props.end(), [&](const Prop& p) { return omitted(p.id); }),
      props.end());
  for (const PropertySpec& extra : job.extraProperties)
    props.push_back({extra.id, Form::Int32, extra.value});
  return props;
}

size_t DibBitsBytes(const JobSpec& job)
{
  size_t row =
      (static_cast<size_t>(job.width) * static_cast<size_t>(job.deliveredDepth) + 31) / 32 * 4;
  return row * static_cast<size_t>(job.height);
}

LONG DefaultItemSize(const JobSpec& job)
{
  return static_cast<LONG>(DibBitsBytes(job) * static_cast<size_t>(job.pages));
}

// The 18 records that describe one page.
std::vector<Prop> PagePropertyList(const JobSpec& job, LONG page)
{
  const LONG channels = job.deliveredDepth == 24 ? 3 : 1;
  const LONG bytesPerLine =
      static_cast<LONG>((static_cast<size_t>(job.width) * job.deliveredDepth + 31) / 32 * 4);
  return {
      {property::kPages, Form::Int32, job.pages},
      {property::kDataType, Form::Int32, job.dataType},
      {property::kDepth, Form::Int16, job.depth},
      {property::kCompression, Form::Int32, job.compression.value_or(0)},
      {property::kChannelsPerPixel, Form::Int32, channels},
      {property::kBitsPerChannel, Form::Int32, job.deliveredDepth / channels},
      {property::kPlanar, Form::Int32, job.planar},
      {property::kPixelsPerLine, Form::Int32, job.width},
      {property::kBytesPerLine, Form::Int32, bytesPerLine},
      {property::kNumberOfLines, Form::Int32, job.height},
      {property::kItemSize, Form::Int32, static_cast<LONG>(DibBitsBytes(job))},
      {property::kXResolution, Form::Int32, job.resolution},
      {property::kYResolution, Form::Int32, job.resolution},
      {property::kPaperSize, Form::Int32, 0},
      {property::kOption, Form::Int32, 0},
      {property::kFileFormat, Form::Int32, job.fileFormat},
      {38950, Form::Int32, page},              // the page's number
      {38951, Form::Int32, job.pages - page},  // pages after it
  };
}

void FillRecord(PropertyRecord& record, const Prop& p, void* timeStorage)
{
  switch (p.form) {
    case Form::Int32:
      record.MakeInt32(p.id, p.value);
      break;
    case Form::Int16:
      record.MakeInt16(p.id, static_cast<SHORT>(p.value));
      break;
    case Form::Time:
      // A vector of eight 16-bit words: the SYSTEMTIME.
      record.MakeVector(p.id, VT_UI2, 8, timeStorage);
      break;
  }
}

std::string TransferKey(const Text& itemName, const RequestBlock& r, DWORD page)
{
  return TextToUtf8(itemName) + "|" + std::to_string(r.operation) + "|" +
         std::to_string(r.formatCode) + "|" + std::to_string(page) + "|" +
         std::to_string(r.pageCount);
}

}  // namespace

Driver::Driver(const DeviceSpec& spec, const ConductSpec& conduct) : spec_(spec), conduct_(conduct)
{
  const auto loaded = std::chrono::steady_clock::now();
  for (const JobSpec& job : spec.jobs) {
    if (job.arrivesAfterMs)
      happenings_.push_back({loaded + std::chrono::milliseconds(*job.arrivesAfterMs), true, job});
    else
      jobs_.push_back(job);
    // The scenario puts a job's deletion after its arrival.
    if (job.deletedAfterMs)
      happenings_.push_back({loaded + std::chrono::milliseconds(*job.deletedAfterMs), false, job});
  }
  std::stable_sort(happenings_.begin(), happenings_.end(),
                   [](const Happening& a, const Happening& b) { return a.at < b.at; });
  if (!happenings_.empty()) panelThread_ = std::thread([this] { RunPanel(); });
}

void Driver::RunPanel()
{
  std::unique_lock<std::mutex> guard(mutex_);
  while (!happenings_.empty()) {
    if (stopping_.wait_until(guard, happenings_.front().at, [this] { return stop_; })) return;
    if (std::chrono::steady_clock::now() < happenings_.front().at) continue;
    Happening next = std::move(happenings_.front());
    happenings_.erase(happenings_.begin());
    if (next.arrives) {
      jobs_.push_back(std::move(next.job));
      SignalLocked(static_cast<DWORD>(EventKind::JobEnded));
      continue;
    }
    // A job deleted through DeleteItem meanwhile is gone already.
    auto job = std::find_if(jobs_.begin(), jobs_.end(), [&](const JobSpec& j) {
      return j.itemId == next.job.itemId && j.itemName == next.job.itemName;
    });
    if (job == jobs_.end()) continue;
    Forget(job);
    SignalLocked(static_cast<DWORD>(EventKind::ItemDeleted));
  }
}

void Driver::Forget(std::vector<JobSpec>::iterator job)
{
  if (spec_.keepDeletions) {
    RecordDeletion(spec_.index, job->itemId);
    // Only then: a process started afresh without the record lists the job
    // again, and its thumbnail with it.
    RemoveThumbnail(spec_, *job);
  }
  jobs_.erase(job);
}

Driver::~Driver()
{
  if (panelThread_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    stopping_.notify_all();
    panelThread_.join();
  }
  for (auto& entry : owned_) Release(entry.second);
  for (const Piece& piece : deadMemory_) sim::Free(piece.at);
  for (void* value : deadValues_) GlobalFree(value);
  for (auto& kind : spare_)
    for (const Piece& piece : kind.second) sim::Free(piece.at);
}

void* Driver::Allocate(Owned& owned, size_t count, size_t size, bool head)
{
  if (count == 0) count = 1;
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* at = nullptr;
  size_t bytes = count * size;
  if (head && conduct_.addresses == ConductSpec::Addresses::Reused) {
    // The address of a block handed back before, if it is large enough.
    std::vector<Piece>& spare = spare_[owned.kind];
    auto fits = std::find_if(spare.begin(), spare.end(),
                             [&](const Piece& piece) { return piece.bytes >= bytes; });
    if (fits != spare.end()) {
      at = fits->at;
      bytes = fits->bytes;
      spare.erase(fits);
      std::memset(at, 0, bytes);
    }
  }
  if (at == nullptr) at = sim::Allocate(bytes);
  if (at == nullptr) return nullptr;
  // Handed out again: no longer a pointer the driver took back.
  returned_.erase(at);
  owned.memory.push_back({at, bytes});
  return at;
}

void Driver::ScribbleDiscarded(void* bytes, size_t count) const
{
  if (conduct_.discarded == ConductSpec::Discarded::Scribbled) std::memset(bytes, kScribble, count);
}

void Driver::ScribbleRecord(PropertyRecord& record) const
{
  if (conduct_.discarded != ConductSpec::Discarded::Scribbled) return;
  ScribbleDiscarded(record.reserved0, sizeof record.reserved0);
  ScribbleDiscarded(record.reserved12, sizeof record.reserved12);
  ScribbleDiscarded(record.reserved26, sizeof record.reserved26);
  ScribbleDiscarded(record.reserved48, sizeof record.reserved48);
  // The value's bytes past what the protocol's form of the identifier holds
  // (the caller knows each identifier's form and never reads the tag).
  switch (record.Identifier()) {
    case property::kItemTime:
      ScribbleDiscarded(record.value + 4, 4);  // between the count and the pointer
      break;
    case property::kDepth:
      ScribbleDiscarded(record.value + 2, sizeof record.value - 2);
      break;
    case property::kUserPin:
      ScribbleDiscarded(record.value + 8, sizeof record.value - 8);
      break;
    default:
      ScribbleDiscarded(record.value + 4, sizeof record.value - 4);
  }
}

void Driver::TakeBack(std::map<const void*, Owned>::iterator block)
{
  Owned& owned = block->second;
  returned_.insert(block->first);
  for (const ItemRecord* r : owned.records) returned_.insert(r);
  // A long-running server hands back blocks for hours; the oldest pointers
  // are forgotten rather than kept without bound.
  if (returned_.size() > 65536) returned_.clear();
  if (conduct_.addresses == ConductSpec::Addresses::Reused && !owned.memory.empty()) {
    spare_[owned.kind].push_back(owned.memory.front());
    owned.memory.erase(owned.memory.begin());
  }
  Release(owned);
  owned_.erase(block);
}

void Driver::Reclaim(std::map<const void*, Owned>::iterator block)
{
  Owned& owned = block->second;
  // The strings go back to the system; everything else stays, filled with
  // the pattern, so that a caller who still reads it reads nothing of use
  // and one who hands it in again is caught.
  for (BSTR* slot : owned.bridgeSlots) SysFreeString(*slot);
  for (PropertyRecord* r : owned.bridgeValues) SysFreeString(r->Bstr());
  for (BSTR text : owned.strings) sim::FreeString(text);
  for (const ItemRecord* r : owned.records) {
    recordItems_.erase(r);
    dead_.insert(r);
  }
  dead_.insert(block->first);
  for (const Piece& piece : owned.memory) {
    std::memset(piece.at, kReclaimed, piece.bytes);
    deadMemory_.push_back(piece);
  }
  for (auto it = users_.begin(); it != users_.end();)
    it = it->second == block->first ? users_.erase(it) : std::next(it);
  owned_.erase(block);
}

void Driver::ObjectReleased(DWORD object)
{
  std::lock_guard<std::mutex> guard(mutex_);
  // The object's last driver value is the caller's (it frees the one it
  // holds); the driver only forgets it.
  lastValues_.erase(object);
  if (conduct_.registrations == ConductSpec::Registrations::Bound) {
    std::erase_if(registrations_, [&](const Registration& r) { return r.object == object; });
  }
  if (conduct_.blocks != ConductSpec::Blocks::Bound) return;
  for (auto it = owned_.begin(); it != owned_.end();) {
    auto next = std::next(it);
    if (it->second.object == object) Reclaim(it);
    it = next;
  }
}

bool Driver::FailsPartWay(DWORD code) const
{
  if (conduct_.failedEscape != ConductSpec::FailedEscape::Partial) return false;
  switch (static_cast<EscapeCode>(code)) {
    case EscapeCode::GetScanSettings:
    case EscapeCode::GetCapabilities:
    case EscapeCode::GetUserRecord:
    case EscapeCode::GetItemList:
    case EscapeCode::QueryDriverValue:
      return true;
    default:
      return false;
  }
}

void Driver::UndoHandOut(DWORD code, void* out)
{
  if (out == nullptr) return;
  const void* block = nullptr;
  switch (static_cast<EscapeCode>(code)) {
    case EscapeCode::GetScanSettings:
    case EscapeCode::GetCapabilities:
    case EscapeCode::GetUserRecord:
      std::memcpy(&block, out, sizeof block);
      break;
    case EscapeCode::GetItemList:
      block = static_cast<const ItemListHeader*>(out)->items;
      break;
    case EscapeCode::QueryDriverValue: {
      // Global memory that the caller frees on success: the driver frees
      // it itself when the driver goes.
      void* value = nullptr;
      std::memcpy(&value, out, sizeof value);
      if (value == nullptr) return;
      deadValues_.push_back(value);
      std::erase_if(lastValues_, [&](const auto& last) { return last.second == value; });
      return;
    }
    default:
      return;
  }
  auto it = owned_.find(block);
  if (it != owned_.end()) Reclaim(it);
}

void Driver::Release(Owned& owned)
{
  for (BSTR* slot : owned.bridgeSlots) {
    SysFreeString(*slot);
    *slot = nullptr;
  }
  for (PropertyRecord* r : owned.bridgeValues) {
    SysFreeString(r->Bstr());
    r->SetBstr(nullptr);
  }
  for (BSTR s : owned.strings) sim::FreeString(s);
  for (const ItemRecord* r : owned.records) recordItems_.erase(r);
  for (const Piece& piece : owned.memory) sim::Free(piece.at);
  owned = Owned();
}

PropertyRecord* Driver::MakeProperties(Owned& owned, const std::vector<PropertySpec>& specs,
                                       LONG countDelta, DWORD& count)
{
  const LONG real = static_cast<LONG>(specs.size());
  const LONG reported = std::max<LONG>(0, real + countDelta);
  auto* records = static_cast<PropertyRecord*>(
      Allocate(owned, static_cast<size_t>(std::max(real, reported)), sizeof(PropertyRecord)));
  if (records == nullptr) return nullptr;
  for (LONG i = 0; i < real; ++i) {
    records[i].MakeInt32(specs[i].id, specs[i].value);
    ScribbleRecord(records[i]);
  }
  count = static_cast<DWORD>(reported);
  return records;
}

ItemRecord* Driver::MakeItemRecord(Owned& owned, const JobSpec& job)
{
  auto* record = static_cast<ItemRecord*>(Allocate(owned, 1, sizeof(ItemRecord)));
  if (record == nullptr) return nullptr;
  ScribbleDiscarded(record->reserved0, sizeof record->reserved0);
  // Names keep their whole length, NULs inside them included.
  record->itemName = sim::AllocateString(job.itemName.data(), UINT(job.itemName.size()));
  if (!job.documentNameNull)
    record->documentName =
        sim::AllocateString(job.documentName.data(), UINT(job.documentName.size()));
  owned.strings.push_back(record->itemName);
  owned.strings.push_back(record->documentName);
  auto copyText = [&](const Text& text) {
    auto* copy = static_cast<WCHAR*>(Allocate(owned, text.size() + 1, sizeof(WCHAR)));
    if (copy != nullptr) std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
    return copy;
  };
  if (!job.ownerNull) record->ownerSid = copyText(job.owner);
  if (!job.itemIdNull) record->itemIdentifier = copyText(job.itemId);
  record->state = job.state;

  const std::vector<Prop> props = ItemProperties(job, job.itemSize.value_or(DefaultItemSize(job)));
  // What was allocated stays in `owned` when something is missing: the
  // caller releases it all.
  auto* records =
      static_cast<PropertyRecord*>(Allocate(owned, props.size(), sizeof(PropertyRecord)));
  auto* time = static_cast<SYSTEMTIME*>(Allocate(owned, 1, sizeof(SYSTEMTIME)));
  if (records == nullptr || time == nullptr || record->itemName == nullptr ||
      (record->documentName == nullptr && !job.documentNameNull) ||
      (record->ownerSid == nullptr && !job.ownerNull) ||
      (record->itemIdentifier == nullptr && !job.itemIdNull)) {
    return nullptr;
  }
  *time = job.time;
  for (size_t i = 0; i < props.size(); ++i) {
    FillRecord(records[i], props[i], time);
    ScribbleRecord(records[i]);
  }
  record->propertyCount = static_cast<DWORD>(props.size());
  record->properties = records;
  owned.records.push_back(record);
  recordItems_[record] = job.itemId;
  return record;
}

const JobSpec* Driver::FindJobByName(const Text& itemName) const
{
  for (const JobSpec& job : jobs_)
    if (job.itemName == itemName) return &job;
  return nullptr;
}

const ItemRecord* Driver::LiveRecord(const void* pointer) const
{
  auto it = recordItems_.find(static_cast<const ItemRecord*>(pointer));
  return it == recordItems_.end() ? nullptr : it->first;
}

const void* Driver::InputBlock(DWORD code, const void* in, DWORD inSize,
                               const DWORD* sizeWord) const
{
  if (in == nullptr) return nullptr;
  switch (static_cast<EscapeCode>(code)) {
    case EscapeCode::ItemThumbnail:
    case EscapeCode::DeleteItem:
      return inSize == sizeof(ItemRecord) ? in : nullptr;
    case EscapeCode::SetScanSettings:
      return inSize == sizeof(SettingsBlock) ? in : nullptr;
    case EscapeCode::SetUserRecord:
      return inSize == sizeof(UserRecord) ? in : nullptr;
    case EscapeCode::FreeDriverBlock:
      // An item list goes back by the header the caller owns, which names
      // the driver's array.
      if (sizeWord != nullptr && *sizeWord == static_cast<DWORD>(BlockKind::ItemList))
        return inSize == sizeof(ItemListHeader) ? static_cast<const ItemListHeader*>(in)->items
                                                : nullptr;
      return inSize == sizeof(SettingsBlock) ? in : nullptr;
    default:
      return nullptr;
  }
}

HRESULT Driver::Escape(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* sizeWord, const EscapeTweak& tweak, DWORD object, DWORD& breach)
{
  std::lock_guard<std::mutex> guard(mutex_);
  // A block the driver has taken back or reclaimed is nobody's to hand in.
  if (const void* block = InputBlock(code, in, inSize, sizeWord)) {
    if (dead_.count(block) != 0) {
      breach = STISIM_BREACH_DEAD_BLOCK;
      return E_INVALIDARG;
    }
    if (returned_.count(block) != 0) {
      breach = code == static_cast<DWORD>(EscapeCode::FreeDriverBlock)
                   ? STISIM_BREACH_SECOND_HAND_BACK
                   : STISIM_BREACH_RETURNED_BLOCK;
      return E_INVALIDARG;
    }
  }
  // Data reads and size queries (requests without an output size) answer in
  // the size word; every other escape leaves nothing there that the caller
  // may use.
  const DWORD requested = sizeWord != nullptr ? *sizeWord : 0;
  const bool answersInSizeWord =
      code == static_cast<DWORD>(EscapeCode::ItemTransfer) && (requested != 0 || outSize == 0);
  HRESULT hr = Dispatch(code, in, inSize, out, outSize, sizeWord, tweak, object, breach);
  if (sizeWord != nullptr && !answersInSizeWord) ScribbleDiscarded(sizeWord, sizeof *sizeWord);
  if (tweak.failAfter != S_OK) {
    // Failed part-way: what went out is taken back, and stays where it was
    // written, dead.
    if (SUCCEEDED(hr)) UndoHandOut(code, out);
    hr = tweak.failAfter;
  }
  return hr;
}

HRESULT Driver::Dispatch(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* sizeWord, const EscapeTweak& tweak, DWORD object, DWORD& breach)
{
  switch (static_cast<EscapeCode>(code)) {
    case EscapeCode::ItemThumbnail:
      return ItemThumbnail(in, inSize, out, outSize, tweak);
    case EscapeCode::ItemTransfer:
      return ItemTransfer(in, inSize, out, outSize, sizeWord, tweak, breach);
    case EscapeCode::DeleteItem:
      return DeleteItem(in, inSize, outSize, tweak);
    case EscapeCode::GetScanSettings:
      if (in != nullptr || inSize != 0) return E_INVALIDARG;
      return GetPropertyBlock(static_cast<DWORD>(BlockKind::Settings), inSize, out, outSize, tweak,
                              object);
    case EscapeCode::SetScanSettings:
      return SetScanSettings(in, inSize, outSize, tweak);
    case EscapeCode::GetCapabilities:
      if (in != nullptr || inSize != 0) return E_INVALIDARG;
      return GetPropertyBlock(static_cast<DWORD>(BlockKind::Capabilities), inSize, out, outSize,
                              tweak, object);
    case EscapeCode::FreeDriverBlock:
      if (tweak.empty) return S_OK;
      return FreeDriverBlock(in, inSize, outSize, sizeWord, object, breach);
    case EscapeCode::BeginAccess:
    case EscapeCode::EndAccess:
      return Access(code, in, inSize, outSize, tweak);
    case EscapeCode::RegisterEvent:
      return RegisterEvent(in, inSize, out, outSize, sizeWord, tweak, object);
    case EscapeCode::UnregisterEvent:
      if (tweak.empty) return S_OK;
      return UnregisterEvent(in, inSize, outSize, sizeWord, object);
    case EscapeCode::QueryDriverValue:
      return QueryDriverValue(in, inSize, out, outSize, tweak, object);
    case EscapeCode::SetUserRecord:
      return SetUserRecord(in, inSize, outSize, tweak);
    case EscapeCode::GetUserRecord:
      return GetUserRecord(in, inSize, out, outSize, tweak, object);
    case EscapeCode::GetItemList:
      return GetItemList(in, inSize, out, outSize, tweak, object);
  }
  return STIERR_UNSUPPORTED;
}

HRESULT Driver::ItemThumbnail(void* in, DWORD inSize, void* out, DWORD outSize,
                              const EscapeTweak& tweak)
{
  if (in == nullptr || inSize != sizeof(ItemRecord) || out == nullptr || outSize != 8)
    return E_INVALIDARG;
  const ItemRecord* record = LiveRecord(in);
  if (record == nullptr) return E_INVALIDARG;
  std::memset(out, 0, 8);
  if (tweak.empty) return S_OK;
  const Text& itemId = recordItems_[record];
  for (const JobSpec& job : jobs_) {
    if (job.itemId != itemId) continue;
    // The thumbnail's size in bytes: a 64-pixel-wide image of the first page;
    // the caller reads nothing of it.
    ULONGLONG bytes = 64ull * 64ull * 3ull;
    std::memcpy(out, &bytes, sizeof bytes);
    ScribbleDiscarded(out, 8);
    return S_OK;
  }
  return kNotFound;
}

HRESULT Driver::DeleteItem(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& tweak)
{
  if (in == nullptr || inSize != sizeof(ItemRecord) || outSize != 0) return E_INVALIDARG;
  const ItemRecord* record = LiveRecord(in);
  if (record == nullptr) return E_INVALIDARG;
  if (tweak.empty) return S_OK;
  const Text itemId = recordItems_[record];
  auto job = std::find_if(jobs_.begin(), jobs_.end(),
                          [&](const JobSpec& j) { return j.itemId == itemId; });
  if (job == jobs_.end()) return kNotFound;
  if (!job->deletable) return E_ACCESSDENIED;
  Forget(job);
  SignalLocked(static_cast<DWORD>(EventKind::ItemDeleted));
  return S_OK;
}

HRESULT Driver::GetPropertyBlock(DWORD kind, DWORD, void* out, DWORD outSize,
                                 const EscapeTweak& tweak, DWORD object)
{
  if (out == nullptr || outSize != sizeof(void*)) return E_INVALIDARG;
  auto* slot = static_cast<SettingsBlock**>(out);
  *slot = nullptr;
  if (tweak.empty) return S_OK;

  Owned owned;
  owned.kind = kind;
  owned.object = object;
  auto* block = static_cast<SettingsBlock*>(Allocate(owned, 1, sizeof(SettingsBlock), true));
  if (block == nullptr) return E_OUTOFMEMORY;
  ScribbleDiscarded(block->reserved0, sizeof block->reserved0);
  ScribbleDiscarded(block->reserved28, sizeof block->reserved28);
  const bool settings = kind == static_cast<DWORD>(BlockKind::Settings);
  if (settings) {
    block->jobName = SysAllocString(spec_.jobName.c_str());
    block->storeId = SysAllocString(W(""));
    owned.bridgeSlots.push_back(&block->jobName);
    owned.bridgeSlots.push_back(&block->storeId);
  }
  block->properties = MakeProperties(owned, settings ? spec_.settings : spec_.capabilityProperties,
                                     tweak.countDelta, block->propertyCount);
  if (block->properties == nullptr || (settings && (!block->jobName || !block->storeId))) {
    Release(owned);
    return E_OUTOFMEMORY;
  }
  owned_[block] = std::move(owned);
  *slot = block;
  return S_OK;
}

HRESULT Driver::SetScanSettings(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& tweak)
{
  if (in == nullptr || inSize != sizeof(SettingsBlock) || outSize != 0) return E_INVALIDARG;
  auto it = owned_.find(in);
  if (it == owned_.end() || it->second.kind != static_cast<DWORD>(BlockKind::Settings))
    return E_INVALIDARG;
  if (tweak.empty) return S_OK;
  const auto* block = static_cast<const SettingsBlock*>(in);
  lastJobName_ = block->jobName ? Text(block->jobName, SysStringLen(block->jobName)) : Text();
  lastStoreId_ = block->storeId ? Text(block->storeId, SysStringLen(block->storeId)) : Text();
  // The records are the driver's own array: walk the real count, not the
  // count field, which the bridge could have changed.
  const DWORD real = static_cast<DWORD>(spec_.settings.size());
  lastSettings_.clear();
  for (DWORD i = 0; i < real && block->properties != nullptr; ++i) {
    const PropertyRecord& r = block->properties[i];
    lastSettings_[r.Identifier()] = r.Int32();
    // The device keeps what it was sent: the next settings block starts from it.
    for (PropertySpec& s : spec_.settings)
      if (s.id == r.Identifier()) s.value = r.Int32();
  }
  spec_.jobName = lastJobName_;
  return S_OK;
}

HRESULT Driver::FreeDriverBlock(void* in, DWORD inSize, DWORD outSize, DWORD* sizeWord,
                                DWORD object, DWORD& breach)
{
  if (in == nullptr || sizeWord == nullptr || outSize != 0) return E_INVALIDARG;
  const DWORD kind = *sizeWord;
  const bool list = kind == static_cast<DWORD>(BlockKind::ItemList);
  if (!list && kind != static_cast<DWORD>(BlockKind::Settings) &&
      kind != static_cast<DWORD>(BlockKind::Capabilities))
    return E_INVALIDARG;
  if (inSize != (list ? sizeof(ItemListHeader) : sizeof(SettingsBlock))) return E_INVALIDARG;
  auto* header = static_cast<ItemListHeader*>(in);
  const void* block = list ? header->items : in;
  auto it = owned_.find(block);
  if (block == nullptr || it == owned_.end() || it->second.kind != kind) return E_INVALIDARG;
  // A bound block goes back only through the object that handed it out.
  if (conduct_.blocks == ConductSpec::Blocks::Bound && it->second.object != object) {
    breach = STISIM_BREACH_FOREIGN_HAND_BACK;
    return E_INVALIDARG;
  }
  TakeBack(it);
  if (!list) return S_OK;
  // The header is the caller's: what it holds now is the driver's choice.
  switch (conduct_.freedList) {
    case ConductSpec::FreedList::Emptied:
      header->count = 0;
      header->items = nullptr;
      break;
    case ConductSpec::FreedList::Untouched:
      break;
    case ConductSpec::FreedList::Scribbled:
      std::memset(static_cast<void*>(header), kScribble, sizeof *header);
      break;
  }
  return S_OK;
}

HRESULT Driver::Access(DWORD code, void* in, DWORD inSize, DWORD outSize, const EscapeTweak& tweak)
{
  Text storeId;
  if (outSize != 0 || FAILED(ReadStoreId(in, inSize, storeId))) return E_INVALIDARG;
  if (tweak.empty) return S_OK;
  if (code == static_cast<DWORD>(EscapeCode::BeginAccess))
    ++accessCount_;
  else if (accessCount_ > 0)
    --accessCount_;
  return S_OK;
}

HRESULT Driver::RegisterEvent(void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                              const EscapeTweak& tweak, DWORD object)
{
  if (in == nullptr || inSize != sizeof(HANDLE) || out == nullptr || outSize != sizeof(LONG) ||
      sizeWord == nullptr)
    return E_INVALIDARG;
  const DWORD kind = *sizeWord;
  if (kind != static_cast<DWORD>(EventKind::JobEnded) &&
      kind != static_cast<DWORD>(EventKind::ItemDeleted))
    return E_INVALIDARG;
  HANDLE event = *static_cast<HANDLE*>(in);
  if (event == nullptr) return E_INVALIDARG;
  if (tweak.empty) return S_OK;
  const LONG cookie = nextCookie_++;
  registrations_.push_back({cookie, kind, event, object});
  std::memcpy(out, &cookie, sizeof cookie);
  return S_OK;
}

HRESULT Driver::UnregisterEvent(void* in, DWORD inSize, DWORD outSize, DWORD* sizeWord,
                                DWORD object)
{
  if (in == nullptr || inSize != sizeof(LONG) || outSize != 0 || sizeWord == nullptr)
    return E_INVALIDARG;
  LONG cookie;
  std::memcpy(&cookie, in, sizeof cookie);
  // A bound registration is known only to the object it was made through.
  const bool bound = conduct_.registrations == ConductSpec::Registrations::Bound;
  auto it = std::find_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
    return r.cookie == cookie && r.kind == *sizeWord && (!bound || r.object == object);
  });
  if (it == registrations_.end()) return E_INVALIDARG;
  registrations_.erase(it);
  return S_OK;
}

HRESULT Driver::QueryDriverValue(void* in, DWORD inSize, void* out, DWORD outSize,
                                 const EscapeTweak& tweak, DWORD object)
{
  if (in == nullptr || inSize != sizeof(LONG) || out == nullptr || outSize != sizeof(void*))
    return E_INVALIDARG;
  LONG selector;
  std::memcpy(&selector, in, sizeof selector);
  auto* slot = static_cast<void**>(out);
  *slot = nullptr;
  if (selector != driver::kDriverValueItemIdentifier) return E_INVALIDARG;
  // A reclaiming driver frees the value this object handed out before, at
  // whatever query comes next: the caller's earlier pointer is dead now.
  if (conduct_.driverValue == ConductSpec::DriverValue::Reclaimed) {
    auto last = lastValues_.find(object);
    if (last != lastValues_.end()) {
      GlobalFree(last->second);
      lastValues_.erase(last);
    }
  }
  if (tweak.empty) return S_OK;
  // The item the device last finished scanning: the scenario's choice, else
  // the first stored job.
  Text value;
  if (spec_.driverValue)
    value = *spec_.driverValue;
  else if (!jobs_.empty())
    value = jobs_.front().itemId;
  else
    return kNotFound;
  // From the global heap: the bridge frees it with GlobalFree.
  auto* text = static_cast<WCHAR*>(GlobalAlloc(GMEM_FIXED, (value.size() + 1) * sizeof(WCHAR)));
  if (text == nullptr) return E_OUTOFMEMORY;
  std::memcpy(text, value.c_str(), (value.size() + 1) * sizeof(WCHAR));
  if (conduct_.driverValue == ConductSpec::DriverValue::Reclaimed) lastValues_[object] = text;
  *slot = text;
  return S_OK;
}

HRESULT Driver::SetUserRecord(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& tweak)
{
  if (in == nullptr || inSize != sizeof(UserRecord) || outSize != 0) return E_INVALIDARG;
  auto it = owned_.find(in);
  if (it == owned_.end() || it->second.kind != STISIM_BLOCK_USER_RECORD) return E_INVALIDARG;
  if (tweak.empty) return S_OK;
  const auto* record = static_cast<const UserRecord*>(in);
  // The driver's own array holds two records (see GetUserRecord).
  const PropertyRecord* pin = driver::FindProperty(record->properties, 2, property::kUserPin);
  if (pin == nullptr) return E_INVALIDARG;
  BSTR value = pin->Bstr();
  lastPin_ = value ? Text(value, SysStringLen(value)) : Text();
  return S_OK;
}

HRESULT Driver::GetUserRecord(void* in, DWORD inSize, void* out, DWORD outSize,
                              const EscapeTweak& tweak, DWORD object)
{
  Text storeId;
  if (FAILED(ReadStoreId(in, inSize, storeId)) || out == nullptr || outSize != sizeof(void*))
    return E_INVALIDARG;
  auto* slot = static_cast<UserRecord**>(out);
  *slot = nullptr;
  if (tweak.empty) return S_OK;
  // One record per store (per store and device object when blocks are
  // bound), made on first request and kept until the reset or the object's
  // release: the bridge never hands it back.
  const std::pair<DWORD, Text> key(conduct_.blocks == ConductSpec::Blocks::Bound ? object : 0,
                                   storeId);
  auto found = users_.find(key);
  if (found != users_.end()) {
    *slot = found->second;
    return S_OK;
  }
  Text pin;
  for (const UserSpec& user : spec_.users)
    if (user.storeId == storeId) pin = user.pin;
  Owned owned;
  owned.kind = STISIM_BLOCK_USER_RECORD;
  owned.object = object;
  auto* record = static_cast<UserRecord*>(Allocate(owned, 1, sizeof(UserRecord), true));
  auto* records = static_cast<PropertyRecord*>(Allocate(owned, 2, sizeof(PropertyRecord)));
  BSTR pinText = SysAllocString(pin.c_str());
  if (record == nullptr || records == nullptr || pinText == nullptr) {
    Release(owned);
    SysFreeString(pinText);
    return E_OUTOFMEMORY;
  }
  ScribbleDiscarded(record->reserved0, sizeof record->reserved0);
  ScribbleDiscarded(record->reserved20, sizeof record->reserved20);
  // A user-flags record first, so that a reader has to look for the PIN.
  records[0].MakeInt32(38945, 1);
  records[1].MakeBstr(property::kUserPin, pinText);
  ScribbleRecord(records[0]);
  ScribbleRecord(records[1]);
  owned.bridgeValues.push_back(&records[1]);
  const LONG reported = std::max<LONG>(0, 2 + tweak.countDelta);
  record->propertyCount = static_cast<DWORD>(std::min<LONG>(reported, 2));
  record->properties = records;
  owned_[record] = std::move(owned);
  users_[key] = record;
  *slot = record;
  return S_OK;
}

HRESULT Driver::GetItemList(void* in, DWORD inSize, void* out, DWORD outSize,
                            const EscapeTweak& tweak, DWORD object)
{
  Text storeId;
  if (FAILED(ReadStoreId(in, inSize, storeId)) || out == nullptr ||
      outSize != sizeof(ItemListHeader))
    return E_INVALIDARG;
  auto* header = static_cast<ItemListHeader*>(out);
  header->count = 0;
  header->items = nullptr;
  if (tweak.empty) return S_OK;

  const LONG real = static_cast<LONG>(jobs_.size());
  const LONG reported = std::max<LONG>(0, real + tweak.countDelta);
  Owned owned;
  owned.kind = static_cast<DWORD>(BlockKind::ItemList);
  owned.object = object;
  // Slots beyond the real items (a count that claims more) stay empty.
  auto* array = static_cast<ItemRecord**>(
      Allocate(owned, static_cast<size_t>(std::max(real, reported)), sizeof(ItemRecord*), true));
  if (array == nullptr) return E_OUTOFMEMORY;
  for (LONG i = 0; i < real; ++i) {
    array[i] = MakeItemRecord(owned, jobs_[static_cast<size_t>(i)]);
    if (array[i] == nullptr) {
      Release(owned);
      return E_OUTOFMEMORY;
    }
  }
  owned_[array] = std::move(owned);
  header->count = reported;
  ScribbleDiscarded(header->reserved4, sizeof header->reserved4);
  header->items = array;
  return S_OK;
}

HRESULT Driver::ItemTransfer(void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                             const EscapeTweak& tweak, DWORD& breach)
{
  if (in == nullptr || inSize != sizeof(RequestBlock) || sizeWord == nullptr) return E_INVALIDARG;
  RequestBlock request;
  std::memcpy(&request, in, sizeof request);
  Text itemName;
  if (conduct_.requestName == ConductSpec::RequestName::Whole) {
    // The driver copies the 520 bytes the protocol promises it.
    if (!ReadWholeName(request.itemName, itemName)) {
      breach = STISIM_BREACH_REQUEST_NAME;
      return E_INVALIDARG;
    }
  } else if (!ReadBoundedText(request.itemName, driver::kItemNameCapacity, itemName)) {
    return E_INVALIDARG;
  }
  if (request.operation > driver::kOperationFile) return E_INVALIDARG;
  const JobSpec* job = FindJobByName(itemName);
  if (job == nullptr) return kNotFound;
  const DWORD requested = *sizeWord;

  // Page properties: operation 0 with a page count.
  if (request.operation == driver::kOperationProperties && request.pageCount > 0) {
    if (requested != 0) return E_INVALIDARG;
    if (tweak.empty) return S_OK;
    return PageProperties(*job, request, out, outSize, sizeWord);
  }

  // A string read: the caller's 8-byte string-pointer slot.
  if (requested == 0 && out != nullptr && outSize == sizeof(WCHAR*)) {
    auto* slot = static_cast<const WCHAR**>(out);
    *slot = nullptr;
    if (tweak.empty) return S_OK;
    Text text = job->documentName;
    if (request.operation == driver::kOperationFile) {
      // The file name the transfer would be stored under.
      Text base = job->itemName;
      size_t dot = base.find_last_of(W('.'));
      if (dot != Text::npos) base.resize(dot);
      const DWORD format = request.formatCode;
      base += format == driver::kFileFormatBmp    ? Text(W(".bmp"))
              : format == driver::kFileFormatJpeg ? Text(W(".jpg"))
                                                  : Text(W(".tif"));
      text = base;
    }
    *slot = strings_.insert(text).first->c_str();
    return S_OK;
  }

  const DWORD page = request.page == 0 ? 1 : request.page;
  if (static_cast<LONG>(page) > job->pages) return E_INVALIDARG;

  // Header request: the page's BITMAPINFOHEADER.
  if (requested == 0 && out != nullptr) {
    if (outSize < sizeof(BITMAPINFOHEADER)) return kBufferTooSmall;
    if (tweak.empty) return S_OK;
    BITMAPINFOHEADER header = DibHeader(RenderPage(*job, static_cast<LONG>(page)));
    std::memcpy(out, &header, sizeof header);
    *sizeWord = sizeof header;
    return S_OK;
  }

  const std::string key = TransferKey(itemName, request, request.page);
  // Size query: no output; the size word answers.
  if (out == nullptr && outSize == 0 && requested == 0) {
    if (tweak.empty) return S_OK;
    Transfer made;
    HRESULT hr = StartTransfer(*job, request, key, made);
    if (FAILED(hr)) return hr;
    *sizeWord = static_cast<DWORD>(static_cast<LONG>(made.bytes->size()) + tweak.countDelta);
    return S_OK;
  }

  // Data read: up to the size word's count of bytes, into the output.
  if (out == nullptr || requested == 0 || requested > outSize) return E_INVALIDARG;
  auto found = transfers_.find(key);
  if (found == transfers_.end()) {
    Transfer made;
    HRESULT hr = StartTransfer(*job, request, key, made);
    if (FAILED(hr)) return hr;
    found = transfers_.emplace(key, std::move(made)).first;
  }
  Transfer& transfer = found->second;
  if (tweak.empty) {
    *sizeWord = 0;
    return S_OK;
  }
  const std::vector<BYTE>& bytes = *transfer.bytes;
  size_t chunk = std::min<size_t>(requested, bytes.size() - transfer.offset);
  if (transfer.rowBytes != 0) {
    // Memory transfers come in strips of whole rows.
    chunk -= chunk % transfer.rowBytes;
    if (chunk == 0) return kBufferTooSmall;
  }
  std::memcpy(out, bytes.data() + transfer.offset, chunk);
  transfer.offset += chunk;
  *sizeWord = DataSizeWord(transfer, chunk, tweak.countDelta, requested, outSize);
  if (transfer.offset < bytes.size()) return S_OK;

  const bool endsJob = transfer.endsJob;
  transfers_.erase(found);
  if (endsJob) SignalLocked(static_cast<DWORD>(EventKind::JobEnded));
  return S_FALSE;
}

DWORD Driver::DataSizeWord(const Transfer& transfer, size_t chunk, LONG countDelta, DWORD requested,
                           DWORD outSize) const
{
  switch (conduct_.dataSizeWord) {
    case ConductSpec::DataSizeWord::Delivered:
      return static_cast<DWORD>(static_cast<LONG>(chunk) + countDelta);
    case ConductSpec::DataSizeWord::Untouched:
      return requested;
    case ConductSpec::DataSizeWord::Zero:
      return 0;
    case ConductSpec::DataSizeWord::Total:
      return static_cast<DWORD>(transfer.bytes->size());
    case ConductSpec::DataSizeWord::Remaining:
      return static_cast<DWORD>(transfer.bytes->size() - transfer.offset);
    case ConductSpec::DataSizeWord::Beyond:
      return outSize > 0xFFFF0000u ? 0xFFFFFFFFu : outSize + 0x10000u;
  }
  return 0;
}

HRESULT Driver::PageProperties(const JobSpec& job, const RequestBlock& request, void* out,
                               DWORD outSize, DWORD* sizeWord)
{
  const ULONGLONG needed = ULONGLONG(request.pageCount) * driver::kPagePropertyBytes;
  if (out == nullptr) return E_INVALIDARG;
  if (outSize < needed) return kBufferTooSmall;
  if (request.page < 1 || ULONGLONG(request.page) + request.pageCount - 1 > ULONGLONG(job.pages))
    return E_INVALIDARG;
  auto* records = static_cast<PropertyRecord*>(out);
  for (DWORD p = 0; p < request.pageCount; ++p) {
    const std::vector<Prop> list = PagePropertyList(job, static_cast<LONG>(request.page + p));
    for (size_t i = 0; i < list.size(); ++i) {
      PropertyRecord& record = records[p * driver::kPagePropertyCount + i];
      FillRecord(record, list[i], nullptr);
      ScribbleRecord(record);
    }
  }
  *sizeWord = static_cast<DWORD>(needed);
  return S_OK;
}

HRESULT Driver::StartTransfer(const JobSpec& job, const RequestBlock& request,
                              const std::string& key, Transfer& made)
{
  if (rendered_.bytes != nullptr && renderedKey_ == key) {
    made = rendered_;
    return S_OK;
  }
  HRESULT hr = TransferBytes(job, request, made);
  if (FAILED(hr)) return hr;
  // The page drawn before goes back here, in a read that draws anyway,
  // rather than in the read that ends its transfer.
  renderedKey_ = key;
  rendered_ = made;
  return S_OK;
}

HRESULT Driver::TransferBytes(const JobSpec& job, const RequestBlock& request, Transfer& made)
{
  const LONG page = request.page == 0 ? 1 : static_cast<LONG>(request.page);
  made.endsJob = page == job.pages;
  std::vector<BYTE> bytes;
  switch (request.operation) {
    case driver::kOperationNative:
      bytes = DibData(RenderPage(job, page));
      break;
    case driver::kOperationProperties: {
      PageImage image = RenderPage(job, page);
      made.rowBytes = image.RowBytes();
      bytes = std::move(image.rows);
      break;
    }
    case driver::kOperationFile:
      switch (request.formatCode) {
        case driver::kFileFormatBmp:
          bytes = BmpFile(RenderPage(job, page));
          break;
        case driver::kFileFormatTiff:
          bytes = TiffFile({RenderPage(job, page)});
          break;
        case driver::kFileFormatTiffMulti: {
          // Page 0 asks for the whole document in one file.
          std::vector<PageImage> pages;
          LONG first = request.page == 0 ? 1 : page;
          LONG last = request.page == 0 ? job.pages : page;
          for (LONG p = first; p <= last; ++p) pages.push_back(RenderPage(job, p));
          made.endsJob = last == job.pages;
          bytes = TiffFile(pages);
          break;
        }
        case driver::kFileFormatJpeg:
          return STIERR_UNSUPPORTED;
        default:
          return E_INVALIDARG;
      }
      break;
    default:
      return E_INVALIDARG;
  }
  made.bytes = std::make_shared<const std::vector<BYTE>>(std::move(bytes));
  return S_OK;
}

HRESULT Driver::SignalLocked(DWORD kind)
{
  for (const Registration& r : registrations_)
    if (r.kind == kind) SetEvent(r.event);
  return S_OK;
}

int Driver::Signal(DWORD kind)
{
  std::lock_guard<std::mutex> guard(mutex_);
  int n = 0;
  for (const Registration& r : registrations_)
    if (r.kind == kind) n += SetEvent(r.event) ? 1 : 0;
  return n;
}

LONG Driver::OutstandingBlocks(DWORD kind)
{
  std::lock_guard<std::mutex> guard(mutex_);
  LONG n = 0;
  for (const auto& entry : owned_) n += entry.second.kind == kind ? 1 : 0;
  return n;
}

size_t Driver::OutstandingBytes()
{
  std::lock_guard<std::mutex> guard(mutex_);
  size_t bytes = 0;
  for (const auto& entry : owned_) {
    for (const Piece& piece : entry.second.memory) bytes += piece.bytes;
    for (BSTR text : entry.second.strings)
      bytes += text != nullptr ? SysStringByteLen(text) + sizeof(DWORD) + sizeof(WCHAR) : 0;
  }
  return bytes;
}

LONG Driver::StoredItemCount()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<LONG>(jobs_.size());
}

LONG Driver::AccessCount()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return accessCount_;
}

LONG Driver::EventRegistrations(DWORD kind)
{
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<LONG>(std::count_if(registrations_.begin(), registrations_.end(),
                                         [&](const Registration& r) { return r.kind == kind; }));
}

bool Driver::LastSettingsValue(DWORD id, LONG& value)
{
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = lastSettings_.find(id);
  if (it == lastSettings_.end()) return false;
  value = it->second;
  return true;
}

Text Driver::LastJobName()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return lastJobName_;
}

Text Driver::LastStoreId()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return lastStoreId_;
}

Text Driver::LastPin()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return lastPin_;
}

}  // namespace sim
