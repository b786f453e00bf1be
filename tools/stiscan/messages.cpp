#include "messages.h"

#include <cstdio>
#include <stierr.h>

namespace stiscan {

namespace {

struct OwnWords {
  HRESULT hr;
  const char* text;
};

// Codes that mean something particular between the server and the scanner.
const OwnWords kOwnWords[] = {
    {STIERR_DEVICE_LOCKED, "the scanner is locked by another program"},
    {STIERR_NEEDS_LOCK, "the scanner's driver answers only the holder of its lock"},
    {STIERR_NOT_INITIALIZED, "the scanner is not ready"},
    {STIERR_INVALID_DEVICE_NAME, "no scanner of that name is installed"},
    {STIERR_OBJECTNOTFOUND, "the scanner has no such job or page"},
    {REGDB_E_CLASSNOTREG, "the scanner server is not registered"},
    {E_NOINTERFACE, "the scanner server's proxy is not registered in this bitness"},
    {CO_E_SERVER_EXEC_FAILURE, "the scanner server could not be started"},
    {static_cast<HRESULT>(0x8007007A), "a name or path was too long and was cut"},
    {HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), "the page is too large to count in 32 bits"},
};

}  // namespace

std::string Narrow(const wchar_t* text, size_t length)
{
  if (text == nullptr || length == 0) return {};
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), bytes, nullptr,
                      nullptr);
  return out;
}

std::string Narrow(const wchar_t* text)
{
  return text == nullptr ? std::string() : Narrow(text, wcslen(text));
}

std::wstring Widen(const std::string& text)
{
  if (text.empty()) return {};
  const int units =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
  return out;
}

std::string DescribeHresult(HRESULT hr)
{
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  for (const OwnWords& own : kOwnWords)
    if (own.hr == hr) return std::string(code) + " (" + own.text + ")";
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string meaning = length > 0 ? Narrow(text, length) : std::string();
  LocalFree(text);
  // One sentence: no line breaks, no final full stop of the system's own.
  while (!meaning.empty() && (meaning.back() == '\n' || meaning.back() == '\r' ||
                              meaning.back() == ' ' || meaning.back() == '.')) {
    meaning.pop_back();
  }
  if (meaning.empty()) meaning = SUCCEEDED(hr) ? "success" : "an unknown failure";
  return std::string(code) + " (" + meaning + ")";
}

std::string DescribeTwainStatus(int status)
{
  switch (status) {
    case 0:
      return "TWRC_SUCCESS, more data follows";
    case 1:
      return "TWRC_FAILURE, the scanner did not deliver";
    case 6:
      return "TWRC_XFERDONE, the transfer is complete";
  }
  return "TWAIN return code " + std::to_string(status);
}

ExitCode ExitCodeOf(HRESULT hr)
{
  if (hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
    return kExitAccessDenied;
  if (hr == REGDB_E_CLASSNOTREG || hr == E_NOINTERFACE || hr == CO_E_SERVER_EXEC_FAILURE)
    return kExitNotRegistered;
  if (hr == STIERR_INVALID_DEVICE_NAME) return kExitNoDevice;
  return kExitFailure;
}

int Fail(const std::string& what, HRESULT hr)
{
  std::fprintf(stderr, "stiscan: %s: %s.\n", what.c_str(), DescribeHresult(hr).c_str());
  return ExitCodeOf(hr);
}

int Fail(const std::string& what, ExitCode code)
{
  std::fprintf(stderr, "stiscan: %s.\n", what.c_str());
  return code;
}

}  // namespace stiscan
