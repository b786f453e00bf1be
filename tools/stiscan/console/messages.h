// Failures as one sentence for people: what went wrong, the HRESULT in
// hexadecimal and its meaning (the system's message text where Windows has
// one, the project's own words for the scanner's and TWAIN's codes), and the
// exit code that goes with it.
#pragma once

#include <windows.h>

#include <string>

#include "console/options.h"

namespace stiscan {

// Whose code an HRESULT is, which decides its meaning: the scanner's codes
// share their values with the system's file errors (STIERR_OBJECTNOTFOUND
// is ERROR_FILE_NOT_FOUND), so a file's failure is described by the system.
enum class Source { kScanner, kSystem };

// "0x80070021 (the scanner is locked by another program)".
std::string DescribeHresult(HRESULT hr, Source source = Source::kScanner);

// The meaning of a TWAIN return code in a status word.
std::string DescribeTwainStatus(int status);

// The exit code for a failure of `hr` (access denied, server not
// registered, no device, or another failure).
ExitCode ExitCodeOf(HRESULT hr);

// Prints "stiscan: <what>: <hr described>." to standard error and returns
// the exit code.
int Fail(const std::string& what, HRESULT hr, Source source = Source::kScanner);
int Fail(const std::string& what, ExitCode code);
// Prints "stiscan: <what>." to standard error.
void Note(const std::string& what);

// A name for a sentence: quoted, and nothing in it that breaks the line.
std::string Quoted(const std::string& name);

// stiscan's UTF-8 (text.h) from UTF-16 and back, for the interface and the
// file API.
std::string Narrow(const wchar_t* text, size_t length);
std::string Narrow(const std::wstring& text);
// The whole BSTR, NULs included (a plain wchar_t* would be read as one).
std::string NarrowBstr(BSTR text);
std::wstring Widen(const std::string& text);

}  // namespace stiscan
