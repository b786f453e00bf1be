// The names of the page files a pull writes: the job's name kept as far as a
// file name can hold it, on Windows and on the file systems behind a share.
#pragma once

#include <string>

namespace stiscan {

// What one file name may hold: 255 UTF-16 units on Windows' file systems,
// 255 bytes of UTF-8 on Linux's, which serve many a share and hold Wine's
// files (Wine cuts a longer name silently, extension and all).
constexpr size_t kMostNameUnits = 255;
constexpr size_t kMostNameBytes = 255;

// The file name of page `page` of the job named `itemName`:
// "<stem>-p<page><extension>", or "<stem> (<copy>)-p<page><extension>" for
// a copy above 1 (a name already taken); page 0 names the job's document,
// which holds all its pages: "<stem><extension>", "<stem> (<copy>)<extension>". The stem is the
// job's name without its extension (a last dot and one to five letters or digits after it); the
// characters no Windows file name may hold (<>:"/\|?* and U+0000 to U+001F) and unpaired surrogates
// become "_", an empty stem "job", a name (page file or document) whose part before its first dot
// (blanks after it aside, the copy number left out) is a reserved device name (CON, PRN, AUX, NUL,
// COM0 to COM9, LPT0 to LPT9, CONIN$, CONOUT$, in any case) gets a "_" in front, and the stem is
// cut at a whole character until the name holds at most kMostNameUnits units and kMostNameBytes
// bytes of UTF-8. The name ends in its extension, so never in a dot or a blank. Every file of a job
// takes the same copy number (files/folder.h).
std::u16string PageFileName(const std::u16string& itemName, int page,
                            const std::u16string& extension, int copy);

}  // namespace stiscan
