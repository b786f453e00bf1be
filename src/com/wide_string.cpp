// Bounded UTF-16 text helpers: copying, appending, measuring and formatting
// into fixed buffers without ever writing past them or allocating.
#include "com/wide_string.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

const WCHAR kEmptyText[] = W("");

bool IsValidCapacity(size_t capacity)
{
  return capacity >= 1 && capacity <= kLargestStringUnits;
}

// Units before the terminator of `text`, looking at no more than `largest`
// units; `largest` when none of them is the terminator.
size_t BoundedLength(const WCHAR* text, size_t largest)
{
  size_t length = 0;
  while (length < largest && text[length] != 0) ++length;
  return length;
}

// memmove rather than memcpy: the callers allow a source inside the
// destination.
void MoveUnits(WCHAR* dest, const WCHAR* src, size_t count)
{
  if (count != 0) std::memmove(dest, src, count * sizeof(WCHAR));
}

// Whether [text, text + count) shares a unit with [buffer, buffer + capacity).
// Compared as addresses: the two need not belong to the same array.
bool Overlaps(const WCHAR* text, size_t count, const WCHAR* buffer, size_t capacity)
{
  const uintptr_t textStart = reinterpret_cast<uintptr_t>(text);
  const uintptr_t bufferStart = reinterpret_cast<uintptr_t>(buffer);
  return textStart < bufferStart + capacity * sizeof(WCHAR) &&
         bufferStart < textStart + count * sizeof(WCHAR);
}

// Whether `text` starts inside [buffer, buffer + capacity), and if so at which unit.
bool StartsInside(const WCHAR* text, const WCHAR* buffer, size_t capacity, size_t* unit)
{
  const uintptr_t textStart = reinterpret_cast<uintptr_t>(text);
  const uintptr_t bufferStart = reinterpret_cast<uintptr_t>(buffer);
  if (textStart < bufferStart || textStart - bufferStart >= capacity * sizeof(WCHAR)) return false;
  *unit = (textStart - bufferStart) / sizeof(WCHAR);
  return true;
}

// Literal text, "%%" and "%s" are the only things a format may hold.
bool IsWellFormed(const WCHAR* format)
{
  for (const WCHAR* at = format; *at != 0; ++at) {
    if (*at != W('%')) continue;
    ++at;
    if (*at != W('%') && *at != W('s')) return false;
  }
  return true;
}

// Walks a well-formed format in output order: `onText(text, count)` for each
// run of literal units (the second '%' of "%%" starts a run), and
// `onArgument(index, text)` for each %s with its argument, a null one read as
// empty. Either returns false to stop the walk, after which no further
// argument is fetched.
template <typename OnText, typename OnArgument>
void WalkFormat(const WCHAR* format, va_list& args, OnText onText, OnArgument onArgument)
{
  size_t index = 0;
  const WCHAR* run = format;
  for (const WCHAR* at = format;; ++at) {
    if (*at != 0 && *at != W('%')) continue;
    if (at != run && !onText(run, static_cast<size_t>(at - run))) return;
    if (*at == 0) return;
    ++at;
    if (*at == W('%')) {
      run = at;
    } else {
      const WCHAR* argument = va_arg(args, const WCHAR*);
      if (!onArgument(index++, argument == nullptr ? kEmptyText : argument)) return;
      run = at + 1;
    }
  }
}

// What a formatting will produce, worked out before anything is written.
struct FormatPlan {
  size_t length = 0;  // units of output that fit, at most capacity - 1
  bool cut = false;
  bool refused = false;  // an argument overlaps the destination in a way we cannot honour
  // The first argument when it lies inside the destination: where its text
  // starts, where it lands in the output, and how many of its units fit.
  bool aliased = false;
  size_t aliasFrom = 0;
  size_t aliasTo = 0;
  size_t aliasCount = 0;
};

FormatPlan PlanFormat(const WCHAR* dest, size_t capacity, const WCHAR* format, va_list& args)
{
  FormatPlan plan;
  const size_t room = capacity - 1;
  WalkFormat(
      format, args,
      [&](const WCHAR*, size_t count) {
        const size_t taken = std::min(count, room - plan.length);
        plan.length += taken;
        plan.cut = taken < count;
        return !plan.cut;
      },
      [&](size_t index, const WCHAR* text) {
        const size_t left = room - plan.length;
        size_t from = 0;
        if (index == 0 && StartsInside(text, dest, capacity, &from)) {
          // The destination extending its own text. Its terminator must lie
          // inside the buffer; we look no further than the buffer's end.
          const size_t length = BoundedLength(text, capacity - from);
          if (length == capacity - from) {
            plan.refused = true;
            return false;
          }
          plan.aliased = true;
          plan.aliasFrom = from;
          plan.aliasTo = plan.length;
          plan.aliasCount = std::min(length, left);
          plan.length += plan.aliasCount;
          plan.cut = plan.aliasCount < length;
          return !plan.cut;
        }
        // Units that fit, then one more: the terminator, or proof of a cut.
        const size_t length = BoundedLength(text, left);
        if (Overlaps(text, length + 1, dest, capacity)) {
          plan.refused = true;
          return false;
        }
        plan.length += length;
        plan.cut = length == left && text[left] != 0;
        return !plan.cut;
      });
  return plan;
}

// Writes what PlanFormat worked out. An aliased first argument is moved to
// its place in the output first, before any unit that precedes it is written
// over its old place; every other source lies outside the destination.
void WriteFormat(WCHAR* dest, const FormatPlan& plan, const WCHAR* format, va_list& args)
{
  if (plan.aliased) MoveUnits(dest + plan.aliasTo, dest + plan.aliasFrom, plan.aliasCount);
  size_t written = 0;
  if (plan.length != 0) {
    WalkFormat(
        format, args,
        [&](const WCHAR* text, size_t count) {
          const size_t taken = std::min(count, plan.length - written);
          MoveUnits(dest + written, text, taken);
          written += taken;
          return written < plan.length;
        },
        [&](size_t index, const WCHAR* text) {
          if (index == 0 && plan.aliased) {
            written += plan.aliasCount;
          } else {
            const size_t taken = BoundedLength(text, plan.length - written);
            MoveUnits(dest + written, text, taken);
            written += taken;
          }
          return written < plan.length;
        });
  }
  dest[written] = 0;
}

HRESULT FormatUnits(WCHAR* dest, size_t capacity, const WCHAR* format, va_list args)
{
  if (dest == nullptr || format == nullptr || !IsValidCapacity(capacity)) return E_INVALIDARG;
  // The format is read twice, around writes into the destination.
  size_t formatLength = 0;
  while (format[formatLength] != 0) ++formatLength;
  if (Overlaps(format, formatLength + 1, dest, capacity)) return E_INVALIDARG;

  if (!IsWellFormed(format)) {
    // Nothing of a malformed format is kept, and no argument is read: its
    // conversions say nothing reliable about what was passed.
    dest[0] = 0;
    dest[capacity - 1] = 0;
    return kStringCut;
  }

  va_list planArgs;
  va_copy(planArgs, args);
  const FormatPlan plan = PlanFormat(dest, capacity, format, planArgs);
  va_end(planArgs);
  if (plan.refused) return E_INVALIDARG;

  va_list writeArgs;
  va_copy(writeArgs, args);
  WriteFormat(dest, plan, format, writeArgs);
  va_end(writeArgs);
  return plan.cut ? kStringCut : S_OK;
}

}  // namespace

HRESULT WStrLength(const WCHAR* text, size_t largest, size_t* length)
{
  if (length == nullptr) return E_INVALIDARG;
  *length = 0;
  if (text == nullptr) return E_INVALIDARG;
  const size_t counted = BoundedLength(text, largest);
  if (counted == largest) return E_INVALIDARG;
  *length = counted;
  return S_OK;
}

HRESULT WStrCopy(WCHAR* dest, size_t capacity, const WCHAR* src)
{
  return WStrCopyPrefix(dest, capacity, src, capacity);
}

HRESULT WStrCopyPrefix(WCHAR* dest, size_t capacity, const WCHAR* src, size_t largestCount)
{
  if (dest == nullptr || src == nullptr || !IsValidCapacity(capacity)) return E_INVALIDARG;
  // The source is measured before anything is written, so an overlapping
  // source is copied as it was. Looking at `capacity` units (one more than
  // fits) tells an exact fit from a cut.
  const size_t length = BoundedLength(src, std::min(largestCount, capacity));
  if (length == capacity) {
    MoveUnits(dest, src, capacity - 1);
    dest[capacity - 1] = 0;
    return kStringCut;
  }
  MoveUnits(dest, src, length);
  dest[length] = 0;
  return S_OK;
}

HRESULT WStrAppend(WCHAR* dest, size_t capacity, const WCHAR* src)
{
  if (dest == nullptr || src == nullptr || !IsValidCapacity(capacity)) return E_INVALIDARG;
  const size_t used = BoundedLength(dest, capacity);
  if (used == capacity) return E_INVALIDARG;
  // The remaining units form a destination of their own; when the buffer is
  // full that is the terminator alone, which an empty source rewrites as it
  // was and any other source cuts to nothing.
  return WStrCopy(dest + used, capacity - used, src);
}

HRESULT WStrFormat(WCHAR* dest, size_t capacity, const WCHAR* format, ...)
{
  va_list args;
  va_start(args, format);
  const HRESULT result = FormatUnits(dest, capacity, format, args);
  va_end(args);
  return result;
}

HRESULT WStrFormatBytes(WCHAR* dest, size_t capacityBytes, const WCHAR* format, ...)
{
  va_list args;
  va_start(args, format);
  const HRESULT result = FormatUnits(dest, capacityBytes / sizeof(WCHAR), format, args);
  va_end(args);
  return result;
}
