#include "source/extended.h"

#include <cstddef>
#include <cstring>

#include "protocol/custom.h"
#include "source/session.h"

namespace twainds {

namespace {

// More items than TWAIN has is not a request but memory out of order.
constexpr TW_UINT32 kMostInfos = 1024;

}  // namespace

std::vector<TW_UINT16> ExtendedInfoIds()
{
  return {TWEI_DOCUMENTNUMBER, TWEI_PAGENUMBER, TWEI_PAGESIDE,         TWEI_FRAMENUMBER,
          TWEI_FRAME,          TWEI_PIXELFLAVOR, STIBRIDGE_TWEI_ITEMNAME};
}

Result Session::ExtendedInfo(TW_MEMREF data)
{
  auto* numInfos = static_cast<TW_UINT32*>(data);
  if (numInfos == nullptr || *numInfos > kMostInfos) return Failed(TWCC_BADVALUE);
  if (!walk_.Active()) return Failed(TWCC_SEQERROR);
  auto* infos =
      reinterpret_cast<TW_INFO2*>(static_cast<unsigned char*>(data) + offsetof(TW_EXTIMAGEINFO, Info));
  const Memory& memory = module_.memory;
  // The handles given so far, for the application to free: all taken back
  // again when one cannot be made.
  std::vector<TW_HANDLE> given;
  const auto lowMemory = [&] {
    for (TW_HANDLE held : given) memory.Free(held);
    for (TW_UINT32 i = 0; i < *numInfos; ++i) infos[i].Item = 0;
    return Failed(TWCC_LOWMEMORY);
  };
  for (TW_UINT32 i = 0; i < *numInfos; ++i) {
    TW_INFO2& info = infos[i];
    // A value in the item itself, or a handle of the bytes that do not fit.
    const auto inPlace = [&info](TW_UINT16 type, TW_UINT32 value) {
      info.ItemType = type;
      info.NumItems = 1;
      info.Item = value;
      info.ReturnCode = TWRC_SUCCESS;
    };
    const auto handle = [&info, &memory, &given](TW_UINT16 type, const void* bytes, size_t size) {
      TW_HANDLE held = memory.Allocate(size);
      void* at = held != nullptr ? memory.Lock(held) : nullptr;
      if (at == nullptr) {
        memory.Free(held);
        return false;
      }
      std::memcpy(at, bytes, size);
      memory.Unlock(held);
      given.push_back(held);
      info.ItemType = type;
      info.NumItems = 1;
      info.Item = reinterpret_cast<UINT_PTR>(held);
      info.ReturnCode = TWRC_SUCCESS;
      return true;
    };
    info.ItemType = 0;
    info.NumItems = 0;
    info.Item = 0;
    info.ReturnCode = TWRC_INFONOTSUPPORTED;
    switch (info.InfoID) {
      case TWEI_DOCUMENTNUMBER:
        inPlace(TWTY_UINT32, static_cast<TW_UINT32>(walk_.JobNumber()));
        break;
      case TWEI_PAGENUMBER:
        inPlace(TWTY_UINT32, static_cast<TW_UINT32>(walk_.Page()));
        break;
      case TWEI_FRAMENUMBER:
        inPlace(TWTY_UINT32, 1);
        break;
      case TWEI_PAGESIDE:
        inPlace(TWTY_UINT16, TWCS_TOP);
        break;
      case TWEI_PIXELFLAVOR:
        inPlace(TWTY_UINT16, TWPF_CHOCOLATE);
        break;
      case TWEI_FRAME: {
        TW_FRAME frame = {};
        const HRESULT hr = TransferredFrame(frame);
        if (FAILED(hr)) {
          info.ReturnCode = TWRC_DATANOTAVAILABLE;
          break;
        }
        if (!handle(TWTY_FRAME, &frame, sizeof frame)) return lowMemory();
        break;
      }
      case STIBRIDGE_TWEI_ITEMNAME: {
        const std::wstring& name = walk_.CurrentJob().name;
        const TW_UINT16 type = FitsText(TWTY_STR255, name) ? TWTY_STR255 : TWTY_UNI512;
        // The array container's item, without its header.
        TW_HANDLE text = TextArray(memory, type, {name});
        const auto* at = text != nullptr ? static_cast<unsigned char*>(memory.Lock(text)) : nullptr;
        const bool made = at != nullptr && handle(type, at + offsetof(TW_ARRAY, ItemList),
                                                  ItemBytes(type));
        if (at != nullptr) memory.Unlock(text);
        memory.Free(text);
        if (!made) return lowMemory();
        break;
      }
      default:
        break;
    }
  }
  return Done();
}

}  // namespace twainds
