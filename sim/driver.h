// The scanner driver stand-in: answers the fifteen escape codes with the
// driver's block layouts, owns every block it hands out until it is handed
// back (or the simulator is reset, or, under a bound conduct, the device
// object that handed it out is released), keeps the jobs stored on the device
// and their pages, and signals the events it was given. It also notices what
// no caller may do (a block used after the driver took it back or reclaimed
// it, a block handed back twice or through another object, a request name
// not in its buffer) and reports it as a breach.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
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
  // Carry the escape out, take back (reclaimed) what it handed out, and
  // answer this failure: a driver that fails part-way (S_OK: none).
  HRESULT failAfter = S_OK;
};

class Driver {
 public:
  Driver(const DeviceSpec& spec, const ConductSpec& conduct);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // `object` is the serial number of the device object the escape came
  // through; `breach` is set to the STISIM_BREACH_* kind of a breach the
  // escape was (and then the driver refused it), else left alone.
  HRESULT Escape(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                 const EscapeTweak& tweak, DWORD object, DWORD& breach);

  // The device object `object` is gone: under a bound conduct the driver
  // reclaims every block it handed out through it, and under bound
  // registrations drops the event registrations made through it.
  void ObjectReleased(DWORD object);
  // Whether an injected failure of `code` lets the escape run part-way
  // first: only escapes that hand something out, which they can take back.
  bool FailsPartWay(DWORD code) const;

  // State for the test interface.
  LONG OutstandingBlocks(DWORD kind);
  // The memory the blocks handed out and not taken back occupy, their
  // strings included.
  size_t OutstandingBytes();
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
  // A piece of memory allocated for a block.
  struct Piece {
    void* at;
    size_t bytes;
  };
  // A block handed out, with everything allocated for it.
  struct Owned {
    DWORD kind = 0;
    DWORD object = 0;                // the device object it went out through
    std::vector<Piece> memory;       // pieces (sim::Allocate); the first is the block
    std::vector<BSTR> strings;       // BSTRs that only the driver touches (sim::AllocateString)
    std::vector<BSTR*> bridgeSlots;  // BSTR fields the bridge may replace: freed as found
    std::vector<driver::PropertyRecord*> bridgeValues;  // BSTR values the bridge may replace
    std::vector<const driver::ItemRecord*> records;
  };
  struct Registration {
    LONG cookie;
    DWORD kind;
    HANDLE event;
    DWORD object;  // the device object it was made through
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

  HRESULT Dispatch(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                   const EscapeTweak& tweak, DWORD object, DWORD& breach);
  HRESULT ItemThumbnail(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t);
  HRESULT ItemTransfer(void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                       const EscapeTweak& t, DWORD& breach);
  HRESULT DeleteItem(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT GetPropertyBlock(DWORD kind, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t,
                           DWORD object);
  HRESULT SetScanSettings(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT FreeDriverBlock(void* in, DWORD inSize, DWORD outSize, DWORD* sizeWord, DWORD object,
                          DWORD& breach);
  HRESULT Access(DWORD code, void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT RegisterEvent(void* in, DWORD inSize, void* out, DWORD outSize, DWORD* sizeWord,
                        const EscapeTweak& t, DWORD object);
  HRESULT UnregisterEvent(void* in, DWORD inSize, DWORD outSize, DWORD* sizeWord, DWORD object);
  HRESULT QueryDriverValue(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t,
                           DWORD object);
  HRESULT SetUserRecord(void* in, DWORD inSize, DWORD outSize, const EscapeTweak& t);
  HRESULT GetUserRecord(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t,
                        DWORD object);
  HRESULT GetItemList(void* in, DWORD inSize, void* out, DWORD outSize, const EscapeTweak& t,
                      DWORD object);

  HRESULT PageProperties(const JobSpec& job, const driver::RequestBlock& request, void* out,
                         DWORD outSize, DWORD* sizeWord);
  // The size word after a data read, as the conduct has the driver leave it.
  DWORD DataSizeWord(const Transfer& transfer, size_t chunk, LONG countDelta, DWORD requested,
                     DWORD outSize) const;
  // The bytes of a transfer: the last one drawn again when `key` names it,
  // otherwise drawn now (TransferBytes) and remembered.
  HRESULT StartTransfer(const JobSpec& job, const driver::RequestBlock& request,
                        const std::string& key, Transfer& made);
  HRESULT TransferBytes(const JobSpec& job, const driver::RequestBlock& request, Transfer& made);
  HRESULT SignalLocked(DWORD kind);
  // Stores the jobs scanned by now, signalling "JobEnded" for each, and
  // takes out those deleted at the panel by now, signalling "ItemDeleted";
  // runs on the driver's own thread until the driver goes.
  void RunPanel();
  // The job is gone from the store: a deletion that outlives the process
  // (keepDeletions) is recorded and takes its thumbnail file along.
  void Forget(std::vector<JobSpec>::iterator job);

  // Zero-filled memory for `owned`; `head` marks the block itself, whose
  // address a reusing driver gives again. Null when none is to be had.
  void* Allocate(Owned& owned, size_t count, size_t size, bool head = false);
  driver::PropertyRecord* MakeProperties(Owned& owned, const std::vector<PropertySpec>& specs,
                                         LONG countDelta, DWORD& count);
  driver::ItemRecord* MakeItemRecord(Owned& owned, const JobSpec& job);
  // The bytes the bridge does not read, written over when the conduct says so.
  void ScribbleDiscarded(void* bytes, size_t count) const;
  void ScribbleRecord(driver::PropertyRecord& record) const;
  void Release(Owned& owned);
  // The block is the driver's again: its pointers are remembered as handed
  // back, and its memory freed (or kept for reuse).
  void TakeBack(std::map<const void*, Owned>::iterator block);
  // The block is dead: its strings freed, its memory filled with a pattern
  // and kept until the driver goes, its pointers remembered.
  void Reclaim(std::map<const void*, Owned>::iterator block);
  // An escape that failed part-way takes back what it handed out.
  void UndoHandOut(DWORD code, void* out);
  // The driver block that an escape's input is or names, if any.
  const void* InputBlock(DWORD code, const void* in, DWORD inSize, const DWORD* sizeWord) const;
  const JobSpec* FindJobByName(const Text& itemName) const;
  const driver::ItemRecord* LiveRecord(const void* pointer) const;

  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;
  DeviceSpec spec_;
  const ConductSpec conduct_;
  std::vector<JobSpec> jobs_;
  std::map<const void*, Owned> owned_;  // by the pointer handed out
  // One user record per store (and, for bound blocks, per device object; 0
  // otherwise).
  std::map<std::pair<DWORD, Text>, driver::UserRecord*> users_;
  // Pointers the driver took back (blocks and the records of lists) and has
  // not handed out again, and blocks reclaimed with their device object,
  // whose memory stays (pattern-filled) until the driver goes.
  std::set<const void*> returned_;
  std::set<const void*> dead_;
  std::vector<Piece> deadMemory_;
  std::vector<void*> deadValues_;  // driver values (global memory) of failed queries
  // The driver value each device object handed out last (a reclaiming
  // driver frees it at that object's next query).
  std::map<DWORD, void*> lastValues_;
  // Blocks handed back, kept for the next block of their kind (reused
  // addresses), by kind.
  std::map<DWORD, std::vector<Piece>> spare_;
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
  // What is still to happen at the device's panel, and when, in order: a
  // job scanned (it arrives) or deleted.
  struct Happening {
    std::chrono::steady_clock::time_point at;
    bool arrives;
    JobSpec job;
  };
  std::vector<Happening> happenings_;
  std::thread panelThread_;
};

}  // namespace sim
