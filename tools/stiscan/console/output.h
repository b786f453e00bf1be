// Where stiscan's text goes. A console gets it as UTF-16 (WriteConsoleW), so
// that every name shows whatever the console's code page; a file or a pipe
// gets well-formed UTF-8. All output goes through here, none through the C
// library's streams.
#pragma once

#include <string>

namespace stiscan {

// Standard output and standard error; `text` is stiscan's UTF-8 (text.h).
void Out(const std::string& text);
void Err(const std::string& text);

// Whether standard output is a console (a person watching, not a script).
bool OutIsConsole();

// An event (a HANDLE) that the first call makes and that Ctrl+C, Ctrl+Break
// or the console's closing then set, instead of ending the process: the
// commands that write files end at a point where no file is half written.
void* StopEvent();

// printf's formatting into a string.
std::string Format(const char* format, ...);

}  // namespace stiscan
