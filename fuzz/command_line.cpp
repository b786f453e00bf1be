// The server's switch scan against a plain model of its rules: the tail is
// split in place at '-' and '/' only, with runs of them skipped and
// whitespace kept inside tokens; a token matches a switch only as a whole,
// without regard to ASCII letter case; "Embedding" ends the scan; the
// registration switches act in the order they appear.
//
// Input: the command tail, up to its first NUL byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

#include "fuzz/fuzz_check.h"
#include "platform/hooks.h"
#include "server/command_line.h"
#include "server/entry.h"
#include "server/registration.h"

namespace {

const WCHAR kClassKey[] = W("CLSID\\{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}");
const WCHAR kLocalServerKey[] = W("CLSID\\{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}\\LocalServer32");
const WCHAR kProgId[] = W("zemka.twain.CStiScannerComBridge");
const WCHAR kVersionedProgId[] = W("zemka.twain.CStiScannerComBridge.1");

// Tails with more registration switches than this are only split and
// classified.
constexpr size_t kMostActions = 8;

const char* SwitchName(ServerSwitch value)
{
  switch (value) {
    case ServerSwitch::Unregister:
      return "Unregister";
    case ServerSwitch::Register:
      return "Register";
    case ServerSwitch::Embedding:
      return "Embedding";
    case ServerSwitch::Other:
      return "Other";
  }
  return "?";
}

struct ModelToken {
  size_t offset;
  size_t length;
};

bool IsDelimiter(char c)
{
  return c == '-' || c == '/';
}

std::vector<ModelToken> ModelTokens(const std::string& tail)
{
  std::vector<ModelToken> tokens;
  size_t at = 0;
  while (at < tail.size()) {
    if (IsDelimiter(tail[at])) {
      ++at;
      continue;
    }
    const size_t start = at;
    while (at < tail.size() && !IsDelimiter(tail[at])) ++at;
    tokens.push_back({start, at - start});
  }
  return tokens;
}

char Lower(char c)
{
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(const std::string& token, const char* name)
{
  if (token.size() != std::strlen(name)) return false;
  for (size_t i = 0; i < token.size(); ++i)
    if (Lower(token[i]) != Lower(name[i])) return false;
  return true;
}

ServerSwitch ModelClassify(const std::string& token)
{
  if (SameIgnoringCase(token, "UnregServer")) return ServerSwitch::Unregister;
  if (SameIgnoringCase(token, "RegServer")) return ServerSwitch::Register;
  if (SameIgnoringCase(token, "Embedding")) return ServerSwitch::Embedding;
  return ServerSwitch::Other;
}

// Swaps the case of every ASCII letter: a whole-token case-insensitive
// match must not notice.
std::string SwapCase(const std::string& text)
{
  std::string swapped = text;
  for (char& c : swapped) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    else if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return swapped;
}

// The tail in a heap block of exactly its size, so that the sanitizer sees
// any read past its terminator.
std::unique_ptr<char[]> HeapCopy(const std::string& text)
{
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

bool KeyExists(const WCHAR* path)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void RemoveAllRegistration()
{
  DeleteKeyTree(HKEY_CLASSES_ROOT, kClassKey);
  DeleteKeyTree(HKEY_CLASSES_ROOT, kProgId);
  DeleteKeyTree(HKEY_CLASSES_ROOT, kVersionedProgId);
}

void CheckTokeniser(const std::string& tail, const std::vector<ModelToken>& expected)
{
  std::unique_ptr<char[]> buffer = HeapCopy(tail);
  char* cursor = buffer.get();
  for (size_t i = 0; i < expected.size(); ++i) {
    char* token = NextSwitchToken(&cursor);
    FUZZ_CHECK(token == buffer.get() + expected[i].offset,
               "token %zu should start at offset %zu, got %td", i, expected[i].offset,
               token == nullptr ? -1 : token - buffer.get());
    FUZZ_CHECK(std::strlen(token) == expected[i].length, "token %zu should have %zu chars, has %zu",
               i, expected[i].length, std::strlen(token));
    FUZZ_CHECK(std::memcmp(token, tail.data() + expected[i].offset, expected[i].length) == 0,
               "token %zu does not hold the tail's characters", i);
  }
  for (int again = 0; again < 2; ++again) {
    FUZZ_CHECK(NextSwitchToken(&cursor) == nullptr, "a token after the %zu the tail holds",
               expected.size());
    FUZZ_CHECK(cursor >= buffer.get() && cursor <= buffer.get() + tail.size(),
               "the cursor left the tail after its last token");
  }

  // Splitting in place writes exactly one terminator: over the delimiter
  // that ends each token, unless the tail ended it.
  std::string split = tail;
  for (const ModelToken& t : expected)
    if (t.offset + t.length < split.size()) split[t.offset + t.length] = 0;
  FUZZ_CHECK(std::memcmp(buffer.get(), split.data(), split.size()) == 0 && buffer[tail.size()] == 0,
             "the split changed more than the delimiter after each token");

  char* empty = nullptr;
  FUZZ_CHECK(NextSwitchToken(&empty) == nullptr, "a null cursor gave a token");
}

void CheckClassification(const std::string& tail, const std::vector<ModelToken>& tokens)
{
  for (const ModelToken& t : tokens) {
    const std::string token = tail.substr(t.offset, t.length);
    const ServerSwitch expected = ModelClassify(token);
    const ServerSwitch got = ClassifySwitch(token.c_str());
    FUZZ_CHECK(got == expected, "token [%s] classified %s, expected %s", token.c_str(),
               SwitchName(got), SwitchName(expected));
    const std::string swapped = SwapCase(token);
    FUZZ_CHECK(ClassifySwitch(swapped.c_str()) == got, "token [%s] and [%s] classified apart",
               token.c_str(), swapped.c_str());
  }
}

// The entry's walk: the registration switches before the first "Embedding"
// act in order, so the last of them decides whether the class is
// registered afterwards, and any of them ends the process early.
void CheckSwitchActions(const std::string& tail, const std::vector<ModelToken>& tokens)
{
  bool registered = false;
  size_t actions = 0;
  for (const ModelToken& t : tokens) {
    const ServerSwitch kind = ModelClassify(tail.substr(t.offset, t.length));
    if (kind == ServerSwitch::Embedding) break;
    if (kind == ServerSwitch::Register) registered = true;
    if (kind == ServerSwitch::Unregister) registered = false;
    if (kind == ServerSwitch::Register || kind == ServerSwitch::Unregister) ++actions;
  }
  const bool earlyExit = actions != 0;
  // Each action is a few registry calls; a tail of hundreds of them says
  // nothing more about their order than one of a few, and would make each
  // run tens of times slower.
  if (actions > kMostActions) return;

  RemoveAllRegistration();
  std::unique_ptr<char[]> buffer = HeapCopy(tail);
  const bool gotEarlyExit = ActOnSwitches(buffer.get());
  FUZZ_CHECK(gotEarlyExit == earlyExit, "the switches %s end the process early",
             earlyExit ? "should" : "should not");
  FUZZ_CHECK(KeyExists(kLocalServerKey) == registered, "the class %s registered afterwards",
             registered ? "should be" : "should not be");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  // Registration writes the module path; a fixed one keeps every run alike.
  platform_hooks::SetModulePath(W("C:\\Program Files\\stibridge\\stibridge.exe"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string tail(bytes, strnlen(bytes, size));
  const std::vector<ModelToken> tokens = ModelTokens(tail);
  CheckTokeniser(tail, tokens);
  CheckClassification(tail, tokens);
  CheckSwitchActions(tail, tokens);
  return 0;
}
