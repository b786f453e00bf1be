// Capability containers (one value, enumeration, range, array) as memory
// handles: built for the application, and read from what it hands in,
// checked against the size of the memory that holds them.
#pragma once

#include <string>
#include <vector>

#include "protocol/twain2.h"

namespace twainds {

// The memory this source hands to the application (containers), and the
// application's own: through the manager's functions when DAT_ENTRYPOINT
// gave them, else global memory, which is what Windows managers and
// applications allocate and free.
class Memory {
 public:
  void Use(const TW_ENTRYPOINT& entry);
  void Forget() { *this = Memory(); }
  TW_HANDLE Allocate(size_t bytes) const;
  void Free(TW_HANDLE handle) const;
  void* Lock(TW_HANDLE handle) const;
  void Unlock(TW_HANDLE handle) const;

 private:
  DSM_MEMALLOCATE allocate_ = nullptr;
  DSM_MEMFREE free_ = nullptr;
  DSM_MEMLOCK lock_ = nullptr;
  DSM_MEMUNLOCK unlock_ = nullptr;
};

// Bytes of one item of a TWTY_ type; 0 for a type this source does not know.
size_t ItemBytes(TW_UINT16 itemType);

// A number of any TWTY_ numeric type, as the bits of that type (a TW_FIX32
// as its Whole and Frac, in memory order), widened to 32 bits without sign.
using Raw = TW_UINT32;

// The bits of `value` that belong to an item of `itemType`.
Raw Masked(TW_UINT16 itemType, Raw value);
// TW_INT16 items as signed numbers.
inline int Signed16(Raw value)
{
  return static_cast<TW_INT16>(static_cast<TW_UINT16>(value));
}
// TW_FIX32 from and to a number.
Raw Fix32(double value);
double FromFix32(Raw value);

// What the application handed in.
struct Container {
  TW_UINT16 conType = 0;
  TW_UINT16 itemType = 0;
  std::vector<Raw> items;           // numbers: a one value's, an enumeration's or array's
  std::vector<std::wstring> texts;  // strings: TWTY_STR* in the ANSI code page, TWTY_UNI512
  TW_UINT32 currentIndex = 0, defaultIndex = 0;
  Raw minValue = 0, maxValue = 0, stepSize = 0, defaultValue = 0, currentValue = 0;
};

// Reads the container of `capability`: TWCC_SUCCESS, or TWCC_BADVALUE when
// there is none, its kind or item type is unknown, or its counts ask for
// more than its memory holds.
TW_UINT16 ReadContainer(const Memory& memory, const TW_CAPABILITY& capability,
                        Container& container);

// The containers this source answers with; a null handle when no memory was
// to be had.
TW_HANDLE OneValue(const Memory& memory, TW_UINT16 itemType, Raw item);
TW_HANDLE Enumeration(const Memory& memory, TW_UINT16 itemType, const std::vector<Raw>& items,
                      TW_UINT32 currentIndex, TW_UINT32 defaultIndex);
TW_HANDLE Range(const Memory& memory, TW_UINT16 itemType, Raw minValue, Raw maxValue, Raw stepSize,
                Raw defaultValue, Raw currentValue);
TW_HANDLE Array(const Memory& memory, TW_UINT16 itemType, const std::vector<Raw>& items);
// Whether `text` can be an item of `itemType` as it is: within its size,
// and (TWTY_STR*) written in the ANSI code page without a character lost.
bool FitsText(TW_UINT16 itemType, const std::wstring& text);
// An array of strings of `itemType`: TWTY_UNI512 (each cut to 511 units) or
// TWTY_STR32 to TWTY_STR1024 in the ANSI code page (each cut to its size).
TW_HANDLE TextArray(const Memory& memory, TW_UINT16 itemType,
                    const std::vector<std::wstring>& texts);

}  // namespace twainds
