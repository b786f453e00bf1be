#include "console/messages.h"

#include <stierr.h>

#include "console/output.h"
#include "console/text.h"

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

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");

std::string Narrow(const wchar_t* text, size_t length)
{
  return Utf8FromUtf16(reinterpret_cast<const char16_t*>(text), length);
}

std::string Narrow(const std::wstring& text)
{
  return Narrow(text.data(), text.size());
}

std::string NarrowBstr(BSTR text)
{
  return Narrow(text, SysStringLen(text));
}

std::wstring Widen(const std::string& text)
{
  const std::u16string units = Utf16FromUtf8(text);
  return std::wstring(reinterpret_cast<const wchar_t*>(units.data()), units.size());
}

std::string Quoted(const std::string& name)
{
  return "\"" + Printable(name) + "\"";
}

std::string DescribeHresult(HRESULT hr, Source source)
{
  const std::string code = Format("0x%08lX", static_cast<unsigned long>(hr));
  if (source == Source::kScanner)
    for (const OwnWords& own : kOwnWords)
      if (own.hr == hr) return code + " (" + own.text + ")";
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string meaning = length > 0 ? Narrow(text, length) : std::string();
  LocalFree(text);
  // One sentence: no line breaks, no final full stop of the system's own
  // (in the languages the system speaks: "." or "。").
  for (char& c : meaning)
    if (c == '\n' || c == '\r') c = ' ';
  const std::string ideographicStop = "\xE3\x80\x82";
  for (bool cut = true; cut;) {
    cut = false;
    if (!meaning.empty() && (meaning.back() == ' ' || meaning.back() == '.')) {
      meaning.pop_back();
      cut = true;
    } else if (meaning.size() >= 3 &&
               meaning.compare(meaning.size() - 3, 3, ideographicStop) == 0) {
      meaning.resize(meaning.size() - 3);
      cut = true;
    }
  }
  if (meaning.empty()) meaning = SUCCEEDED(hr) ? "success" : "an unknown failure";
  return code + " (" + meaning + ")";
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

int Fail(const std::string& what, HRESULT hr, Source source)
{
  Note(what + ": " + DescribeHresult(hr, source));
  return ExitCodeOf(hr);
}

int Fail(const std::string& what, ExitCode code)
{
  Note(what);
  return code;
}

void Note(const std::string& what)
{
  Err("stiscan: " + what + ".\n");
}

}  // namespace stiscan
