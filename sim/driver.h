// The scanner driver stand-in: answers the fifteen escape codes with the
// driver's block layouts, owns every block it hands out until it is handed
// back (or the simulator is reset), keeps the jobs stored on the device and
// their pages, and signals the events it was given.
#pragma once

#include <map>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "protocol/driver_protocol.h"
#include "platform/win32.h"
#include "sim/page_image.h"
#include "sim/scenario.h"

namespace sim {

// How an injected fault bends an escape that is otherwise carried out.
struct EscapeTweak {
  bool empty = false;   // succeed without handing anything out
  LONG countDelta = 0;  // counts reported off by this much
};

class Driver {
 public:
  explicit Driver(const DeviceSpec& spec);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  HRESULT Escape(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                 const EscapeTweak& tweak);

  // State for the test interface.
  LONG OutstandingBlocks(DWORD kind);
  LONG StoredItemCount();
  LONG AccessCount();
  LONG EventRegistrations(DWORD kind);
  bool LastSettingsValue(DWORD property, LONG& value);
  Text LastJobName();
  Text LastStoreId();
  Text LastPin();
  // Signals every event registered for `kind`; returns how many.
  int Signal(DWORD kind);

 private:
  // A block handed out, with everything allocated for it.
  struct Owned {
    DWORD kind = 0;
    std::vector<void*> memory;       // calloc'd pieces, freed with free
    std::vector<BSTR> strings;       // BSTRs that only the driver touches
    std::vector<BSTR*> bridgeSlots;  // BSTR fields the bridge may replace: freed as found
    std::vector<driver::PropertyRecord*> bridgeValues;  // BSTR values the bridge may replace
    std::vector<const driver::ItemRecord*> records;
  };
  struct Registration {
    LONG cookie;
    DWORD kind;
    HANDLE event;
  };
  // A transfer under way. Its bytes are shared with the render cache, so
  // that ending a transfer frees nothing and the next transfer of the same
  // page does not draw it again.
  struct Transfer {
    std::shared_ptr<const std::vector<BYTE>> bytes;
    size_t offset = 0;
    size_t rowBytes = 0;  // memory transfers deliver whole rows
    bool endsJob = false;
  };

  HRESULT ItemThumbnail(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t);
  HRESULT ItemTransfer(void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                       const EscapeTweak& t);
  HRESULT DeleteItem(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT GetPropertyBlock(DWORD kind, DWORD inSize, void* out, DWORD outSize,
                           const EscapeTweak& t);
  HRESULT SetScanSettings(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT FreeDriverBlock(void* in, DWORD inSize, DWORD outSize, DWORD* sizeWord);
  HRESULT Access(DWORD code, void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT RegisterEvent(void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                        const EscapeTweak& t);
  HRESULT UnregisterEvent(void* in, DWORD inSize, DWORD outSize, DWORD* sizeWord);
  HRESULT QueryDriverValue(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t);
  HRESULT SetUserRecord(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT GetUserRecord(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t);
  HRESULT GetItemList(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t);

  HRESULT PageProperties(const JobSpec& job, const driver::RequestBlock& request, void* out,
                         DWORD outSize, DWORD* sizeWord);
  // The bytes of a transfer: the last one drawn again when `key` names it,
  // otherwise drawn now (TransferBytes) and remembered.
  HRESULT StartTransfer(const JobSpec& job, const driver::RequestBlock& request,
                        const std::string& key, Transfer& made);
  HRESULT TransferBytes(const JobSpec& job, const driver::RequestBlock& request, Transfer& made);
  HRESULT SignalLocked(DWORD kind);

  driver::PropertyRecord* MakeProperties(Owned& owned, const std::vector<PropertySpec>& specs,
                                         LONG countDelta, DWORD& count);
  driver::ItemRecord* MakeItemRecord(Owned& owned, const JobSpec& job);
  void Release(Owned& owned);
  const JobSpec* FindJobByName(const Text& itemName) const;
  const driver::ItemRecord* LiveRecord(const void* pointer) const;

  std::mutex mutex_;
  DeviceSpec spec_;
  std::vector<JobSpec> jobs_;
  std::map<const void*, Owned> owned_;  // by the pointer handed out
  std::map<Text, driver::UserRecord*> users_;
  std::unordered_map<const driver::ItemRecord*, Text> recordItems_;  // record -> item identifier
  std::map<std::string, Transfer> transfers_;
  // The transfer drawn last (page images are a pure function of the key),
  // at offset 0. One page's worth of memory, kept until the next draw.
  std::string renderedKey_;
  Transfer rendered_;
  std::set<Text> strings_;  // strings handed out by string reads; stable until reset
  std::vector<Registration> registrations_;
  LONG nextCookie_ = 1;
  LONG accessCount_ = 0;
  std::map<DWORD, LONG> lastSettings_;
  Text lastJobName_, lastStoreId_, lastPin_;
};

}  // namespace sim
