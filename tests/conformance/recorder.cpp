#include "recorder.h"

#include <cinttypes>
#include <cstring>
#include <vector>

namespace conformance {

namespace {

// Keeps a value on its line: tabs, line ends and other control bytes are
// written as escapes.
std::string OneLine(const std::string& value)
{
  std::string out;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", c);
      out += code;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// The journal line without its elapsed time, which depends on the machine.
std::string WithoutElapsed(std::string line)
{
  const std::string key = " elapsed=";
  size_t at = line.find(key);
  if (at == std::string::npos) return line;
  size_t end = at + key.size();
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  return line.erase(at, end - at);
}

}  // namespace

Recorder::Recorder(std::FILE* out, std::string journalPath)
    : out_(out), journalPath_(std::move(journalPath))
{
}

std::string Recorder::HrText(HRESULT hr)
{
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string Recorder::Escaped(const WCHAR* text, size_t length)
{
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const unsigned unit = static_cast<unsigned>(text[i]);
    if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
      out.push_back(static_cast<char>(unit));
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04X", unit);
      out += code;
    }
  }
  return out;
}

void Recorder::BeginRow(int number, const std::string& label, const std::string& method,
                        const std::string& call, const std::string& mayDiffer,
                        const std::string& why)
{
  char numberText[16];
  std::snprintf(numberText, sizeof numberText, "%03d", number);
  prefix_ = std::string(numberText) + "\t" + label + "\t";
  Field("method", method);
  Field("call", call);
  if (!mayDiffer.empty()) Field("note", mayDiffer + ": " + why);
}

void Recorder::EndRow()
{
  Journal();
  std::fflush(out_);
}

void Recorder::Finish(int rows)
{
  std::fprintf(out_, "end\t%d rows\n", rows);
  std::fflush(out_);
}

void Recorder::Field(const std::string& name, const std::string& value)
{
  std::fprintf(out_, "%s%s\t%s\n", prefix_.c_str(), name.c_str(), OneLine(value).c_str());
}

void Recorder::Bstr(const std::string& name, BSTR text)
{
  if (text == nullptr) {
    Field(name, "null");
    return;
  }
  const UINT length = SysStringLen(text);
  Field(name, "len=" + std::to_string(length) + " \"" + Escaped(text, length) + "\"");
}

void Recorder::Wide(const std::string& name, const WCHAR* text, size_t capacity)
{
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  const std::string body = "\"" + Escaped(text, length) + "\"";
  Field(name,
        length == capacity ? "unterminated " + body : "len=" + std::to_string(length) + " " + body);
}

void Recorder::Bytes(const std::string& name, const void* data, size_t size)
{
  std::string hex;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    hex += pair;
  }
  Field(name, hex);
}

void Recorder::Digest(const std::string& name, const void* data, size_t size)
{
  const auto* bytes = static_cast<const unsigned char*>(data);
  // FNV-1a, 64 bits: enough to tell two buffers apart.
  uint64_t hash = 0xCBF29CE484222325ull;
  size_t nonZero = 0;
  size_t lastNonZero = 0;
  for (size_t i = 0; i < size; ++i) {
    hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    if (bytes[i] != 0) {
      ++nonZero;
      lastNonZero = i + 1;
    }
  }
  char text[96];
  std::snprintf(text, sizeof text, "bytes=%zu nonzero=%zu end=%zu fnv=%016" PRIX64 " head=", size,
                nonZero, lastNonZero, hash);
  std::string head;
  for (size_t i = 0; i < size && i < 16; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    head += pair;
  }
  Field(name, text + head);
}

void Recorder::Journal()
{
  // The simulator makes the file when the server first uses STI.
  std::vector<char> text;
  if (std::FILE* file = std::fopen(journalPath_.c_str(), "rb")) {
    if (std::fseek(file, journalOffset_, SEEK_SET) == 0) {
      char chunk[4096];
      size_t n;
      while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.insert(text.end(), chunk, chunk + n);
    }
    std::fclose(file);
  }

  // Only whole lines: the writer may be between two of them.
  int index = 0;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    std::string line(text.data() + start, i - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Field("journal." + std::to_string(++index), WithoutElapsed(line));
    start = i + 1;
  }
  journalOffset_ += static_cast<long>(start);
  Field("journal.lines", std::to_string(index));
}

}  // namespace conformance
