#include "console/output.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "console/text.h"

namespace stiscan {

namespace {

bool IsConsole(HANDLE handle)
{
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void Write(DWORD which, const std::string& text)
{
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  if (IsConsole(handle)) {
    const std::u16string units = Utf16FromUtf8(text);
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");
    const wchar_t* next = reinterpret_cast<const wchar_t*>(units.data());
    for (size_t left = units.size(); left > 0;) {
      DWORD written = 0;
      const DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
      if (!WriteConsoleW(handle, next, chunk, &written, nullptr) || written == 0) return;
      next += written;
      left -= written;
    }
    return;
  }
  const std::string bytes = StrictUtf8(text);
  const char* next = bytes.data();
  for (size_t left = bytes.size(); left > 0;) {
    DWORD written = 0;
    if (!WriteFile(handle, next, static_cast<DWORD>(left), &written, nullptr) || written == 0)
      return;
    next += written;
    left -= written;
  }
}

HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleSignal(DWORD signal)
{
  if (signal != CTRL_C_EVENT && signal != CTRL_BREAK_EVENT && signal != CTRL_CLOSE_EVENT)
    return FALSE;
  SetEvent(stopEvent);
  // The console's closing ends the process as soon as this returns (or
  // once the system's few seconds of grace are over): it does not return,
  // so that the command stops where it would at Ctrl+C and the process ends
  // as the command returns.
  if (signal == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void* StopEvent()
{
  if (stopEvent == nullptr) {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent != nullptr) SetConsoleCtrlHandler(OnConsoleSignal, TRUE);
  }
  return stopEvent;
}

void Out(const std::string& text)
{
  Write(STD_OUTPUT_HANDLE, text);
}

void Err(const std::string& text)
{
  Write(STD_ERROR_HANDLE, text);
}

bool OutIsConsole()
{
  return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}

std::string Format(const char* format, ...)
{
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace stiscan
