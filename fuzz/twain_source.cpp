// Fuzz target: what an application hands the TWAIN data source. The real
// twainds::Dispatch (twain/source/triplets.h), with the source's protocol/
// and source/ compiled natively against a Win32 shim (twain_shim/) and a
// stand-in of the scanner server (twain_fake/), gets sequences of
// operations decoded from the input: every triplet the source answers and
// others, in any state, from the application that opened it, another one
// or none; capability containers of every kind, item type, count and size
// (handles smaller than their counts say), identities, the set-up
// structures, memory-transfer buffers as pointers and handles with lengths
// that lie, extended image information of any count, DAT_ENTRYPOINT with
// the manager's functions or some of them. The scanner's jobs, pages,
// settings, conduct and failures, and faults of memory and files, come
// from the input too (the layout is at Scenario below; seeds in
// fuzz/corpus/twain_source/, written by fuzz/twain_source_seeds.py).
//
// Rules:
// - no crash and no sanitizer report: the source reads and writes only
//   what it was given (every structure, container and buffer is exactly as
//   large as it says, or as its handle's size says), and leaks nothing;
// - the state (3 loaded, 4 open, 5 enabled, 6 transfers ready, 7
//   transferring) moves only as the triplet table allows:
//   . a triplet the source does not know fails with TWCC_BADPROTOCOL, one
//     outside its states (triplets.cpp, the TWAIN 2.4 state table) with
//     TWCC_SEQERROR, and neither changes the state;
//   . a failure changes nothing, except that a memory or memory-file
//     transfer that began in 6 may leave 7 for MSG_ENDXFER to end;
//   . MSG_OPENDS 3 -> 4, MSG_CLOSEDS 4 -> 3, MSG_DISABLEDS 5 -> 4;
//     MSG_ENABLEDS 4 -> 5 with ShowUI TRUE, and with ShowUI FALSE 4 -> 6
//     through an MSG_XFERREADY that the manager took before it returned (a
//     notice the manager refuses makes MSG_ENABLEDS fail, in 4);
//   . MSG_XFERREADY comes only from MSG_ENABLEDS or the window
//     (MSG_PROCESSEVENT), with the source in 6 (the window's taken back to
//     5 when refused); MSG_CLOSEDSREQ only in 5 to 7; each from the
//     source's identity to the application that opened it;
//   . a transfer that came over (TWRC_XFERDONE; a memory strip) goes 6 ->
//     7; in 7, once the page came over or by another mechanism, the
//     memory and memory-file transfers answer TWCC_SEQERROR;
//   . MSG_ENDXFER 6 or 7 -> 6 while TW_PENDINGXFERS.Count > 0, else 5;
//     DAT_PENDINGXFERS MSG_RESET 6 -> 5 with Count 0; Count > 0 in 6 and 7
//     and 0 in 4 and 5; EOJ is TWEJ_NONE or, at an MSG_ENDXFER,
//     TWEJ_MIDSEPARATOR;
//   . from any state, MSG_ENDXFER, MSG_RESET, MSG_DISABLEDS and
//     MSG_CLOSEDS bring the source back to 3;
// - every return code is one the triplet may answer; the condition is
//   TWCC_SUCCESS after every operation that did not fail and never after
//   one that did, and DAT_STATUS reports the one kept for its application
//   (the session's for the one that opened it, the module's for others);
// - every container the source hands out (MSG_GET, MSG_GETCURRENT,
//   MSG_GETDEFAULT, MSG_RESET, MSG_QUERYSUPPORT) is a new, unlocked block
//   of the manager's allocator when DAT_ENTRYPOINT gave one, else of
//   GlobalAlloc, well-formed for its ConType and ItemType (counts and
//   indices within its size, strings terminated, a range's ends in order and
//   its current value between them);
//   a failure hands out nothing and leaves the TW_CAPABILITY as it was;
//   MSG_GETCURRENT, MSG_GETDEFAULT and MSG_RESET answer one value or an
//   array, MSG_QUERYSUPPORT a TWTY_INT32 one value; a capability answers
//   with one numeric item type; what MSG_QUERYSUPPORT says it supports it
//   does not refuse with TWCC_CAPBADOPERATION, and the rest it does; what
//   CAP_SUPPORTEDCAPS lists is never TWCC_CAPUNSUPPORTED, and the rest is;
// - in state 4, every value a MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT or
//   MSG_RESET just answered sets back (MSG_SET of one value, or of the
//   array) without TWCC_BADVALUE when MSG_QUERYSUPPORT says TWQC_SET;
// - what the source hands out of a transfer is well-formed: a native DIB
//   whose header, palette and rows lie within its block; memory strips of
//   whole rows within the buffer, in order (YOffset the rows given so far,
//   a failed strip given again); memory-file strips within the buffer;
//   extended image information with an InfoID left as asked, a return
//   code for each, and a block (of the source's allocator) for each item
//   that does not fit in place; the application's buffers and containers
//   left unlocked and as large as they were;
// - a file transfer leaves a well-formed file of its format at its path
//   (a BMP whose headers, palette and rows fill it, a TIFF whose
//   directories and strips lie within it, page after page), and a failed
//   one none or the file as it was (a page added is taken off again); the
//   strips of a memory-file transfer make a well-formed file of its format
//   (unless the scanner gave a size other than its file's: a read says
//   whether it was the last, not how much of it the scanner filled, so
//   the source cannot always tell);
// - the source calls the scanner in the server's order (fake_scanner.h:
//   no read of a transfer not prepared, none of no bytes, none after the
//   transfer said it was done, no call while its window takes input);
// - after MSG_CLOSEDS nothing is left: no block, open file, temporary
//   file, window or COM apartment of the source's.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/twain_fake/fake_scanner.h"
#include "fuzz/twain_shim/shim.h"
#include "protocol/custom.h"
#include "source/triplets.h"

namespace {

// --- the input -------------------------------------------------------------

// Read front to back, little-endian; past its end every number is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16()
  {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | U8() << 8);
  }
  uint32_t U32()
  {
    const uint32_t low = U16();
    return low | static_cast<uint32_t>(U16()) << 16;
  }
  std::string Bytes(size_t count)
  {
    std::string bytes;
    for (size_t i = 0; i < count && More(); ++i) bytes += static_cast<char>(U8());
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// --- the triplets ------------------------------------------------------------

// What an operation's data is.
enum class Data {
  kNone,
  kIdentity,
  kEntryPoint,
  kStatus,
  kEvent,
  kUserInterface,
  kPending,
  kSetupMemory,
  kSetupFile,
  kGroup,
  kCapability,
  kImageInfo,
  kLayout,
  kNative,
  kMemory,
  kMemoryFile,
  kFile,
  kExtended,
  kRaw
};

struct Triplet {
  TW_UINT32 group;
  TW_UINT16 dat, message;
  // The states the source answers it in (its table and TWAIN's); 0: it
  // does not know the triplet.
  int lowest, highest;
  Data data;
};

constexpr TW_UINT32 C = DG_CONTROL, I = DG_IMAGE;
const Triplet kTriplets[] = {
    {C, DAT_IDENTITY, MSG_GET, 3, 7, Data::kIdentity},
    {C, DAT_IDENTITY, MSG_OPENDS, 3, 7, Data::kIdentity},
    {C, DAT_IDENTITY, MSG_CLOSEDS, 4, 4, Data::kIdentity},
    {C, DAT_ENTRYPOINT, MSG_SET, 3, 4, Data::kEntryPoint},
    {C, DAT_STATUS, MSG_GET, 3, 7, Data::kStatus},
    {C, DAT_EVENT, MSG_PROCESSEVENT, 5, 7, Data::kEvent},
    {C, DAT_USERINTERFACE, MSG_ENABLEDS, 4, 4, Data::kUserInterface},
    {C, DAT_USERINTERFACE, MSG_DISABLEDS, 5, 5, Data::kUserInterface},
    {C, DAT_PENDINGXFERS, MSG_GET, 4, 7, Data::kPending},
    {C, DAT_PENDINGXFERS, MSG_ENDXFER, 6, 7, Data::kPending},
    {C, DAT_PENDINGXFERS, MSG_RESET, 6, 6, Data::kPending},
    {C, DAT_SETUPMEMXFER, MSG_GET, 4, 6, Data::kSetupMemory},
    {C, DAT_SETUPFILEXFER, MSG_GET, 4, 6, Data::kSetupFile},
    {C, DAT_SETUPFILEXFER, MSG_GETDEFAULT, 4, 6, Data::kSetupFile},
    {C, DAT_SETUPFILEXFER, MSG_SET, 4, 6, Data::kSetupFile},
    {C, DAT_SETUPFILEXFER, MSG_RESET, 4, 4, Data::kSetupFile},
    {C, DAT_XFERGROUP, MSG_GET, 4, 6, Data::kGroup},
    {C, DAT_XFERGROUP, MSG_SET, 6, 6, Data::kGroup},
    {C, DAT_CAPABILITY, MSG_GET, 4, 7, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_GETCURRENT, 4, 7, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_GETDEFAULT, 4, 7, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_QUERYSUPPORT, 4, 7, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_SET, 4, 4, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_SETCONSTRAINT, 4, 4, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_RESET, 4, 4, Data::kCapability},
    {C, DAT_CAPABILITY, MSG_RESETALL, 4, 4, Data::kCapability},
    {I, DAT_IMAGEINFO, MSG_GET, 6, 7, Data::kImageInfo},
    {I, DAT_IMAGELAYOUT, MSG_GET, 4, 6, Data::kLayout},
    {I, DAT_IMAGELAYOUT, MSG_GETDEFAULT, 4, 6, Data::kLayout},
    {I, DAT_IMAGELAYOUT, MSG_SET, 4, 4, Data::kLayout},
    {I, DAT_IMAGELAYOUT, MSG_RESET, 4, 4, Data::kLayout},
    {I, DAT_IMAGENATIVEXFER, MSG_GET, 6, 6, Data::kNative},
    {I, DAT_IMAGEMEMXFER, MSG_GET, 6, 7, Data::kMemory},
    {I, DAT_IMAGEFILEXFER, MSG_GET, 6, 6, Data::kFile},
    {I, DAT_IMAGEMEMFILEXFER, MSG_GET, 6, 7, Data::kMemoryFile},
    {I, DAT_EXTIMAGEINFO, MSG_GET, 7, 7, Data::kExtended},
    // What a manager or an application may send that this source does not
    // answer.
    {C, DAT_IDENTITY, MSG_GETFIRST, 0, 0, Data::kIdentity},
    {C, DAT_IDENTITY, MSG_USERSELECT, 0, 0, Data::kIdentity},
    {C, DAT_PARENT, MSG_OPENDSM, 0, 0, Data::kRaw},
    {C, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, 0, 0, Data::kUserInterface},
    {C, DAT_PENDINGXFERS, 0x0702 /* MSG_STOPFEEDER */, 0, 0, Data::kPending},
    {C, DAT_CAPABILITY, 0x0009 /* MSG_GETHELP */, 0, 0, Data::kCapability},
    {C, DAT_NULL, MSG_XFERREADY, 0, 0, Data::kNone},
    {C, 0x0011 /* DAT_STATUSUTF8 */, MSG_GET, 0, 0, Data::kRaw},
    {C, 0x0010 /* DAT_CALLBACK */, 0x0902 /* MSG_REGISTER_CALLBACK */, 0, 0, Data::kRaw},
    {I, DAT_CAPABILITY, MSG_GET, 0, 0, Data::kCapability},
    {C, DAT_IMAGEINFO, MSG_GET, 0, 0, Data::kImageInfo},
    {I, DAT_IMAGELAYOUT, MSG_GETCURRENT, 0, 0, Data::kLayout},
    {DG_AUDIO, DAT_AUDIOINFO, MSG_GET, 0, 0, Data::kRaw},
    {C, DAT_EVENT, MSG_GET, 0, 0, Data::kEvent},
};
constexpr size_t kTripletCount = std::size(kTriplets);

// Operations of the input's that are no triplet.
constexpr uint8_t kMakeFolder = 0xFC;  // C:\work\out made, or removed again
constexpr uint8_t kSetBack = 0xFD;     // a value just answered set back
constexpr uint8_t kRawTriplet = 0xFF;  // group, DAT and MSG of the input's

// --- containers as TWAIN lays them out ----------------------------------------

size_t ItemBytes(TW_UINT16 type)
{
  static const size_t bytes[] = {1, 2, 4, 1, 2, 4, 2, 4, 16, 34, 66, 130, 256, 1026, 1024};
  return type < std::size(bytes) ? bytes[type] : 0;
}

bool IsText(TW_UINT16 type)
{
  return type >= TWTY_STR32 && type <= TWTY_UNI512;
}

uint32_t Load(const unsigned char* at, size_t bytes)
{
  uint32_t value = 0;
  std::memcpy(&value, at, bytes < 4 ? bytes : 4);
  return value;
}

double Number(TW_UINT16 type, uint32_t raw)
{
  switch (type) {
    case TWTY_INT8:
      return static_cast<int8_t>(raw);
    case TWTY_INT16:
      return static_cast<int16_t>(raw);
    case TWTY_INT32:
      return static_cast<int32_t>(raw);
    case TWTY_FIX32:
      return static_cast<int16_t>(raw & 0xFFFF) + (raw >> 16) / 65536.0;
    default:
      return ItemBytes(type) == 1 ? raw & 0xFF : ItemBytes(type) == 2 ? raw & 0xFFFF : raw;
  }
}

// A number as an item of `type`.
uint32_t Raw(TW_UINT16 type, double value)
{
  if (type != TWTY_FIX32) return static_cast<uint32_t>(static_cast<int64_t>(value));
  const long fixed = std::lround(value * 65536.0);
  return static_cast<uint16_t>(fixed >> 16) | static_cast<uint32_t>(fixed & 0xFFFF) << 16;
}

// What a container holds, read back.
struct Answer {
  TW_UINT16 conType = 0, itemType = 0;
  std::vector<uint32_t> items;  // numbers; a range: min, max, step, default, current
  std::string bytes;            // the whole block, for an array set back as it was
};

// --- the run ---------------------------------------------------------------------

enum class Notice { kNone, kTaken, kRefused };

struct Context {
  const Triplet* triplet = nullptr;
  bool showUI = false;
  Notice ready = Notice::kNone;
  bool rebased = false;  // a nested operation moved the state meanwhile
};

// What state 7 holds: no transfer, a page that came over whole (native or
// file), a memory or memory-file transfer, or one that calls from the
// application's callback may have taken further than the model follows.
enum class InSeven { kNone, kWhole, kMemory, kMemoryFile, kUnknown };

struct Run {
  Input* in = nullptr;
  twainds::Module* module = nullptr;
  std::vector<uint8_t> replies;
  size_t notices = 0;
  bool nesting = true;

  // The model.
  int state = 3;
  bool showUI = false;
  InSeven seven = InSeven::kNone;
  bool sevenDone = false;
  uint32_t rowsGiven = 0;
  std::string file;  // a memory-file transfer's bytes so far
  TW_UINT32 appId = 0;
  TW_UINT16 sessionCondition = TWCC_SUCCESS, moduleCondition = TWCC_SUCCESS;
  bool managerMemory = false;
  bool managerEntry = false;
  std::map<TW_UINT16, TW_UINT32> support;     // MSG_QUERYSUPPORT's answers
  std::map<TW_UINT16, TW_UINT16> numberType;  // the numeric item type each answered in
  std::set<TW_UINT16> listed;                 // CAP_SUPPORTEDCAPS, once asked
  // Capabilities an application may have constrained (until their reset).
  std::set<TW_UINT16> constrained;
  bool listedKnown = false;
  // The last container answered, if the last operation answered one.
  bool answered = false;
  TW_UINT16 answeredCap = 0;
  Answer answer;

  std::vector<Context*> contexts;
  // Each operation on stderr ($STIBRIDGE_FUZZ_TRACE), to read a reproducer.
  bool trace = false;
  std::set<HGLOBAL> managerBlocks;
  TW_IDENTITY apps[2] = {};
};

Run* run = nullptr;

constexpr TW_UINT32 kSourceId = 7;

int RealState()
{
  return run->module->session != nullptr ? static_cast<int>(run->module->session->state) : 3;
}

// --- the manager's functions -------------------------------------------------

TW_HANDLE PASCAL ManagerAllocate(TW_UINT32 bytes)
{
  HGLOBAL block = GlobalAlloc(GHND, bytes);
  if (block != nullptr) run->managerBlocks.insert(block);
  return block;
}

void PASCAL ManagerFree(TW_HANDLE handle)
{
  FUZZ_CHECK(run->managerBlocks.count(handle) != 0,
             "the manager's DSM_MemFree got a block it did not allocate");
  run->managerBlocks.erase(handle);
  GlobalFree(handle);
}

TW_MEMREF PASCAL ManagerLock(TW_HANDLE handle)
{
  return GlobalLock(handle);
}

void PASCAL ManagerUnlock(TW_HANDLE handle)
{
  GlobalUnlock(handle);
}

// A block the application got from the source, given back.
void FreeGiven(HGLOBAL block)
{
  if (run->managerBlocks.count(block) != 0) {
    run->managerBlocks.erase(block);
    GlobalFree(block);
  } else {
    FUZZ_CHECK(GlobalFree(block) == nullptr, "a block handed out is no block");
  }
}

// A block the source hands out: of the allocator DAT_ENTRYPOINT gave, not
// locked.
void CheckGiven(HGLOBAL block, const char* what)
{
  FUZZ_CHECK(block != nullptr && twainshim::IsBlock(block), "%s is no live block", what);
  FUZZ_CHECK(twainshim::LockCount(block) == 0, "%s is handed out locked", what);
  if (run->managerMemory)
    FUZZ_CHECK(run->managerBlocks.count(block) != 0,
               "%s is not of the manager's allocator that DAT_ENTRYPOINT gave", what);
  else
    FUZZ_CHECK(run->managerBlocks.count(block) == 0,
               "%s is of the manager's allocator, which the source was not given", what);
}

TW_UINT16 Step(int depth);

TW_UINT16 PASCAL ManagerEntry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 group,
                              TW_UINT16 dat, TW_UINT16 message, TW_MEMREF data)
{
  FUZZ_CHECK(group == DG_CONTROL && dat == DAT_NULL && data == nullptr,
             "the source called its manager with %u/%u/0x%x", static_cast<unsigned>(group), dat,
             message);
  FUZZ_CHECK(message == MSG_XFERREADY || message == MSG_CLOSEDSREQ,
             "the source sent the notice 0x%x", message);
  FUZZ_CHECK(run->module->session != nullptr, "a notice 0x%x with no source open", message);
  FUZZ_CHECK(origin != nullptr && origin->Id == kSourceId,
             "a notice not from the identity the manager gave the source");
  FUZZ_CHECK(destination != nullptr && destination->Id == run->appId,
             "a notice not to the application that opened the source");
  FUZZ_CHECK(!run->contexts.empty(), "a notice between operations");
  Context& context = *run->contexts.back();
  const int real = RealState();
  const uint8_t reply = run->replies.empty() ? 0 : run->replies[run->notices % run->replies.size()];
  ++run->notices;
  const bool refused = (reply & 1) != 0;
  if (message == MSG_XFERREADY) {
    const bool offers = context.triplet != nullptr &&
                        ((context.triplet->dat == DAT_USERINTERFACE &&
                          context.triplet->message == MSG_ENABLEDS && !context.showUI) ||
                         context.triplet->dat == DAT_EVENT);
    FUZZ_CHECK(offers, "MSG_XFERREADY during an operation that offers no transfer");
    FUZZ_CHECK(real == 6, "MSG_XFERREADY with the source in state %d", real);
    context.ready = refused ? Notice::kRefused : Notice::kTaken;
    // Refused, the transfers are taken back: to the window, or to state 4.
    run->state = refused ? (context.triplet->dat == DAT_EVENT ? 5 : 4) : 6;
    run->seven = InSeven::kNone;
  } else {
    FUZZ_CHECK(real >= 5 && real <= 7, "MSG_CLOSEDSREQ with the source in state %d", real);
  }
  if (run->trace)
    std::fprintf(stderr, "%*snotice 0x%x in state %d: %s\n",
                 2 * static_cast<int>(run->contexts.size()), "", message, real,
                 refused ? "refused" : "taken");
  if (refused) return TWRC_FAILURE;
  // The application calls the source from its callback.
  const int nested = (reply >> 1) & 3;
  if (nested > 0 && run->nesting && run->contexts.size() == 1) {
    context.rebased = true;
    run->state = real;
    run->seven = InSeven::kUnknown;
    for (int i = 0; i < nested && run->in->More(); ++i) Step(1);
  }
  return TWRC_SUCCESS;
}

// --- what the application hands over -----------------------------------------

// Blocks of the application's own, freed once the operation is over.
struct Held {
  std::vector<std::pair<HGLOBAL, size_t>> blocks;  // and their sizes
  std::vector<void*> memory;
  ~Held()
  {
    for (auto& [block, size] : blocks) GlobalFree(block);
    for (void* at : memory) std::free(at);
  }
  HGLOBAL Block(UINT flags, size_t bytes)
  {
    HGLOBAL block = twainshim::AppAlloc(flags, bytes);
    if (block != nullptr) blocks.emplace_back(block, bytes);
    return block;
  }
  // Exactly `bytes` of memory, so that a byte past them is seen.
  void* Memory(size_t bytes)
  {
    void* at = std::calloc(bytes > 0 ? bytes : 1, 1);
    memory.push_back(at);
    return at;
  }
  template <typename T>
  T* Make()
  {
    return static_cast<T*>(Memory(sizeof(T)));
  }
};

// A name in the ANSI code page, as an application has it.
std::string Narrow(const std::wstring& text)
{
  if (text.empty()) return {};
  std::string narrow(4 * text.size(), '\0');
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                          static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(static_cast<size_t>(bytes > 0 ? bytes : 0));
  return narrow;
}

// One item of a container the application builds, as its bytes.
std::string Item(Input& in, TW_UINT16 type)
{
  const size_t bytes = ItemBytes(type);
  std::string item(bytes, '\0');
  if (bytes == 0) return item;
  if (!IsText(type)) {
    for (size_t i = 0; i < bytes; ++i) item[i] = static_cast<char>(in.U8());
    return item;
  }
  // A string: a job's name, text of the input's, or a string that fills its
  // item with no terminator.
  const uint8_t kind = in.U8();
  std::string text;
  switch (kind % 3) {
    case 0: {
      const auto& jobs = twainfake::Fake().jobs;
      if (!jobs.empty()) {
        const std::wstring& name = jobs[in.U8() % jobs.size()].name;
        if (type == TWTY_UNI512) {
          for (size_t u = 0; u < name.size() && 2 * u + 1 < bytes; ++u) {
            item[2 * u] = static_cast<char>(name[u] & 0xFF);
            item[2 * u + 1] = static_cast<char>((name[u] >> 8) & 0xFF);
          }
          return item;
        }
        text = Narrow(name);
      }
      break;
    }
    case 1:
      text = in.Bytes(in.U8());
      break;
    default:
      return std::string(bytes, 'z');
  }
  std::memcpy(item.data(), text.data(), std::min(text.size(), bytes));
  return item;
}

// A container as the application builds it, in a block of `held`.
HGLOBAL Container(Input& in, Held& held, bool fixed)
{
  const uint8_t layout = in.U8() % 4;
  const TW_UINT16 type = in.U16();
  const size_t count = in.U8() % 24;
  std::string block(2, '\0');
  block[0] = static_cast<char>(type & 0xFF);
  block[1] = static_cast<char>(type >> 8);
  const auto put32 = [&block](uint32_t value) {
    for (int i = 0; i < 4; ++i) block += static_cast<char>(value >> (8 * i));
  };
  uint32_t numItems = static_cast<uint32_t>(count);
  switch (in.U8() % 5) {
    case 1:
      numItems = static_cast<uint32_t>(count + 1);
      break;
    case 2:
      numItems = 0xFFFFFFFF;
      break;
    case 3:
      numItems = 0x40000000;
      break;
    case 4:
      numItems = in.U32();
      break;
    default:
      break;
  }
  size_t items = count;
  switch (layout) {
    case 0:  // one value: the item where TW_ONEVALUE's Item is
      items = 1;
      break;
    case 1:  // an enumeration
      put32(numItems);
      put32(in.U32());
      put32(in.U32());
      break;
    case 2:  // a range
      items = 0;
      for (int i = 0; i < 5; ++i) put32(in.U32());
      break;
    default:  // an array
      put32(numItems);
      break;
  }
  for (size_t i = 0; i < items; ++i) {
    std::string item = Item(in, type);
    // A number shorter than four bytes still stands in TW_ONEVALUE's four.
    if (layout == 0 && item.size() < 4) item.resize(4, '\0');
    block += item;
  }
  // A block smaller or larger than its counts say.
  const int8_t delta = static_cast<int8_t>(in.U8());
  size_t size = block.size();
  if (delta < 0)
    size = static_cast<size_t>(-delta) >= size ? 0 : size - static_cast<size_t>(-delta);
  else
    size += static_cast<size_t>(delta);
  block.resize(size, '\0');
  HGLOBAL handle = held.Block(fixed ? GPTR : GHND, size);
  if (handle == nullptr) return nullptr;
  void* at = GlobalLock(handle);
  if (at != nullptr && size > 0) std::memcpy(at, block.data(), size);
  GlobalUnlock(handle);
  return handle;
}

// --- the checks of what the source hands out ---------------------------------------

// Reads and checks a container the source handed out.
Answer CheckContainer(HGLOBAL block, TW_UINT16 conType, TW_UINT16 cap, TW_UINT16 message)
{
  CheckGiven(block, "a capability's container");
  const size_t size = twainshim::BlockSize(block);
  const auto* at = static_cast<const unsigned char*>(GlobalLock(block));
  FUZZ_CHECK(at != nullptr && size >= 2, "capability 0x%x: a container of %zu bytes", cap, size);
  Answer answer;
  answer.conType = conType;
  answer.itemType = static_cast<TW_UINT16>(Load(at, 2));
  answer.bytes.assign(reinterpret_cast<const char*>(at), size);
  const size_t bytes = ItemBytes(answer.itemType);
  FUZZ_CHECK(bytes > 0, "capability 0x%x: item type %u", cap, answer.itemType);
  const auto items = [&](size_t offset, size_t count) {
    FUZZ_CHECK(size >= offset && (size - offset) / bytes >= count,
               "capability 0x%x: %zu items of %zu bytes in %zu bytes", cap, count, bytes, size);
    for (size_t i = 0; i < count; ++i) {
      const unsigned char* item = at + offset + i * bytes;
      if (answer.itemType == TWTY_UNI512) {
        bool ended = false;
        for (size_t u = 0; u + 1 < bytes && !ended; u += 2)
          ended = item[u] == 0 && item[u + 1] == 0;
        FUZZ_CHECK(ended, "capability 0x%x: a TW_UNI512 without its terminator", cap);
      } else if (IsText(answer.itemType)) {
        FUZZ_CHECK(std::memchr(item, 0, bytes) != nullptr,
                   "capability 0x%x: a string item without its terminator", cap);
      } else if (answer.itemType != TWTY_FRAME) {
        answer.items.push_back(Load(item, bytes));
      }
    }
  };
  switch (conType) {
    case TWON_ONEVALUE:
      FUZZ_CHECK(size >= 2 + std::max<size_t>(bytes, 4), "capability 0x%x: a short one value", cap);
      items(2, 1);
      break;
    case TWON_ENUMERATION: {
      FUZZ_CHECK(size >= 14, "capability 0x%x: a short enumeration", cap);
      const uint32_t count = Load(at + 2, 4), current = Load(at + 6, 4),
                     fallback = Load(at + 10, 4);
      items(14, count);
      FUZZ_CHECK(count > 0 && current < count, "capability 0x%x: current index %u of %u items", cap,
                 current, count);
      FUZZ_CHECK(fallback < count || fallback == TWON_DONTCARE32,
                 "capability 0x%x: default index %u of %u items", cap, fallback, count);
      break;
    }
    case TWON_RANGE: {
      FUZZ_CHECK(size >= 22 && !IsText(answer.itemType) && answer.itemType != TWTY_FRAME,
                 "capability 0x%x: a range of %zu bytes, item type %u", cap, size, answer.itemType);
      for (size_t i = 0; i < 5; ++i) answer.items.push_back(Load(at + 2 + 4 * i, 4));
      const TW_UINT16 t = answer.itemType;
      const double low = Number(t, answer.items[0]), high = Number(t, answer.items[1]);
      FUZZ_CHECK(low <= high, "capability 0x%x: a range from %g to %g", cap, low, high);
      FUZZ_CHECK(Number(t, answer.items[2]) > 0, "capability 0x%x: a range's step of %g", cap,
                 Number(t, answer.items[2]));
      // The value in effect lies within; the default need not (a constraint
      // may leave it out, as an enumeration's TWON_DONTCARE32 says).
      FUZZ_CHECK(Number(t, answer.items[4]) >= low && Number(t, answer.items[4]) <= high,
                 "capability 0x%x: a range's current value outside it", cap);
      break;
    }
    case TWON_ARRAY:
      FUZZ_CHECK(size >= 6, "capability 0x%x: a short array", cap);
      items(6, Load(at + 2, 4));
      break;
    default:
      FuzzFailure("capability 0x%x: ConType %u", cap, conType);
  }
  GlobalUnlock(block);
  if (message == MSG_GETCURRENT || message == MSG_GETDEFAULT || message == MSG_RESET)
    FUZZ_CHECK(conType == TWON_ONEVALUE || conType == TWON_ARRAY,
               "capability 0x%x: message 0x%x answered ConType %u", cap, message, conType);
  if (message == MSG_QUERYSUPPORT)
    FUZZ_CHECK(conType == TWON_ONEVALUE && answer.itemType == TWTY_INT32,
               "capability 0x%x: MSG_QUERYSUPPORT answered ConType %u of item type %u", cap,
               conType, answer.itemType);
  if (message != MSG_QUERYSUPPORT && !IsText(answer.itemType)) {
    auto known = run->numberType.find(cap);
    if (known == run->numberType.end())
      run->numberType[cap] = answer.itemType;
    else
      FUZZ_CHECK(known->second == answer.itemType, "capability 0x%x answered item type %u and %u",
                 cap, known->second, answer.itemType);
  }
  return answer;
}

TW_UINT32 SupportBit(TW_UINT16 message)
{
  switch (message) {
    case MSG_GET:
      return TWQC_GET;
    case MSG_GETCURRENT:
      return TWQC_GETCURRENT;
    case MSG_GETDEFAULT:
      return TWQC_GETDEFAULT;
    case MSG_SET:
      return TWQC_SET;
    case MSG_RESET:
      return TWQC_RESET;
    case MSG_SETCONSTRAINT:
      return TWQC_SETCONSTRAINT;
    default:
      return 0;
  }
}

// The application that opened the source.
pTW_IDENTITY Opener()
{
  return run->appId == 2 ? &run->apps[1] : &run->apps[0];
}

// Whether the condition of an operation from `origin` is the session's.
bool Serves(const TW_IDENTITY* origin)
{
  return run->module->session != nullptr && (origin == nullptr || origin->Id == run->appId);
}

TW_UINT16 ConditionOf(const TW_IDENTITY* origin)
{
  return Serves(origin) ? run->module->session->condition : run->module->condition;
}

const Triplet& TripletOf(TW_UINT16 dat, TW_UINT16 message)
{
  for (const Triplet& triplet : kTriplets)
    if (triplet.dat == dat && triplet.message == message && triplet.lowest != 0) return triplet;
  FuzzFailure("no triplet 0x%x/0x%x in the table", dat, message);
}

void CheckDib(HGLOBAL dib)
{
  // Global memory, which the application locks and frees as such.
  FUZZ_CHECK(dib != nullptr && twainshim::IsBlock(dib) && twainshim::LockCount(dib) == 0,
             "a native transfer's DIB is no unlocked global block");
  const size_t size = twainshim::BlockSize(dib);
  FUZZ_CHECK(size >= sizeof(BITMAPINFOHEADER), "a DIB of %zu bytes", size);
  BITMAPINFOHEADER header;
  std::memcpy(&header, GlobalLock(dib), sizeof header);
  GlobalUnlock(dib);
  const int bits = header.biBitCount;
  FUZZ_CHECK(
      header.biSize == sizeof header && header.biCompression == BI_RGB && header.biWidth > 0 &&
          header.biHeight != 0 && header.biHeight != std::numeric_limits<LONG>::min() &&
          (bits == 1 || bits == 8 || bits == 24) && (bits > 8 || header.biClrUsed <= (1u << bits)),
      "a DIB whose header is none");
  const size_t palette = bits > 8 ? 0 : 4 * (header.biClrUsed != 0 ? header.biClrUsed : 1u << bits);
  const size_t stride =
      (static_cast<size_t>(header.biWidth) * static_cast<size_t>(bits) + 31) / 32 * 4;
  const size_t rows = static_cast<size_t>(std::abs(static_cast<long long>(header.biHeight)));
  FUZZ_CHECK(sizeof header + palette + stride * rows <= size,
             "a DIB of %ldx%ld at %d bits in %zu bytes", static_cast<long>(header.biWidth),
             static_cast<long>(header.biHeight), bits, size);
}

// What is wrong with a file of `format` that the source made (or the
// scanner, for the source to pass on); empty when it is well-formed: a BMP
// whose headers, palette and rows fill it, a TIFF whose directories and
// strips lie within it and hold each page's rows, a JPEG (the stand-in
// writer's) between its markers.
std::string FileProblem(const std::string& bytes, TW_UINT16 format)
{
  const auto at = [&bytes](size_t offset, size_t size) -> uint32_t {
    uint32_t value = 0;
    for (size_t i = 0; i < size && offset + i < bytes.size(); ++i)
      value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    return value;
  };
  const size_t size = bytes.size();
  if (format == TWFF_BMP) {
    if (size < 54 || bytes.compare(0, 2, "BM") != 0) return "a BMP without its headers";
    const uint32_t bits = at(28, 2), colours = at(46, 4);
    const int32_t width = static_cast<int32_t>(at(18, 4)), height = static_cast<int32_t>(at(22, 4));
    if (at(14, 4) != 40 || width <= 0 || height == 0 || (bits != 1 && bits != 8 && bits != 24))
      return "a BMP whose bitmap header is none";
    const size_t palette = 4 * (colours != 0 ? colours : bits <= 8 ? 1u << bits : 0);
    const size_t image = (static_cast<size_t>(width) * bits + 31) / 32 * 4 *
                         static_cast<size_t>(std::abs(static_cast<long long>(height)));
    if (at(2, 4) != size || at(10, 4) != 54 + palette || at(34, 4) != image ||
        54 + palette + image != size)
      return "a BMP whose sizes are not its own";
    return {};
  }
  if (format == TWFF_TIFF || format == TWFF_TIFFMULTI) {
    if (size < 8 || bytes.compare(0, 4, std::string("II*\0", 4)) != 0)
      return "a TIFF without its header";
    std::set<uint32_t> seen;
    for (uint32_t directory = at(4, 4); directory != 0;) {
      if (!seen.insert(directory).second || seen.size() > 1000) return "a TIFF whose pages loop";
      const size_t entries = at(directory, 2);
      if (directory + 2 + 12 * entries + 4 > size) return "a TIFF directory past its end";
      std::map<uint32_t, std::pair<uint32_t, uint32_t>> tags;  // count, value
      for (size_t i = 0; i < entries; ++i) {
        const size_t entry = directory + 2 + 12 * i;
        const uint32_t type = at(entry + 2, 2);
        tags[at(entry, 2)] = {at(entry + 4, 4), at(entry + 8, type == 3 ? 2 : 4)};
      }
      for (uint32_t tag : {256u, 257u, 258u, 273u, 279u})
        if (tags.count(tag) == 0) return "a TIFF page without tag " + std::to_string(tag);
      const uint32_t samples = tags.count(277) != 0 ? tags[277].second : 1;
      // Bits per sample in the entry, or (one for each sample) where it says.
      const uint32_t perSample = tags[258].first == 1 ? tags[258].second : at(tags[258].second, 2);
      if (tags[258].first != 1 && tags[258].second + 2 * tags[258].first > size)
        return "a TIFF's bits per sample past its end";
      const uint64_t row = (static_cast<uint64_t>(tags[256].second) * samples * perSample + 7) / 8;
      const uint64_t strip = tags[279].second;
      if (tags[273].first != 1 || row * tags[257].second != strip ||
          tags[273].second + strip > size)
        return "a TIFF page whose strip is not its rows";
      directory = at(directory + 2 + 12 * entries, 4);
    }
    if (seen.empty()) return "a TIFF of no page";
    return {};
  }
  if (format == TWFF_JFIF) {
    if (size < 4 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xD8 ||
        static_cast<unsigned char>(bytes[size - 2]) != 0xFF ||
        static_cast<unsigned char>(bytes[size - 1]) != 0xD9)
      return "a JPEG not between its markers";
    return {};
  }
  return "a file of format " + std::to_string(format);
}

// The file at the Windows path `path`, if there is one.
bool ReadHostFile(const std::string& path, std::string& bytes)
{
  const std::string host = twainshim::HostPath(path);
  std::FILE* file = host.empty() ? nullptr : std::fopen(host.c_str(), "rb");
  if (file == nullptr) return false;
  bytes.clear();
  char chunk[4096];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
  std::fclose(file);
  return true;
}

// --- one operation -----------------------------------------------------------------

struct Outcome {
  TW_UINT16 rc = 0, cc = 0;
};

// The rules of one operation around the source's answer to it.
class Operation {
 public:
  Operation(const Triplet& triplet, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message,
            pTW_IDENTITY origin, void* data)
      : triplet_(triplet), group_(group), dat_(dat), message_(message), origin_(origin), data_(data)
  {
  }

  Outcome Call(bool showUI)
  {
    pre_ = run->state;
    FUZZ_CHECK(RealState() == pre_, "the source is in state %d where the table says %d",
               RealState(), pre_);
    context_.triplet = &triplet_;
    context_.showUI = showUI;
    const TW_UINT16 reported = Serves(origin_) ? run->sessionCondition : run->moduleCondition;
    run->contexts.push_back(&context_);
    const TW_UINT16 rc =
        twainds::Dispatch(*run->module, this, origin_, group_, dat_, message_, data_);
    run->contexts.pop_back();
    const int real = RealState();
    // The application that opened the source is known from now on.
    if (dat_ == DAT_IDENTITY && message_ == MSG_OPENDS && pre_ == 3 && rc == TWRC_SUCCESS)
      run->appId = origin_->Id;
    if (run->trace) {
      std::string what;
      if (dat_ == DAT_CAPABILITY && data_ != nullptr) {
        const auto* capability = static_cast<TW_CAPABILITY*>(data_);
        char text[64];
        std::snprintf(text, sizeof text, " cap 0x%x ConType %u", capability->Cap,
                      capability->ConType);
        what = text;
      }
      std::fprintf(stderr, "%*s%u/0x%x/0x%x%s from %s in %d: %u (%u), now %d\n",
                   2 * static_cast<int>(run->contexts.size()), "", static_cast<unsigned>(group_),
                   dat_, message_, what.c_str(),
                   origin_ == nullptr ? "none"
                   : origin_->Id == 1 ? "app 1"
                                      : "app 2",
                   pre_, rc, ConditionOf(origin_), real);
    }
    // The condition kept for DAT_STATUS: the session's for its application.
    const Outcome outcome{rc, ConditionOf(origin_)};
    if (Serves(origin_))
      run->sessionCondition = outcome.cc;
    else
      run->moduleCondition = outcome.cc;
    if (rc == TWRC_FAILURE)
      FUZZ_CHECK(outcome.cc != TWCC_SUCCESS, "0x%x/0x%x failed with TWCC_SUCCESS", dat_, message_);
    else
      FUZZ_CHECK(outcome.cc == TWCC_SUCCESS, "0x%x/0x%x answered %u with condition %u", dat_,
                 message_, rc, outcome.cc);

    const bool known = triplet_.lowest != 0 && (group_ & 7) == triplet_.group;
    if (!known) {
      FUZZ_CHECK(rc == TWRC_FAILURE && outcome.cc == TWCC_BADPROTOCOL,
                 "the unknown %u/0x%x/0x%x answered %u (%u)", static_cast<unsigned>(group_), dat_,
                 message_, rc, outcome.cc);
    } else if (pre_ < triplet_.lowest || pre_ > triplet_.highest) {
      FUZZ_CHECK(rc == TWRC_FAILURE && outcome.cc == TWCC_SEQERROR,
                 "0x%x/0x%x in state %d answered %u (%u)", dat_, message_, pre_, rc, outcome.cc);
    }
    if (known && dat_ == DAT_STATUS && rc == TWRC_SUCCESS && data_ != nullptr) {
      const auto* status = static_cast<TW_STATUS*>(data_);
      FUZZ_CHECK(status->ConditionCode == reported,
                 "DAT_STATUS said %u where the last operation's condition was %u",
                 status->ConditionCode, reported);
    }
    CheckReturnCode(known, rc);

    int expected = pre_;
    if (context_.rebased) {
      expected = run->state;
    } else if (known && pre_ >= triplet_.lowest && pre_ <= triplet_.highest) {
      expected = Transition(rc, real);
    }
    FUZZ_CHECK(real == expected,
               "0x%x/0x%x from state %d answered %u (%u) and left state %d, not %d", dat_, message_,
               pre_, rc, outcome.cc, real, expected);
    run->state = real;
    if (real <= 4) run->seven = InSeven::kNone;
    return outcome;
  }

  int Pre() const { return pre_; }
  // Calls from the application's callback came in while it ran.
  bool Rebased() const { return context_.rebased; }

 private:
  void CheckReturnCode(bool known, TW_UINT16 rc)
  {
    std::set<TW_UINT16> allowed = {TWRC_SUCCESS, TWRC_FAILURE};
    if (known) {
      switch (dat_) {
        case DAT_CAPABILITY:
        case DAT_IMAGELAYOUT:
          allowed.insert(TWRC_CHECKSTATUS);
          break;
        case DAT_EVENT:
          allowed = {TWRC_DSEVENT, TWRC_NOTDSEVENT, TWRC_FAILURE};
          break;
        case DAT_IMAGENATIVEXFER:
        case DAT_IMAGEFILEXFER:
          allowed = {TWRC_XFERDONE, TWRC_CANCEL, TWRC_FAILURE};
          break;
        case DAT_IMAGEMEMXFER:
        case DAT_IMAGEMEMFILEXFER:
          allowed.insert(TWRC_XFERDONE);
          allowed.insert(TWRC_CANCEL);
          break;
        default:
          break;
      }
    }
    FUZZ_CHECK(allowed.count(rc) != 0, "0x%x/0x%x answered return code %u", dat_, message_, rc);
  }

  // The state the table says the operation leaves.
  int Transition(TW_UINT16 rc, int real)
  {
    const bool failed = rc == TWRC_FAILURE;
    switch (dat_) {
      case DAT_IDENTITY:
        if (failed) return pre_;
        return message_ == MSG_OPENDS ? 4 : message_ == MSG_CLOSEDS ? 3 : pre_;
      case DAT_USERINTERFACE:
        if (message_ == MSG_DISABLEDS) return failed ? pre_ : 4;
        if (failed) return 4;
        if (context_.showUI) return 5;
        FUZZ_CHECK(context_.ready == Notice::kTaken,
                   "MSG_ENABLEDS with ShowUI FALSE succeeded and no MSG_XFERREADY was taken");
        return 6;
      case DAT_EVENT:
        if (context_.ready == Notice::kTaken) return 6;
        if (context_.ready == Notice::kRefused) return 5;
        return pre_;
      case DAT_PENDINGXFERS: {
        if (failed || message_ == MSG_GET) return pre_;
        const auto* pending = static_cast<TW_PENDINGXFERS*>(data_);
        return message_ == MSG_RESET ? 5 : pending->Count > 0 ? 6 : 5;
      }
      case DAT_IMAGENATIVEXFER:
      case DAT_IMAGEFILEXFER:
        return failed ? pre_ : 7;
      case DAT_IMAGEMEMXFER:
      case DAT_IMAGEMEMFILEXFER:
        // A transfer that began may break off in 7, for MSG_ENDXFER.
        if (failed) return pre_ == 6 && real == 7 ? 7 : pre_;
        return 7;
      default:
        return pre_;
    }
  }

  const Triplet& triplet_;
  TW_UINT32 group_;
  TW_UINT16 dat_, message_;
  pTW_IDENTITY origin_;
  void* data_;
  Context context_;
  int pre_ = 3;
};

// --- the triplets' data and what is checked of it ----------------------------------

const char* const kFileNames[] = {"scan.bmp",
                                  "C:\\work\\page.tif",
                                  "out\\a.tif",
                                  "..\\temp\\x.bmp",
                                  "C:\\nowhere\\a.bmp",
                                  "out",
                                  "",
                                  "a|b.bmp",
                                  "D:\\a.bmp",
                                  "C:\\WORK\\PAGE.TIF",
                                  "page.tif.",
                                  "\\\\server\\share\\a.bmp",
                                  "C:\\work\\",
                                  "TWAIN.TMP",
                                  "out\\b.jpg"};

pTW_IDENTITY Origin(uint8_t kind)
{
  switch (kind & 3) {
    case 1:
      return &run->apps[1];
    case 2:
      return nullptr;
    default:
      return &run->apps[0];
  }
}

// The application's identity as MSG_OPENDS brings it.
void Introduce(Input& in, TW_IDENTITY& app)
{
  const uint8_t protocol = in.U8();
  static const uint8_t kProtocols[][2] = {{1, 9}, {2, 0}, {2, 2}, {2, 4}};
  if (protocol < 4) {
    app.ProtocolMajor = kProtocols[protocol][0];
    app.ProtocolMinor = kProtocols[protocol][1];
  } else {
    app.ProtocolMajor = protocol >> 4;
    app.ProtocolMinor = protocol & 15;
  }
  app.SupportedGroups = DG_CONTROL | DG_IMAGE | (app.ProtocolMajor >= 2 ? DF_APP2 : 0);
  std::memset(app.ProductName, 0, sizeof app.ProductName);
  switch (in.U8() % 4) {
    case 0:
      std::strcpy(app.ProductName, "Fuzz Scan");
      break;
    case 1:
      std::memset(app.ProductName, 'P', sizeof app.ProductName);  // no terminator
      break;
    case 2:
      std::strcpy(app.ProductName,
                  "B\xFC"
                  "ro \xE4\x80\x80\xC3");
      break;
    default:
      break;
  }
}

TW_UINT16 Step(int depth)
{
  Input& in = *run->in;
  const uint8_t op = in.U8();
  const bool answeredBefore = run->answered;
  run->answered = false;

  if (op == kMakeFolder) {
    if (in.U8() & 1)
      twainshim::RemoveFolder("C:\\work\\out");
    else
      twainshim::MakeFolder("C:\\work\\out");
    return TWRC_SUCCESS;
  }

  Held held;
  if (op == kSetBack) {
    // A value just answered, set back: what is listed is accepted.
    const uint8_t pick = in.U8();
    if (!answeredBefore || run->state != 4 || depth > 0) return TWRC_SUCCESS;
    const Answer answer = run->answer;
    const TW_UINT16 cap = run->answeredCap;
    if (answer.conType == TWON_ARRAY || IsText(answer.itemType) || answer.itemType == TWTY_FRAME)
      return TWRC_SUCCESS;
    std::vector<uint32_t> values = answer.items;
    if (answer.conType == TWON_RANGE) {
      // The ends, default, current, and a step from the low end.
      values.resize(5);
      const TW_UINT16 type = answer.itemType;
      const double step =
          Number(type, answer.items[0]) + (pick >> 3) * Number(type, answer.items[2]);
      values[2] = step > Number(type, answer.items[1]) ? answer.items[1] : Raw(type, step);
      // Under a constraint the default may lie outside it.
      if (run->constrained.count(cap) != 0) values.erase(values.begin() + 3);
    }
    if (values.empty()) return TWRC_SUCCESS;
    const uint32_t value = values[pick % values.size()];
    auto* capability = held.Make<TW_CAPABILITY>();
    capability->Cap = cap;
    Operation asked(TripletOf(DAT_CAPABILITY, MSG_QUERYSUPPORT), DG_CONTROL, DAT_CAPABILITY,
                    MSG_QUERYSUPPORT, Opener(), capability);
    const Outcome support = asked.Call(false);
    if (support.rc != TWRC_SUCCESS) return support.rc;
    const Answer mask =
        CheckContainer(capability->hContainer, capability->ConType, cap, MSG_QUERYSUPPORT);
    FreeGiven(capability->hContainer);
    if ((mask.items.at(0) & TWQC_SET) == 0) return TWRC_SUCCESS;
    std::string block(answer.bytes.substr(0, 2));
    block.resize(6, '\0');
    std::memcpy(block.data() + 2, &value, 4);
    HGLOBAL container = held.Block(GHND, block.size());
    std::memcpy(GlobalLock(container), block.data(), block.size());
    GlobalUnlock(container);
    *capability = {};
    capability->Cap = cap;
    capability->ConType = TWON_ONEVALUE;
    capability->hContainer = container;
    Operation set(TripletOf(DAT_CAPABILITY, MSG_SET), DG_CONTROL, DAT_CAPABILITY, MSG_SET, Opener(),
                  capability);
    const Outcome outcome = set.Call(false);
    FUZZ_CHECK(outcome.rc != TWRC_FAILURE ||
                   (outcome.cc != TWCC_BADVALUE && outcome.cc != TWCC_CAPBADOPERATION),
               "capability 0x%x: the value 0x%x it answered is refused (condition %u)", cap, value,
               outcome.cc);
    return outcome.rc;
  }

  // The triplet, from the table or of the input's own.
  const Triplet* triplet = &kTriplets[op % kTripletCount];
  Triplet raw = {};
  TW_UINT32 group = 0;
  TW_UINT16 dat = 0, message = 0;
  if (op == kRawTriplet) {
    group = in.U32();
    dat = in.U16();
    message = in.U16();
    raw = Triplet{group & 7, dat, message, 0, 0, Data::kRaw};
    for (const Triplet& t : kTriplets)
      if (t.group == (group & 7) && t.dat == dat && t.message == message) raw = t;
    triplet = &raw;
  } else {
    group = triplet->group;
    dat = triplet->dat;
    message = triplet->message;
  }
  const uint8_t flags = in.U8();
  pTW_IDENTITY origin = Origin(flags);
  const bool nullData = (flags & 4) != 0;
  // The data group's flags are no part of the operation.
  if ((flags & 8) != 0) group |= DF_APP2 | DF_DSM2;
  if ((flags & 16) != 0) twainshim::FailAllocation(in.U8());

  void* data = nullptr;
  bool showUI = false;
  TW_CAPABILITY before = {};
  TW_IMAGEMEMXFER memoryBefore = {};
  size_t bufferSize = 0;
  TW_HANDLE nativeBefore = nullptr;
  std::vector<TW_UINT16> asked;
  switch (triplet->data) {
    case Data::kIdentity: {
      auto* identity = held.Make<TW_IDENTITY>();
      identity->Id = kSourceId;
      if (message == MSG_OPENDS && origin != nullptr) Introduce(in, *origin);
      data = identity;
      break;
    }
    case Data::kEntryPoint: {
      const uint8_t parts = in.U8();
      auto* entry = held.Make<TW_ENTRYPOINT>();
      entry->Size = sizeof *entry;
      if ((parts & 0x60) == 0x20) entry->Size -= 4;
      if ((parts & 0x60) == 0x40) entry->Size += 8;
      entry->DSM_Entry = (parts & 1) != 0 ? ManagerEntry : nullptr;
      entry->DSM_MemAllocate = (parts & 2) != 0 ? ManagerAllocate : nullptr;
      entry->DSM_MemFree = (parts & 4) != 0 ? ManagerFree : nullptr;
      entry->DSM_MemLock = (parts & 8) != 0 ? ManagerLock : nullptr;
      entry->DSM_MemUnlock = (parts & 16) != 0 ? ManagerUnlock : nullptr;
      data = entry;
      break;
    }
    case Data::kStatus:
      data = held.Make<TW_STATUS>();
      break;
    case Data::kEvent: {
      auto* event = held.Make<TW_EVENT>();
      event->TWMessage = 0x5555;
      auto* msg = held.Make<MSG>();
      const uint8_t kind = in.U8();
      msg->hwnd = twainfake::Fake().dialog;
      // Every other round of kinds goes to the progress indicator (its
      // Cancel), while it is shown.
      if ((kind / 6) % 2 == 1 && twainfake::Fake().indicator != nullptr)
        msg->hwnd = twainfake::Fake().indicator;
      switch (kind % 6) {
        case 0:
          event->pEvent = nullptr;
          break;
        case 1:
          msg->hwnd = reinterpret_cast<HWND>(0x4242);
          break;
        case 2:
          msg->message = WM_COMMAND;
          msg->wParam = IDOK;
          msg->lParam = in.U8();
          break;
        case 3:
          msg->message = WM_COMMAND;
          msg->wParam = IDCANCEL;
          break;
        case 4:
          msg->message = WM_CLOSE;
          break;
        default:
          msg->message = 0x0200;  // the mouse moved
          break;
      }
      if (kind % 6 != 0) event->pEvent = msg;
      data = event;
      break;
    }
    case Data::kUserInterface: {
      auto* ui = held.Make<TW_USERINTERFACE>();
      const uint8_t kind = in.U8();
      static const TW_BOOL kShow[] = {FALSE, TRUE, 0x100, 0xFFFF};
      ui->ShowUI = kShow[kind & 3];
      ui->ModalUI = (kind & 4) != 0;
      ui->hParent = (kind & 8) != 0 ? reinterpret_cast<TW_HANDLE>(0x1234) : nullptr;
      showUI = ui->ShowUI != 0;
      data = ui;
      break;
    }
    case Data::kPending: {
      auto* pending = held.Make<TW_PENDINGXFERS>();
      pending->Count = 0x5555;
      pending->u.EOJ = 0x55555555;
      data = pending;
      break;
    }
    case Data::kSetupMemory:
      data = held.Make<TW_SETUPMEMXFER>();
      break;
    case Data::kSetupFile: {
      auto* setup = held.Make<TW_SETUPFILEXFER>();
      const uint8_t name = in.U8();
      if (name < std::size(kFileNames)) {
        std::strcpy(setup->FileName, kFileNames[name]);
      } else if (name == 0xFF) {
        std::memset(setup->FileName, 'y', sizeof setup->FileName);  // no terminator
      } else if (name == 0xFE) {
        std::memset(setup->FileName, 'x', sizeof setup->FileName - 1);
      } else {
        const std::string text = in.Bytes(in.U8());
        std::memcpy(setup->FileName, text.data(), std::min(text.size(), sizeof setup->FileName));
      }
      setup->Format = in.U16();
      data = setup;
      break;
    }
    case Data::kGroup: {
      auto* value = held.Make<TW_UINT32>();
      *value = in.U32();
      data = value;
      break;
    }
    case Data::kCapability: {
      auto* capability = held.Make<TW_CAPABILITY>();
      capability->Cap = in.U16();
      capability->ConType = in.U16();
      switch (in.U8() % 4) {
        case 1:
          capability->hContainer = Container(in, held, false);
          break;
        case 2:
          // Memory that is no handle.
          capability->hContainer = held.Memory(64);
          break;
        case 3:
          capability->hContainer = Container(in, held, true);
          break;
        default:
          break;
      }
      before = *capability;
      data = capability;
      break;
    }
    case Data::kImageInfo:
      data = held.Make<TW_IMAGEINFO>();
      break;
    case Data::kLayout: {
      auto* layout = held.Make<TW_IMAGELAYOUT>();
      uint32_t edges[4];
      for (uint32_t& edge : edges) edge = in.U32();
      std::memcpy(&layout->Frame, edges, sizeof edges);
      data = layout;
      break;
    }
    case Data::kNative: {
      auto* handle = held.Make<TW_HANDLE>();
      *handle = (in.U8() & 1) != 0 ? reinterpret_cast<TW_HANDLE>(0x5150) : nullptr;
      nativeBefore = *handle;
      data = handle;
      break;
    }
    case Data::kMemory:
    case Data::kMemoryFile: {
      auto* strip = held.Make<TW_IMAGEMEMXFER>();
      const uint8_t kind = in.U8();
      uint32_t length = in.U32();
      const uint32_t actual = std::min<uint32_t>(in.U32(), 1u << 20);
      const uint32_t extra = (kind >> 3) & (TWMF_APPOWNS | TWMF_DSMOWNS | TWMF_DSOWNS);
      TW_MEMORY& memory = strip->Memory;
      switch (kind % 7) {
        case 0:  // a pointer to exactly what Length says
          length = std::min<uint32_t>(length, 1u << 20);
          memory.Flags = TWMF_POINTER;
          memory.TheMem = held.Memory(length);
          bufferSize = length;
          break;
        case 1:  // a movable handle, whatever Length says
          memory.Flags = TWMF_HANDLE;
          memory.TheMem = held.Block(GHND, actual);
          bufferSize = actual;
          break;
        case 2:  // a fixed handle, as a handle
          memory.Flags = TWMF_HANDLE;
          memory.TheMem = held.Block(GPTR, actual);
          bufferSize = actual;
          break;
        case 3:  // a fixed handle, as the pointer it also is
          length = std::min(length, actual);
          memory.Flags = TWMF_POINTER;
          memory.TheMem = held.Block(GPTR, actual);
          bufferSize = actual;
          break;
        case 4:  // memory that is no handle, said to be one
          memory.Flags = TWMF_HANDLE;
          memory.TheMem = held.Memory(actual);
          bufferSize = 0;
          break;
        case 5:  // neither pointer nor handle
          length = std::min(length, actual);
          memory.Flags = 0;
          memory.TheMem = held.Memory(actual);
          bufferSize = 0;
          break;
        default:
          memory.Flags = TWMF_POINTER;
          memory.TheMem = nullptr;
          break;
      }
      memory.Flags |= extra;
      memory.Length = length;
      memoryBefore = *strip;
      data = strip;
      break;
    }
    case Data::kFile:
      break;
    case Data::kExtended: {
      uint32_t count = 0;
      switch (in.U8() % 5) {
        case 0:
          count = in.U8() % 12;
          break;
        case 1:
          count = 1024;
          break;
        case 2:
          count = 1025;
          break;
        case 3:
          count = 0xFFFFFFFF;
          break;
        default:
          count = in.U32();
          break;
      }
      const size_t ids = in.U8() % 10;
      for (size_t i = 0; i < ids; ++i) asked.push_back(in.U16());
      // As many items as the count says, where the source may take it;
      // for a count past any it takes, one.
      const size_t given = count <= 1024 ? count : 1;
      auto* infos = static_cast<TW_UINT32*>(held.Memory(4 + given * sizeof(TW_INFO2)));
      *infos = count;
      auto* info = reinterpret_cast<TW_INFO2*>(infos + 1);
      for (size_t i = 0; i < given; ++i) {
        info[i].InfoID = asked.empty() ? 0 : asked[i % asked.size()];
        info[i].ItemType = 0x5555;
        info[i].Item = 0x5555;
      }
      data = infos;
      break;
    }
    case Data::kRaw: {
      const size_t bytes = in.U8();
      data = held.Memory(bytes);
      const std::string filled = in.Bytes(bytes);
      std::memcpy(data, filled.data(), filled.size());
      break;
    }
    case Data::kNone:
      break;
  }
  if (nullData) data = nullptr;

  // The file a file transfer writes, as it was.
  std::string fileBefore;
  const bool hadFile = triplet->data == Data::kFile && run->module->session != nullptr &&
                       ReadHostFile(run->module->session->Negotiated().filePath, fileBefore);
  Operation operation(*triplet, group, dat, message, origin, data);
  const int pre = run->state;
  const InSeven sevenBefore = run->seven;
  const bool sevenDoneBefore = run->sevenDone;
  const Outcome outcome = operation.Call(showUI);
  twainshim::FailAllocation(0);
  FUZZ_CHECK(twainshim::BadHandleCalls() == 0,
             "0x%x/0x%x: a global memory or file call on a handle that is none", dat, message);
  const bool known = triplet->lowest != 0 && (group & 7) == triplet->group;
  const bool inState = known && pre >= triplet->lowest && pre <= triplet->highest;
  const bool failed = outcome.rc == TWRC_FAILURE;

  // What changed in the model beyond the state.
  if (known && inState && !failed) {
    if (dat == DAT_IDENTITY && message == MSG_OPENDS) {
      run->support.clear();
      run->numberType.clear();
      run->listed.clear();
      run->listedKnown = false;
      run->constrained.clear();
    }
    if (dat == DAT_USERINTERFACE && message == MSG_ENABLEDS) run->showUI = showUI;
    if (dat == DAT_ENTRYPOINT) {
      const auto* entry = static_cast<TW_ENTRYPOINT*>(data);
      run->managerEntry = run->managerEntry || entry->DSM_Entry != nullptr;
      run->managerMemory = run->managerMemory ||
                           (entry->DSM_MemAllocate != nullptr && entry->DSM_MemFree != nullptr &&
                            entry->DSM_MemLock != nullptr && entry->DSM_MemUnlock != nullptr);
    }
  }

  // What the source handed out, checked and given back.
  switch (known ? triplet->data : Data::kNone) {
    case Data::kIdentity: {
      if (data == nullptr) break;
      const auto* identity = static_cast<TW_IDENTITY*>(data);
      FUZZ_CHECK(identity->Id == kSourceId, "the source changed the Id the manager gave it");
      if (!failed && inState && message != MSG_CLOSEDS) {
        FUZZ_CHECK(std::memchr(identity->ProductName, 0, sizeof identity->ProductName) &&
                       std::memchr(identity->Manufacturer, 0, sizeof identity->Manufacturer) &&
                       std::memchr(identity->ProductFamily, 0, sizeof identity->ProductFamily) &&
                       std::memchr(identity->Version.Info, 0, sizeof identity->Version.Info),
                   "the source's identity has a string without its terminator");
        FUZZ_CHECK(identity->ProtocolMajor == 2 && identity->ProtocolMinor == 4 &&
                       (identity->SupportedGroups & (DG_CONTROL | DG_IMAGE | DF_DS2)) ==
                           (DG_CONTROL | DG_IMAGE | DF_DS2),
                   "the source says protocol %u.%u, groups 0x%x", identity->ProtocolMajor,
                   identity->ProtocolMinor, static_cast<unsigned>(identity->SupportedGroups));
      }
      break;
    }
    case Data::kStatus:
      if (!failed && data != nullptr)
        FUZZ_CHECK(static_cast<TW_STATUS*>(data)->Reserved == 0, "DAT_STATUS's Reserved is set");
      break;
    case Data::kPending: {
      if (failed || !inState || data == nullptr) break;
      const auto* pending = static_cast<TW_PENDINGXFERS*>(data);
      const int now = RealState();
      if (now >= 6)
        FUZZ_CHECK(pending->Count > 0, "TW_PENDINGXFERS.Count 0 in state %d", now);
      else
        FUZZ_CHECK(pending->Count == 0, "TW_PENDINGXFERS.Count %u in state %d", pending->Count,
                   now);
      FUZZ_CHECK(pending->u.EOJ == TWEJ_NONE ||
                     (pending->u.EOJ == TWEJ_MIDSEPARATOR && message == MSG_ENDXFER),
                 "TW_PENDINGXFERS.EOJ %u", static_cast<unsigned>(pending->u.EOJ));
      if (message != MSG_GET) run->seven = InSeven::kNone;
      break;
    }
    case Data::kSetupMemory: {
      if (failed || data == nullptr) break;
      const auto* setup = static_cast<TW_SETUPMEMXFER*>(data);
      FUZZ_CHECK(setup->MinBufSize > 0 && setup->Preferred >= setup->MinBufSize &&
                     setup->MaxBufSize >= setup->Preferred,
                 "TW_SETUPMEMXFER %u, %u, %u", static_cast<unsigned>(setup->MinBufSize),
                 static_cast<unsigned>(setup->Preferred), static_cast<unsigned>(setup->MaxBufSize));
      break;
    }
    case Data::kSetupFile: {
      if (failed || data == nullptr || message == MSG_SET) break;
      const auto* setup = static_cast<TW_SETUPFILEXFER*>(data);
      FUZZ_CHECK(std::memchr(setup->FileName, 0, sizeof setup->FileName) != nullptr,
                 "TW_SETUPFILEXFER.FileName without its terminator");
      break;
    }
    case Data::kCapability: {
      if (message == MSG_RESETALL && !failed && inState) run->constrained.clear();
      if (data == nullptr || message == MSG_RESETALL) break;
      auto* capability = static_cast<TW_CAPABILITY*>(data);
      const TW_UINT16 cap = capability->Cap;
      const bool reads = message == MSG_GET || message == MSG_GETCURRENT ||
                         message == MSG_GETDEFAULT || message == MSG_RESET ||
                         message == MSG_QUERYSUPPORT;
      if (failed || !reads) {
        FUZZ_CHECK(
            capability->ConType == before.ConType && capability->hContainer == before.hContainer,
            "capability 0x%x: message 0x%x answered %u and changed the TW_CAPABILITY", cap, message,
            outcome.rc);
      } else {
        FUZZ_CHECK(capability->hContainer != before.hContainer || before.hContainer == nullptr,
                   "capability 0x%x: the application's own container handed back", cap);
        Answer answer = CheckContainer(capability->hContainer, capability->ConType, cap, message);
        FreeGiven(capability->hContainer);
        if (message == MSG_QUERYSUPPORT) {
          run->support[cap] = answer.items.at(0);
        } else if (pre == 4 && depth == 0) {
          // The default under a constraint may be one the constraint
          // leaves out (TWON_DONTCARE32 in MSG_GET's enumeration).
          run->answered = message != MSG_GETDEFAULT || run->constrained.count(cap) == 0;
          run->answeredCap = cap;
          run->answer = answer;
        }
        if (cap == CAP_SUPPORTEDCAPS && message == MSG_GET) {
          run->listed.clear();
          for (uint32_t id : answer.items) run->listed.insert(static_cast<TW_UINT16>(id));
          run->listedKnown = true;
          if (run->trace) {
            std::fprintf(stderr, "CAP_SUPPORTEDCAPS:");
            for (TW_UINT16 id : run->listed) std::fprintf(stderr, " 0x%x", id);
            std::fprintf(stderr, "\n");
          }
        }
      }
      if (!inState) break;
      if (!failed &&
          (message == MSG_SETCONSTRAINT || (message == MSG_SET && before.ConType != TWON_ONEVALUE)))
        run->constrained.insert(cap);
      if (!failed && message == MSG_RESET) run->constrained.erase(cap);
      // What MSG_QUERYSUPPORT said, and CAP_SUPPORTEDCAPS.
      const TW_UINT32 bit = SupportBit(message);
      const auto said = run->support.find(cap);
      const bool refusedOperation = failed && outcome.cc == TWCC_CAPBADOPERATION;
      const bool unsupported = failed && outcome.cc == TWCC_CAPUNSUPPORTED;
      if (bit != 0 && said != run->support.end()) {
        if (refusedOperation)
          FUZZ_CHECK((said->second & bit) == 0,
                     "capability 0x%x: message 0x%x refused, which MSG_QUERYSUPPORT offers", cap,
                     message);
        else if (!unsupported && !(failed && outcome.cc == TWCC_SEQERROR))
          FUZZ_CHECK((said->second & bit) != 0,
                     "capability 0x%x: message 0x%x taken, which MSG_QUERYSUPPORT does not offer",
                     cap, message);
      }
      if (run->listedKnown) {
        if (unsupported)
          FUZZ_CHECK(run->listed.count(cap) == 0,
                     "capability 0x%x is listed and answers TWCC_CAPUNSUPPORTED", cap);
        else
          FUZZ_CHECK(run->listed.count(cap) != 0,
                     "capability 0x%x answers and is not in CAP_SUPPORTEDCAPS", cap);
      }
      break;
    }
    case Data::kNative: {
      if (data == nullptr || !inState) break;
      auto* handle = static_cast<TW_HANDLE*>(data);
      if (failed || outcome.rc == TWRC_CANCEL) {
        FUZZ_CHECK(*handle == nativeBefore, "a failed or cancelled native transfer changed the handle");
        if (!failed) run->seven = operation.Rebased() ? InSeven::kUnknown : InSeven::kWhole;
        break;
      }
      CheckDib(*handle);
      FreeGiven(*handle);
      run->seven = operation.Rebased() ? InSeven::kUnknown : InSeven::kWhole;
      break;
    }
    case Data::kFile: {
      if (!inState || run->module->session == nullptr) break;
      if (!failed) run->seven = operation.Rebased() ? InSeven::kUnknown : InSeven::kWhole;
      // A cancelled transfer leaves the file as a failed one does.
      const bool failedOrCancelled = failed || outcome.rc == TWRC_CANCEL;
      if (twainfake::Fake().conduct.sizeDelta != 0) break;
      const twainds::Choices& choices = run->module->session->Negotiated();
      std::string bytes;
      const bool there = ReadHostFile(choices.filePath, bytes);
      FUZZ_CHECK(there || failedOrCancelled, "the file transfer's %s is not there", choices.filePath.c_str());
      if (!there) break;
      if (failedOrCancelled) {
        FUZZ_CHECK(hadFile && bytes == fileBefore,
                   "a failed or cancelled file transfer left %s other than it was", choices.filePath.c_str());
        break;
      }
      const std::string problem = FileProblem(bytes, choices.fileFormat);
      FUZZ_CHECK(problem.empty(), "after a file transfer, %s is %s", choices.filePath.c_str(),
                 problem.c_str());
      break;
    }
    case Data::kMemory:
    case Data::kMemoryFile: {
      if (!inState) break;
      const bool file = triplet->data == Data::kMemoryFile;
      const InSeven kind = file ? InSeven::kMemoryFile : InSeven::kMemory;
      // In 7 only to go on with a transfer of its own kind, not ended.
      const bool goesOn = pre == 6 || (sevenBefore == kind && !sevenDoneBefore);
      if (!goesOn && sevenBefore != InSeven::kUnknown)
        FUZZ_CHECK(
            failed &&
                (outcome.cc == TWCC_SEQERROR || (data == nullptr && outcome.cc == TWCC_BADVALUE)),
            "%s in state 7 after %s answered %u (%u)",
            file ? "DAT_IMAGEMEMFILEXFER" : "DAT_IMAGEMEMXFER",
            sevenDoneBefore ? "the page came over" : "another transfer", outcome.rc, outcome.cc);
      if (data == nullptr) break;
      auto* strip = static_cast<TW_IMAGEMEMXFER*>(data);
      FUZZ_CHECK(strip->Memory.Flags == memoryBefore.Memory.Flags &&
                     strip->Memory.Length == memoryBefore.Memory.Length &&
                     strip->Memory.TheMem == memoryBefore.Memory.TheMem,
                 "the source changed the application's TW_MEMORY");
      if (pre == 6 && RealState() == 7) {
        run->seven = kind;
        run->sevenDone = false;
        run->rowsGiven = 0;
        run->file.clear();
      }
      if (operation.Rebased()) run->seven = InSeven::kUnknown;
      // What came over so far is followed only where the model knows it.
      const bool followed = run->seven == kind;
      if (failed) break;
      // Cancelled: nothing came, and nothing more comes of the page.
      if (outcome.rc == TWRC_CANCEL) {
        run->sevenDone = true;
        break;
      }
      FUZZ_CHECK(strip->BytesWritten > 0 && strip->BytesWritten <= strip->Memory.Length &&
                     strip->BytesWritten <= bufferSize,
                 "a strip of %u bytes in a buffer of %u (%zu)",
                 static_cast<unsigned>(strip->BytesWritten),
                 static_cast<unsigned>(strip->Memory.Length), bufferSize);
      if (!file) {
        FUZZ_CHECK(strip->Rows > 0 && strip->BytesWritten == strip->BytesPerRow * strip->Rows &&
                       strip->Compression == TWCP_NONE && strip->XOffset == 0,
                   "a memory strip of %u rows of %u bytes, %u written",
                   static_cast<unsigned>(strip->Rows), static_cast<unsigned>(strip->BytesPerRow),
                   static_cast<unsigned>(strip->BytesWritten));
        FUZZ_CHECK(!followed || strip->YOffset == run->rowsGiven,
                   "a memory strip from row %u where %u rows were given",
                   static_cast<unsigned>(strip->YOffset), run->rowsGiven);
        run->rowsGiven += strip->Rows;
      }
      if (file && followed) {
        // The file's bytes, strip after strip: a file of its format once all
        // came over.
        const bool handle = (strip->Memory.Flags & TWMF_HANDLE) != 0;
        const auto* at = static_cast<const char*>(handle ? GlobalLock(strip->Memory.TheMem)
                                                         : strip->Memory.TheMem);
        run->file.append(at, strip->BytesWritten);
        if (handle) GlobalUnlock(strip->Memory.TheMem);
        if (outcome.rc == TWRC_XFERDONE && run->module->session != nullptr &&
            twainfake::Fake().conduct.sizeDelta == 0) {
          const TW_UINT16 format = run->module->session->Negotiated().fileFormat;
          const std::string problem = FileProblem(run->file, format);
          FUZZ_CHECK(problem.empty(), "a memory-file transfer of %zu bytes brought %s",
                     run->file.size(), problem.c_str());
        }
      }
      if (outcome.rc == TWRC_XFERDONE) run->sevenDone = true;
      break;
    }
    case Data::kExtended: {
      if (data == nullptr || !inState) break;
      const auto* infos = static_cast<TW_UINT32*>(data);
      auto* info = reinterpret_cast<TW_INFO2*>(const_cast<TW_UINT32*>(infos) + 1);
      const size_t given = *infos <= 1024 ? *infos : 1;
      for (size_t i = 0; i < given; ++i) {
        FUZZ_CHECK(info[i].InfoID == (asked.empty() ? 0 : asked[i % asked.size()]),
                   "the source changed the InfoID of item %zu", i);
        if (failed) {
          FUZZ_CHECK(info[i].Item == 0x5555 || info[i].Item == 0,
                     "a failed DAT_EXTIMAGEINFO left item %zu set", i);
          continue;
        }
        const TW_UINT16 rc = info[i].ReturnCode;
        FUZZ_CHECK(rc == TWRC_SUCCESS || rc == TWRC_INFONOTSUPPORTED || rc == TWRC_DATANOTAVAILABLE,
                   "extended image information 0x%x answered %u", info[i].InfoID, rc);
        if (rc != TWRC_SUCCESS) {
          FUZZ_CHECK(info[i].Item == 0, "extended image information 0x%x not given has an item",
                     info[i].InfoID);
          continue;
        }
        const size_t bytes = ItemBytes(info[i].ItemType) * info[i].NumItems;
        FUZZ_CHECK(bytes > 0, "extended image information 0x%x of item type %u, %u items",
                   info[i].InfoID, info[i].ItemType, info[i].NumItems);
        if (bytes <= 4) continue;
        auto* block = reinterpret_cast<HGLOBAL>(info[i].Item);
        CheckGiven(block, "an item of extended image information");
        FUZZ_CHECK(twainshim::BlockSize(block) >= bytes,
                   "extended image information 0x%x: %zu bytes in a block of %zu", info[i].InfoID,
                   bytes, twainshim::BlockSize(block));
        if (IsText(info[i].ItemType)) {
          const auto* at = static_cast<const unsigned char*>(GlobalLock(block));
          bool ended = false;
          if (info[i].ItemType == TWTY_UNI512)
            for (size_t u = 0; u + 1 < bytes && !ended; u += 2)
              ended = at[u] == 0 && at[u + 1] == 0;
          else
            ended = std::memchr(at, 0, bytes) != nullptr;
          GlobalUnlock(block);
          FUZZ_CHECK(ended, "extended image information 0x%x: a string without its terminator",
                     info[i].InfoID);
        }
        FreeGiven(block);
      }
      break;
    }
    default:
      break;
  }
  // The application's blocks as they were.
  for (auto& [block, size] : held.blocks) {
    FUZZ_CHECK(twainshim::LockCount(block) == 0, "0x%x/0x%x left the application's block locked",
               dat, message);
    FUZZ_CHECK(twainshim::BlockSize(block) == size,
               "0x%x/0x%x changed the size of the application's block", dat, message);
  }
  const auto& breaches = twainfake::Fake().breaches;
  FUZZ_CHECK(breaches.empty(), "0x%x/0x%x: the scanner saw %s", dat, message,
             breaches.empty() ? "" : breaches.front().c_str());
  return outcome.rc;
}

// --- the scanner and its faults from the input --------------------------------------

std::wstring JobName(Input& in, size_t index)
{
  const uint8_t kind = in.U8();
  const size_t length = in.U8();
  std::wstring name = L"job" + std::to_wstring(index);
  switch (kind % 8) {
    case 1:
      return L"";  // no name: the server lists it, and the source cannot ask for it
    case 2:
      return std::wstring(length + 200, L'n');  // past what a request carries
    case 3:
      return L"dup";  // one of several of that name
    case 4:
      return name + L"-\x4E2D\x6587";  // no form in Windows-1252
    case 5:
      return name + L"-\xD83D\xDE00";  // a character of two units
    case 6:
      return std::wstring(length, L'\xE9');  // 255 bytes in 1252 and not in UTF-8
    case 7:
      return name + L"-B\xFCro";
    default:
      return name;
  }
}

void Scenario(Input& in)
{
  twainfake::ResetFake();
  twainfake::Scanner& scanner = twainfake::Fake();
  const uint8_t setup = in.U8();
  twainshim::UseCodePage((setup & 1) != 0 ? CP_UTF8 : 1252);
  scanner.deleteOption = (setup & 2) != 0;
  scanner.openReaches = (setup & 4) == 0;
  scanner.dialogFails = (setup & 8) != 0;
  scanner.imagingFails = (setup & 16) != 0;
  scanner.conduct.keepsGrey = (setup & 32) != 0;
  scanner.conduct.keepsLetter = (setup & 64) != 0;
  scanner.conduct.renames = (setup & 128) != 0;
  const uint8_t lies = in.U8();
  scanner.conduct.headerLie = lies & 7;
  scanner.conduct.infoLie = (lies >> 3) % 7;
  const uint8_t done = in.U8();
  scanner.conduct.endsEarly = (done & 3) == 1;
  scanner.conduct.neverDone = (done & 3) == 2;
  static const int kDeltas[] = {0, 1, -1, 4, -4, 64, -64, 100000};
  scanner.conduct.sizeDelta = kDeltas[(done >> 2) & 7];
  static const int kPagesDeltas[] = {0, 0, 0, 1, -1, 2, -2, 0};
  scanner.conduct.pagesDelta = kPagesDeltas[done >> 5];

  const uint8_t pixelType = in.U8(), paper = in.U8(), resolution = in.U8();
  static const short kSizes[] = {TWSS_NONE,    TWSS_A4,          TWSS_USLETTER,
                                 TWSS_USLEGAL, TWSS_A5,          TWSS_USEXECUTIVE,
                                 TWSS_A3,      TWSS_USSTATEMENT, 99};
  static const short kDots[] = {72, 100, 150, 200, 300, 400, 600, 75};
  scanner.settings.pixelType = static_cast<short>(pixelType % 4);
  scanner.settings.paperSize = kSizes[paper % std::size(kSizes)];
  scanner.settings.resolution = kDots[resolution % std::size(kDots)];
  scanner.settings.fileFormat = static_cast<short>(in.U8() % 5);
  scanner.settings.option = static_cast<short>(in.U8() & 1);

  const size_t jobs = in.U8() % 7;
  for (size_t i = 0; i < jobs; ++i) {
    twainfake::Job job;
    job.name = JobName(in, i);
    const uint8_t flags = in.U8();
    job.ready = (flags & 1) == 0;
    job.yours = (flags & 2) == 0;
    job.timed = (flags & 4) != 0;
    job.document = (flags & 8) != 0 ? L"" : L"doc.pdf";
    job.pages = in.U8() % 4;
    static const int kTypes[] = {TWPT_BW, TWPT_GRAY, TWPT_RGB};
    static const int kBits[] = {1, 8, 24};
    const uint8_t type = in.U8() % 3;
    job.pixelType = kTypes[type];
    job.bits = kBits[type];
    job.width = 1 + in.U8() % 64;
    job.length = 1 + in.U8() % 64;
    static const int kDpi[] = {72, 100, 150, 200, 300, 400, 600};
    job.dpi = kDpi[in.U8() % 7];
    scanner.jobs.push_back(job);
  }

  const size_t faults = in.U8() % 6;
  static const HRESULT kResults[] = {E_FAIL, E_OUTOFMEMORY, E_ACCESSDENIED,
                                     static_cast<HRESULT>(0x80070015)};
  for (size_t i = 0; i < faults; ++i) {
    twainfake::Fault fault;
    fault.call = static_cast<twainfake::Call>(in.U8() % static_cast<int>(twainfake::Call::kCount));
    fault.skip = in.U8();
    fault.times = in.U8() % 4;
    fault.hr = kResults[in.U8() % std::size(kResults)];
    scanner.faults.push_back(fault);
  }
  const uint8_t gone = in.U8();
  scanner.goneAfter = gone == 0 ? -1 : gone;

  // Faults of files; allocations fail as operations ask (Step).
  const size_t fileFaults = in.U8() % 4;
  static const DWORD kErrors[] = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
                                  ERROR_PATH_NOT_FOUND};
  for (size_t i = 0; i < fileFaults; ++i) {
    const auto call =
        static_cast<twainshim::FileCall>(in.U8() % static_cast<int>(twainshim::FileCall::kCount));
    const unsigned nth = in.U8();
    twainshim::FailFile(call, nth, kErrors[in.U8() % std::size(kErrors)]);
  }

  // The manager's replies to the source's notices, in turn: bit 0 refuses,
  // bits 1 and 2 say how many of the next operations the application makes
  // from its callback.
  const size_t replies = in.U8() % 8;
  for (size_t i = 0; i < replies; ++i) run->replies.push_back(in.U8());
}

// Back to state 3 as an application gets there from any state.
void Close()
{
  run->nesting = false;
  for (int steps = 0; steps < 8 && RealState() != 3; ++steps) {
    Held held;
    const int state = RealState();
    size_t index = 0;
    void* data = nullptr;
    switch (state) {
      case 7:
        index = 9;  // MSG_ENDXFER
        data = held.Make<TW_PENDINGXFERS>();
        break;
      case 6:
        index = 10;  // DAT_PENDINGXFERS MSG_RESET
        data = held.Make<TW_PENDINGXFERS>();
        break;
      case 5:
        index = 7;  // MSG_DISABLEDS
        data = held.Make<TW_USERINTERFACE>();
        break;
      default:
        index = 2;  // MSG_CLOSEDS
        data = held.Make<TW_IDENTITY>();
        static_cast<TW_IDENTITY*>(data)->Id = kSourceId;
        break;
    }
    const Triplet& triplet = kTriplets[index];
    Operation operation(triplet, triplet.group, triplet.dat, triplet.message, Opener(), data);
    const Outcome outcome = operation.Call(false);
    FUZZ_CHECK(outcome.rc == TWRC_SUCCESS, "on the way back, 0x%x/0x%x in state %d failed (%u)",
               triplet.dat, triplet.message, state, outcome.cc);
    if (state == 7 || state == 6) {
      const auto* pending = static_cast<TW_PENDINGXFERS*>(data);
      FUZZ_CHECK((RealState() == 6) == (pending->Count > 0), "TW_PENDINGXFERS.Count %u in state %d",
                 pending->Count, RealState());
    }
  }
  FUZZ_CHECK(RealState() == 3, "the source could not be brought back to state 3");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  twainshim::Start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  Input in(data, size);
  Run state;
  run = &state;
  state.in = &in;
  state.module = new twainds::Module;
  state.trace = std::getenv("STIBRIDGE_FUZZ_TRACE") != nullptr;
  for (TW_IDENTITY& app : state.apps) {
    app.ProtocolMajor = 2;
    app.ProtocolMinor = 4;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "Fuzz Scan");
  }
  state.apps[0].Id = 1;
  state.apps[1].Id = 2;
  Scenario(in);
  for (int ops = 0; ops < 96 && in.More(); ++ops) Step(0);
  Close();

  FUZZ_CHECK(state.managerBlocks.empty(), "%zu blocks of the manager's allocator were never freed",
             state.managerBlocks.size());
  FUZZ_CHECK(twainshim::LiveBlocks() == 0, "%zu global memory blocks outlived the source",
             twainshim::LiveBlocks());
  FUZZ_CHECK(twainshim::OpenFiles() == 0, "%zu files are still open", twainshim::OpenFiles());
  FUZZ_CHECK(twainshim::TemporaryFiles() == 0, "%zu temporary files are left",
             twainshim::TemporaryFiles());
  FUZZ_CHECK(twainshim::LiveWindows() == 0, "%zu windows outlived the source",
             twainshim::LiveWindows());
  FUZZ_CHECK(twainfake::Fake().apartments == 0, "a COM apartment was entered and not left");
  delete state.module;
  FUZZ_CHECK(twainshim::BadHandleCalls() == 0, "a handle of the application's was freed");
  run = nullptr;
  twainshim::Reset();
  return 0;
}
