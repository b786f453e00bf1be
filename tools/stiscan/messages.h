// Failures as one sentence for people: what went wrong, the HRESULT in
// hexadecimal and its meaning (the system's message text where Windows has
// one, the project's own words for the scanner's and TWAIN's codes), and the
// exit code that goes with it.
#pragma once

#include <windows.h>

#include <string>

#include "options.h"

namespace stiscan {

// "0x80070021 (the scanner is locked by another program)".
std::string DescribeHresult(HRESULT hr);

// The meaning of a TWAIN return code in a status word.
std::string DescribeTwainStatus(int status);

// The exit code for a failure of `hr` (access denied, server not
// registered, no device, or another failure).
ExitCode ExitCodeOf(HRESULT hr);

// Prints "stiscan: <what>: <hr described>." to standard error and returns
// the exit code.
int Fail(const std::string& what, HRESULT hr);
int Fail(const std::string& what, ExitCode code);

// Narrow text for the console and wide text for the interface.
std::string Narrow(const wchar_t* text, size_t length);
std::string Narrow(const wchar_t* text);
std::wstring Widen(const std::string& text);

}  // namespace stiscan
