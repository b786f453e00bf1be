// The Windows side of stiscan --version: the server's program as COM would
// start it, and its version resource read by the platform's own reader.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "commands/commands.h"
#include "console/messages.h"
#include "console/options.h"
#include "console/output.h"
#include "server/registry.h"
#include "server/version.h"
#include "stibridge.h"

namespace stiscan {

namespace {

std::string LastError()
{
  const DWORD error = GetLastError();
  return DescribeHresult(error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error));
}

// "X.Y.Z" of the file's fixed version information, ".R" added when its
// fourth field is set.
bool FileVersion(const std::wstring& file, std::string& version, std::string& problem)
{
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &unused);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, block.data())) {
    problem = LastError();
    return false;
  }
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof *info || info->dwSignature != VS_FFI_SIGNATURE) {
    problem = "the version resource has no fixed file information";
    return false;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS));
  version = text;
  if (LOWORD(info->dwFileVersionLS) != 0)
    version += "." + std::to_string(LOWORD(info->dwFileVersionLS));
  return true;
}

}  // namespace

int ShowVersions()
{
  InstalledServer server;
  std::wstring value, program;
  if (RegisteredServer(value)) program = ServerProgramOf(value);
  if (!program.empty()) {
    server.program = Narrow(program.c_str());
    server.state = FileVersion(program, server.version, server.problem)
                       ? InstalledServer::State::kRead
                       : InstalledServer::State::kUnreadable;
  }
  Out(VersionLines(STIBRIDGE_VERSION, server));
  switch (server.state) {
    case InstalledServer::State::kRead:
      return kExitSuccess;
    case InstalledServer::State::kNotRegistered:
      return kExitNotRegistered;
    case InstalledServer::State::kUnreadable:
      break;
  }
  return kExitFailure;
}

}  // namespace stiscan
