// The bounded UTF-16 helpers against a plain model written here: each input
// picks one helper, a capacity (valid, around the server's 260 units, or
// invalid), a destination with arbitrary content, and sources that live in
// blocks of their own, are null, or lie in the same block as the
// destination (before it, inside it, after it). The model works on a copy of
// that block taken before the call and says what the whole block holds
// afterwards and which result comes back; any difference aborts with a
// message naming it.
//
// The destination lies in a block of exactly its own size plus the units
// before and after it, so the sanitizer sees any access beyond the block,
// and the model sees any write outside the destination.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "com/wide_string.h"
#include "fuzz/fuzz_check.h"

namespace {

using Units = std::vector<WCHAR>;

constexpr size_t kNoLimit = SIZE_MAX;
constexpr size_t kArguments = 8;  // what every formatting call passes

enum class Helper {
  Length,
  Copy,
  CopyPrefix,
  Append,
  Format,
  FormatBytes,
  kMaxValue = FormatBytes
};

const char* HelperName(Helper helper)
{
  switch (helper) {
    case Helper::Length:
      return "WStrLength";
    case Helper::Copy:
      return "WStrCopy";
    case Helper::CopyPrefix:
      return "WStrCopyPrefix";
    case Helper::Append:
      return "WStrAppend";
    case Helper::Format:
      return "WStrFormat";
    case Helper::FormatBytes:
      return "WStrFormatBytes";
  }
  return "?";
}

// Mostly units that mean something to the helpers or to formats, now and
// then any unit at all (surrogate halves included).
WCHAR ConsumeUnit(FuzzedDataProvider& in, bool allowTerminator)
{
  static const WCHAR kUnits[] = {W('a'), W('b'), W('%'), W('s'), W('_'), 0,
                                 W('%'), W('s'), W('S'), W('d'), W('1'), 0};
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  WCHAR unit = pick < 224 ? kUnits[pick % std::size(kUnits)] : in.ConsumeIntegral<uint16_t>();
  if (unit == 0 && !allowTerminator) unit = W('z');
  return unit;
}

size_t ConsumeLength(FuzzedDataProvider& in)
{
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return in.ConsumeIntegralInRange<size_t>(250, 270);
    default:
      return in.ConsumeIntegralInRange<size_t>(0, 12);
  }
}

// A capacity in units: mostly small, sometimes around 260, sometimes
// invalid. Capacities large enough to be valid but beyond what we can
// allocate are left out: the helpers may use every unit a valid capacity
// names.
size_t ConsumeCapacity(FuzzedDataProvider& in)
{
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      return 0;
    case 1:
      return kLargestStringUnits + 1;
    case 2:
      return SIZE_MAX;
    case 3:
    case 4:
      return in.ConsumeIntegralInRange<size_t>(255, 265);
    default:
      return in.ConsumeIntegralInRange<size_t>(1, 20);
  }
}

size_t ConsumeCapacityBytes(FuzzedDataProvider& in)
{
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      return in.ConsumeIntegralInRange<size_t>(0, 1);
    case 1:
      return (kLargestStringUnits + 1) * sizeof(WCHAR) + in.ConsumeIntegralInRange<size_t>(0, 1);
    case 2:
      return SIZE_MAX;
    case 3:
    case 4:
      return in.ConsumeIntegralInRange<size_t>(510, 530);
    default:
      return in.ConsumeIntegralInRange<size_t>(2, 41);
  }
}

bool IsValidCapacity(size_t capacity)
{
  return capacity >= 1 && capacity <= kLargestStringUnits;
}

// The units of `memory` before its first terminator, reading no more than
// `limit` of its `available` units. `terminated` tells whether a terminator
// ended the text.
Units TextIn(const WCHAR* memory, size_t available, size_t limit, bool* terminated = nullptr)
{
  Units text;
  size_t at = 0;
  for (; at < available && at < limit && memory[at] != 0; ++at) text.push_back(memory[at]);
  if (terminated != nullptr) *terminated = at < available && at < limit && memory[at] == 0;
  return text;
}

// A block of exactly `units.size()` units: [before | destination | after].
struct Block {
  size_t before = 0;
  size_t destination = 0;  // units of the destination
  size_t after = 0;
  std::unique_ptr<WCHAR[]> memory;
  Units snapshot;  // the block's units before the call

  size_t size() const { return before + destination + after; }
  WCHAR* dest() const { return memory.get() + before; }
  bool InDestination(size_t at) const { return at >= before && at < before + destination; }
  Units Now() const { return Units(memory.get(), memory.get() + size()); }
};

// One text argument: null, a block of its own (terminated unless the call
// reads no further than its units), or a place in the destination's block.
struct Source {
  enum class Kind { Null, Own, InBlock } kind = Kind::Null;
  Units own;  // Own: the block's units, terminator included if any
  std::unique_ptr<WCHAR[]> ownMemory;
  size_t at = 0;  // InBlock: index into the destination's block
  const WCHAR* pointer = nullptr;
};

void ConsumeSource(FuzzedDataProvider& in, Block& block, Source& source, bool terminate = true)
{
  const int kind = in.ConsumeIntegralInRange<int>(0, 7);
  if (kind == 0) return;
  if (kind <= 3 || block.size() == 0) {
    source.kind = Source::Kind::Own;
    const size_t length = ConsumeLength(in);
    for (size_t i = 0; i < length; ++i) source.own.push_back(ConsumeUnit(in, false));
    if (terminate) source.own.push_back(0);
    source.ownMemory.reset(new WCHAR[source.own.size()]);
    std::copy(source.own.begin(), source.own.end(), source.ownMemory.get());
    source.pointer = source.ownMemory.get();
    return;
  }
  source.kind = Source::Kind::InBlock;
  // Most often inside the destination, at its start or anywhere in it.
  if (kind <= 5 && block.destination != 0)
    source.at = block.before +
                (kind == 4 ? 0 : in.ConsumeIntegralInRange<size_t>(0, block.destination - 1));
  else
    source.at = in.ConsumeIntegralInRange<size_t>(0, block.size() - 1);
  source.pointer = block.memory.get() + source.at;
}

bool OwnSourcesUnchanged(const std::vector<const Source*>& sources)
{
  for (const Source* s : sources)
    if (s->kind == Source::Kind::Own && !std::equal(s->own.begin(), s->own.end(), s->pointer))
      return false;
  return true;
}

// The source's text as the block held it before the call, read to its
// terminator or `limit` units. False when the call would have to read
// beyond the memory the source lies in: such a call breaks the helpers'
// contract, and the input is skipped.
bool SourceText(const Block& block, const Source& source, size_t limit, Units* text)
{
  bool terminated = false;
  switch (source.kind) {
    case Source::Kind::Null:
      text->clear();
      return true;
    case Source::Kind::Own:
      *text = TextIn(source.own.data(), source.own.size(), limit, &terminated);
      return terminated || text->size() == limit;
    case Source::Kind::InBlock:
      *text =
          TextIn(block.snapshot.data() + source.at, block.size() - source.at, limit, &terminated);
      return terminated || text->size() == limit;
  }
  return false;
}

// Copies `text` into `capacity` units at `dest` of the model's block: all
// of it and a terminator when it fits, otherwise its first capacity - 1
// units and a terminator, which is a cut.
HRESULT ModelCopy(Units& model, size_t dest, size_t capacity, const Units& text)
{
  const size_t kept = std::min(text.size(), capacity - 1);
  std::copy(text.begin(), text.begin() + kept, model.begin() + dest);
  model[dest + kept] = 0;
  return kept < text.size() ? kStringCut : S_OK;
}

struct Outcome {
  HRESULT result;
  Units block;
};

void Compare(Helper helper, const Outcome& expected, HRESULT result, const Block& block,
             size_t capacity)
{
  FUZZ_CHECK(result == expected.result, "%s, capacity %zu: result 0x%08X, the model says 0x%08X",
             HelperName(helper), capacity, static_cast<unsigned>(result),
             static_cast<unsigned>(expected.result));
  const Units now = block.Now();
  for (size_t i = 0; i < now.size(); ++i) {
    const long offset = static_cast<long>(i) - static_cast<long>(block.before);
    FUZZ_CHECK(now[i] == expected.block[i],
               "%s, capacity %zu, result 0x%08X: destination unit %ld is 0x%04X, the model "
               "says 0x%04X (before the call 0x%04X)",
               HelperName(helper), capacity, static_cast<unsigned>(result), offset,
               static_cast<unsigned>(now[i]), static_cast<unsigned>(expected.block[i]),
               static_cast<unsigned>(block.snapshot[i]));
  }
}

// The destination's block: invalid capacities get a small destination that
// nothing may touch.
void ConsumeBlock(FuzzedDataProvider& in, size_t capacity, Block& block)
{
  block.before = in.ConsumeIntegralInRange<size_t>(0, 3);
  block.destination = IsValidCapacity(capacity) ? capacity : 4;
  block.after = in.ConsumeIntegralInRange<size_t>(0, 3);
  block.memory.reset(new WCHAR[block.size()]);
  // A destination is mostly a text and its terminator followed by leftovers;
  // sometimes it is leftovers throughout.
  const size_t textUnits = in.ConsumeIntegralInRange<size_t>(0, block.destination);
  for (size_t i = 0; i < block.size(); ++i) {
    const bool inText = i >= block.before && i < block.before + textUnits;
    block.memory[i] = ConsumeUnit(in, !inText);
  }
  if (textUnits < block.destination && in.ConsumeBool()) block.dest()[textUnits] = 0;
  block.snapshot = block.Now();
}

void FuzzLength(FuzzedDataProvider& in)
{
  // The text lies in a block of its own; without a terminator the limit
  // stays within its units.
  const bool terminated = in.ConsumeBool();
  const size_t length = ConsumeLength(in);
  Units memory;
  for (size_t i = 0; i < length; ++i) memory.push_back(ConsumeUnit(in, false));
  if (terminated) memory.push_back(0);
  size_t limit = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      limit = terminated
                  ? in.PickValueInArray({kLargestStringUnits, kLargestStringUnits + 1, SIZE_MAX})
                  : memory.size();
      break;
    default:
      limit = in.ConsumeIntegralInRange<size_t>(0, memory.size());
  }
  std::unique_ptr<WCHAR[]> text(new WCHAR[memory.size()]);
  std::copy(memory.begin(), memory.end(), text.get());
  const bool nullText = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  const bool nullLength = in.ConsumeIntegralInRange<int>(0, 15) == 0;

  size_t got = 12345;
  const HRESULT result =
      WStrLength(nullText ? nullptr : text.get(), limit, nullLength ? nullptr : &got);

  HRESULT expected = E_INVALIDARG;
  size_t expectedLength = 0;
  if (nullLength) {
    expectedLength = 12345;
  } else if (!nullText) {
    bool found = false;
    const Units counted = TextIn(memory.data(), memory.size(), limit, &found);
    if (found) {
      expected = S_OK;
      expectedLength = counted.size();
    }
  }
  FUZZ_CHECK(result == expected && got == expectedLength,
             "WStrLength of %zu units (%s), limit %zu: 0x%08X and %zu, the model says 0x%08X and "
             "%zu",
             length, terminated ? "terminated" : "unterminated", limit,
             static_cast<unsigned>(result), got, static_cast<unsigned>(expected), expectedLength);
  FUZZ_CHECK(std::equal(memory.begin(), memory.end(), text.get()), "WStrLength wrote the text");
}

void FuzzCopyOrAppend(FuzzedDataProvider& in, Helper helper)
{
  const size_t capacity = ConsumeCapacity(in);
  Block block;
  ConsumeBlock(in, capacity, block);
  size_t limit = kNoLimit;
  bool terminate = true;
  if (helper == Helper::CopyPrefix) {
    limit = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 270) : kNoLimit;
    // A prefix of a block of its own need not be terminated when the limit
    // keeps the copy within it.
    terminate = limit == kNoLimit || in.ConsumeBool();
  }
  Source source;
  ConsumeSource(in, block, source, terminate);
  if (source.kind == Source::Kind::Own && !terminate && source.own.size() < limit) return;
  const bool nullDest = in.ConsumeIntegralInRange<int>(0, 31) == 0;

  Units text;
  if (!SourceText(block, source, limit, &text)) return;

  WCHAR* dest = nullDest ? nullptr : block.dest();
  HRESULT result = S_OK;
  switch (helper) {
    case Helper::Copy:
      result = WStrCopy(dest, capacity, source.pointer);
      break;
    case Helper::CopyPrefix:
      result = WStrCopyPrefix(dest, capacity, source.pointer, limit);
      break;
    default:
      result = WStrAppend(dest, capacity, source.pointer);
      break;
  }

  Outcome expected{E_INVALIDARG, block.snapshot};
  if (!nullDest && source.kind != Source::Kind::Null && IsValidCapacity(capacity)) {
    if (helper == Helper::Append) {
      bool terminated = false;
      const size_t used =
          TextIn(block.snapshot.data() + block.before, capacity, kNoLimit, &terminated).size();
      if (terminated)
        expected.result = ModelCopy(expected.block, block.before + used, capacity - used, text);
    } else {
      expected.result = ModelCopy(expected.block, block.before, capacity, text);
    }
  }
  Compare(helper, expected, result, block, capacity);
  FUZZ_CHECK(OwnSourcesUnchanged({&source}), "%s wrote its source", HelperName(helper));
}

// One piece of a well-formed format: literal units, or the index of a %s.
struct Piece {
  Units literal;
  bool conversion = false;
  size_t argument = 0;
};

// False for a malformed format: '%' followed by anything but '%' or 's'.
bool ParseFormat(const Units& format, std::vector<Piece>* pieces)
{
  size_t arguments = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != W('%')) {
      if (pieces->empty() || pieces->back().conversion) pieces->push_back(Piece());
      pieces->back().literal.push_back(format[i]);
      continue;
    }
    if (i + 1 == format.size()) return false;
    ++i;
    if (format[i] == W('%')) {
      if (pieces->empty() || pieces->back().conversion) pieces->push_back(Piece());
      pieces->back().literal.push_back(W('%'));
    } else if (format[i] == W('s')) {
      Piece piece;
      piece.conversion = true;
      piece.argument = arguments++;
      pieces->push_back(piece);
    } else {
      return false;
    }
  }
  return true;
}

// Formatting with the first argument allowed to lie in the destination,
// read as it was before the call; any other argument, or the format, that
// overlaps the destination is refused once the formatting reaches it.
Outcome ModelFormat(const Block& block, size_t capacity, bool nullDest, const Source& format,
                    const Units& formatText, const std::vector<Piece>& pieces, bool wellFormed,
                    const std::vector<Source>& args)
{
  Outcome outcome{E_INVALIDARG, block.snapshot};
  if (nullDest || format.kind == Source::Kind::Null || !IsValidCapacity(capacity)) return outcome;
  if (format.kind == Source::Kind::InBlock) {
    const size_t end = format.at + formatText.size() + 1;
    if (format.at < block.before + capacity && end > block.before) return outcome;
  }
  if (!wellFormed) {
    outcome.block[block.before] = 0;
    outcome.block[block.before + capacity - 1] = 0;
    outcome.result = kStringCut;
    return outcome;
  }
  const size_t room = capacity - 1;
  Units output;
  bool cut = false;
  for (const Piece& piece : pieces) {
    if (!piece.conversion) {
      output.insert(output.end(), piece.literal.begin(), piece.literal.end());
    } else {
      const Source& arg = args[piece.argument];
      Units text;
      if (arg.kind == Source::Kind::InBlock && block.InDestination(arg.at)) {
        bool terminated = false;
        text = TextIn(block.snapshot.data() + arg.at, block.before + capacity - arg.at, kNoLimit,
                      &terminated);
        if (piece.argument != 0 || !terminated) return outcome;
      } else {
        SourceText(block, arg, kNoLimit, &text);
      }
      output.insert(output.end(), text.begin(), text.end());
    }
    if (output.size() > room) {
      cut = true;
      break;
    }
  }
  outcome.result = ModelCopy(outcome.block, block.before, capacity, output);
  FUZZ_CHECK((outcome.result == kStringCut) == cut, "the format model lost track of its cut");
  return outcome;
}

void FuzzFormat(FuzzedDataProvider& in, Helper helper)
{
  const size_t capacityBytes = helper == Helper::FormatBytes ? ConsumeCapacityBytes(in) : 0;
  const size_t capacity =
      helper == Helper::FormatBytes ? capacityBytes / sizeof(WCHAR) : ConsumeCapacity(in);
  Block block;
  ConsumeBlock(in, capacity, block);

  // The format: a block of its own most of the time, sometimes in the
  // destination's block or null.
  Source format;
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    ConsumeSource(in, block, format);
  } else {
    format.kind = Source::Kind::Own;
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < length; ++i) format.own.push_back(ConsumeUnit(in, false));
    format.own.push_back(0);
    format.ownMemory.reset(new WCHAR[format.own.size()]);
    std::copy(format.own.begin(), format.own.end(), format.ownMemory.get());
    format.pointer = format.ownMemory.get();
  }
  Units formatText;
  if (!SourceText(block, format, kNoLimit, &formatText)) return;
  std::vector<Piece> pieces;
  const bool wellFormed = ParseFormat(formatText, &pieces);
  size_t conversions = 0;
  for (const Piece& piece : pieces) conversions += piece.conversion ? 1 : 0;
  if (wellFormed && conversions > kArguments) return;

  std::vector<Source> args(kArguments);
  for (Source& arg : args) ConsumeSource(in, block, arg);
  for (const Source& arg : args) {
    // Every argument is a terminated text; one that starts before the
    // destination must end before it too (how far a cut formatting reads into
    // one that runs on into the destination is not part of the contract).
    Units text;
    if (!SourceText(block, arg, kNoLimit, &text)) return;
    if (arg.kind == Source::Kind::InBlock && arg.at < block.before &&
        arg.at + text.size() >= block.before)
      return;
  }
  const bool nullDest = in.ConsumeIntegralInRange<int>(0, 31) == 0;

  WCHAR* dest = nullDest ? nullptr : block.dest();
  const WCHAR* a[kArguments];
  for (size_t i = 0; i < kArguments; ++i) a[i] = args[i].pointer;
  const HRESULT result = helper == Helper::FormatBytes
                             ? WStrFormatBytes(dest, capacityBytes, format.pointer, a[0], a[1],
                                               a[2], a[3], a[4], a[5], a[6], a[7])
                             : WStrFormat(dest, capacity, format.pointer, a[0], a[1], a[2], a[3],
                                          a[4], a[5], a[6], a[7]);

  const Outcome expected =
      ModelFormat(block, capacity, nullDest, format, formatText, pieces, wellFormed, args);
  Compare(helper, expected, result, block, capacity);
  std::vector<const Source*> sources{&format};
  for (const Source& arg : args) sources.push_back(&arg);
  FUZZ_CHECK(OwnSourcesUnchanged(sources), "%s wrote its format or an argument",
             HelperName(helper));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  FuzzedDataProvider in(data, size);
  const Helper helper = in.ConsumeEnum<Helper>();
  switch (helper) {
    case Helper::Length:
      FuzzLength(in);
      break;
    case Helper::Copy:
    case Helper::CopyPrefix:
    case Helper::Append:
      FuzzCopyOrAppend(in, helper);
      break;
    case Helper::Format:
    case Helper::FormatBytes:
      FuzzFormat(in, helper);
      break;
  }
  return 0;
}
