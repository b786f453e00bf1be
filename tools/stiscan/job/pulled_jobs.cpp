#include "job/pulled_jobs.h"

#include <vector>

namespace stiscan {

namespace {

const char kHeading[] =
    "# stiscan watch --pull: the jobs pulled into this folder (time, tab, item name);\n"
    "# remove a line to have that job pulled again.\n";

int HexValue(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PulledJobs::Key(const std::string& itemName, const std::string& time)
{
  std::string key = time + "\t";
  for (char c : itemName) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '%') {
      const char digits[] = "0123456789ABCDEF";
      key += '%';
      key += digits[byte >> 4];
      key += digits[byte & 15];
    } else {
      key += c;
    }
  }
  return key;
}

std::string PulledJobs::Text() const
{
  std::string text = kHeading;
  for (const std::string& key : keys_) text += key + "\n";
  return text;
}

bool PulledJobs::Read(const std::string& text)
{
  std::vector<std::string> read;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return false;
    for (size_t i = tab + 1; i < line.size(); ++i) {
      if (static_cast<unsigned char>(line[i]) < 0x20) return false;
      if (line[i] == '%' && (i + 2 >= line.size() || HexValue(line[i + 1]) < 0 ||
                             HexValue(line[i + 2]) < 0))
        return false;
    }
    read.push_back(line);
  }
  keys_.insert(read.begin(), read.end());
  return true;
}

}  // namespace stiscan
