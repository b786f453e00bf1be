// The program's module and its command tail.
#include "platform/posix/posix_internal.h"
#include "platform/hook_state.h"

#include <climits>
#include <unistd.h>

namespace {

// The program is the only module; its handle is the address of this object.
HINSTANCE__ programModule{};

posix_internal::Text ExecutablePath()
{
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (length <= 0) return posix_internal::Text();
  return posix_internal::Utf8ToText(buffer, size_t(length));
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR name)
{
  if (name != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return &programModule;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity)
{
  if (module != nullptr && module != &programModule) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (capacity == 0 || path == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const WCHAR* hooked = platform_hooks::state::ModulePath();
  posix_internal::Text name = hooked != nullptr ? posix_internal::Text(hooked) : ExecutablePath();
  // What does not fit is cut to capacity - 1 units and terminated; the
  // answer is then the capacity itself, with ERROR_INSUFFICIENT_BUFFER.
  if (name.size() >= capacity) {
    name.copy(path, capacity - 1);
    path[capacity - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return capacity;
  }
  name.copy(path, name.size());
  path[name.size()] = 0;
  return DWORD(name.size());
}

LPSTR RuntimeCommandTail(LPSTR commandLine)
{
  static char empty[1] = {0};
  if (commandLine == nullptr) return empty;
  auto* p = reinterpret_cast<unsigned char*>(commandLine);
  // The program name: everything above space, and anything at all inside
  // double quotes, each quote toggling.
  bool quoted = false;
  while (*p > ' ' || (*p != 0 && quoted)) {
    if (*p == '"') quoted = !quoted;
    ++p;
  }
  while (*p != 0 && *p <= ' ') ++p;
  return reinterpret_cast<LPSTR>(p);
}
