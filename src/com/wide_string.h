// Bounded UTF-16 text helpers. All of the server's text lives in fixed
// buffers; every copy, append, length measurement and formatting into one of
// them goes through these helpers, which never write past the capacity they
// are given, never allocate, and leave the destination terminated whenever
// they write at all.
//
// Capacities count UTF-16 units with the terminator included (bytes only for
// WStrFormatBytes). Results:
//   S_OK          the whole text fitted.
//   kStringCut    the text did not fit: the destination holds its first
//                 capacity - 1 units and a terminator. Callers decide whether
//                 that is an error.
//   E_INVALIDARG  a null pointer, a capacity outside 1..kLargestStringUnits,
//                 or a text without a terminator where one is needed; nothing
//                 has been written.
// Surrogate pairs get no special treatment: a cut may split one.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// A text that did not fit: ERROR_INSUFFICIENT_BUFFER (122) carried as an
// HRESULT, i.e. HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER). Written as a
// literal so that it stays a constant expression on every platform header.
inline constexpr HRESULT kStringCut = static_cast<HRESULT>(0x8007007Au);

// The size of most of the server's text buffers.
inline constexpr size_t kStringUnits = 260;
inline constexpr size_t kStringBytes = kStringUnits * sizeof(WCHAR);

// The largest capacity, in units, that any helper accepts.
inline constexpr size_t kLargestStringUnits = 0x7FFFFFFF;

// Counts the units before the terminator of `text`, looking at no more than
// `largest` units. S_OK and the count (0 to largest - 1) when a terminator
// was found; otherwise E_INVALIDARG and 0, so callers use it to test that a
// text is shorter than `largest` units. A null `text` gives E_INVALIDARG and
// 0; a null `length` gives E_INVALIDARG.
HRESULT WStrLength(const WCHAR* text, size_t largest, size_t* length);

// Replaces the destination's content with `src`. A source of capacity - 1
// units fits; a longer one is cut. Source and destination may overlap.
HRESULT WStrCopy(WCHAR* dest, size_t capacity, const WCHAR* src);

// As WStrCopy, but takes no more than `largestCount` units of `src` and
// never reads beyond them. Stopping at that count is not a cut; only running
// out of capacity is.
HRESULT WStrCopyPrefix(WCHAR* dest, size_t capacity, const WCHAR* src, size_t largestCount);

// Adds `src` after the destination's text. The destination must hold a
// terminator within `capacity` units, or nothing is written and the result is
// E_INVALIDARG. A destination that is already full stays as it is: S_OK for
// an empty source, kStringCut otherwise. `src` may point into the
// destination's own text.
HRESULT WStrAppend(WCHAR* dest, size_t capacity, const WCHAR* src);

// printf-style formatting into `capacity` units. The format holds literal
// text and conversions of two kinds only:
//   %s   the next argument, a UTF-16 string (const WCHAR*). A null argument
//        reads as an empty string, as a null BSTR does in COM.
//   %%   one '%'; it takes no argument.
// Any other conversion (%d, %ls, %5s, a lone '%' at the end, ...) fails the
// whole formatting before any argument is read: the destination is left
// empty, with a terminator at capacity - 1 as well, and the result is
// kStringCut.
//
// The first %s argument may point into the destination itself, most often at
// its start to extend the text it holds ("%s_%s" with the destination first);
// the result is the same as if that text had been copied aside first. Such a
// text must be terminated within the destination's capacity. Any other
// argument that overlaps the destination, or a format inside it, cannot be
// honoured without a scratch copy: E_INVALIDARG, nothing written, when the
// formatting reaches it (a text cut before it gets that far is cut, as any
// other).
HRESULT WStrFormat(WCHAR* dest, size_t capacity, const WCHAR* format, ...);

// As WStrFormat with a capacity given in bytes: capacityBytes / 2 units,
// rounded down, so 0 and 1 bytes are E_INVALIDARG and an odd count loses its
// last byte.
HRESULT WStrFormatBytes(WCHAR* dest, size_t capacityBytes, const WCHAR* format, ...);
