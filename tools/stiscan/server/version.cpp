#include "server/version.h"

namespace stiscan {

namespace {

bool IsExeEnd(const std::wstring& text, size_t at)
{
  if (at + 4 > text.size()) return false;
  const wchar_t* want = L".exe";
  for (size_t i = 0; i < 4; ++i) {
    wchar_t c = text[at + i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != want[i]) return false;
  }
  return at + 4 == text.size() || text[at + 4] == L' ' || text[at + 4] == L'\t';
}

}  // namespace

std::wstring ServerProgramOf(const std::wstring& value)
{
  size_t start = value.find_first_not_of(L" \t");
  if (start == std::wstring::npos) return {};
  if (value[start] == L'"') {
    const size_t end = value.find(L'"', start + 1);
    return end == std::wstring::npos ? std::wstring() : value.substr(start + 1, end - start - 1);
  }
  for (size_t at = start; at < value.size(); ++at)
    if (IsExeEnd(value, at)) return value.substr(start, at + 4 - start);
  const size_t end = value.find_last_not_of(L" \t");
  return value.substr(start, end + 1 - start);
}

std::string VersionLines(const std::string& own, const InstalledServer& server)
{
  std::string lines = "stiscan " + own + "\n";
  switch (server.state) {
    case InstalledServer::State::kNotRegistered:
      return lines + "server not registered (no LocalServer32 for its class)\n";
    case InstalledServer::State::kUnreadable:
      return lines + "server version unknown: " + server.program + ": " + server.problem + "\n";
    case InstalledServer::State::kRead:
      break;
  }
  lines += "server " + server.version + " (" + server.program + ")\n";
  if (server.version != own)
    lines += "the installed server (" + server.version + ") is not the version of stiscan (" + own +
             ")\n";
  return lines;
}

}  // namespace stiscan
