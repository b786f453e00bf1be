#include "platform/win32.h"
#include "platform/hook_state.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Text = std::basic_string<WCHAR>;

struct HookState {
  std::mutex lock;
  std::vector<Text> deniedKeys;
  bool modulePathSet = false;
  Text modulePath;
  bool tokenGroupsSet = false;
  std::vector<Text> tokenGroups;
  bool clientSet = false;
  HRESULT clientAnswer = S_OK;
  Text clientUser;
  std::vector<Text> clientGroups;
};

thread_local bool impersonating = false;

std::atomic<int> failingAllocations{0};
std::atomic<bool> hostAsWindows{false};

HookState& State()
{
  static HookState state;
  return state;
}

WCHAR Fold(WCHAR c)
{
  return (c >= W('a') && c <= W('z')) ? WCHAR(c - 32) : c;
}

bool EqualFolded(const WCHAR* a, size_t length, const Text& b)
{
  if (length != b.size()) return false;
  for (size_t i = 0; i < length; ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

size_t Length(const WCHAR* text)
{
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// The SIDs of a ';'-separated list.
std::vector<Text> SidList(const WCHAR* sids)
{
  std::vector<Text> list;
  Text current;
  for (const WCHAR* p = sids; p != nullptr; ++p) {
    if (*p == W(';') || *p == 0) {
      if (!current.empty()) list.push_back(current);
      current.clear();
      if (*p == 0) break;
    } else {
      current.push_back(*p);
    }
  }
  return list;
}

bool Listed(const std::vector<Text>& list, const WCHAR* sidText)
{
  if (sidText == nullptr) return false;
  size_t length = Length(sidText);
  for (const Text& sid : list)
    if (EqualFolded(sidText, length, sid)) return true;
  return false;
}

}  // namespace

namespace platform_hooks {

void FailAllocations(int count)
{
  failingAllocations = count < 0 ? 0 : count;
}

void DenyRegistryKey(const WCHAR* keyName)
{
  std::lock_guard<std::mutex> guard(State().lock);
  if (keyName == nullptr) {
    State().deniedKeys.clear();
  } else if (State().deniedKeys.size() < 8) {
    State().deniedKeys.emplace_back(keyName);
  }
}

void SetModulePath(const WCHAR* path)
{
  std::lock_guard<std::mutex> guard(State().lock);
  State().modulePathSet = path != nullptr;
  State().modulePath = path != nullptr ? Text(path) : Text();
}

void SetTokenGroups(const WCHAR* sids)
{
  std::lock_guard<std::mutex> guard(State().lock);
  State().tokenGroupsSet = sids != nullptr;
  State().tokenGroups = SidList(sids);
}

void SetClientImpersonation(HRESULT answer, const WCHAR* userSid, const WCHAR* groupSids)
{
  std::lock_guard<std::mutex> guard(State().lock);
  State().clientSet = userSid != nullptr;
  State().clientAnswer = answer;
  State().clientUser = userSid != nullptr ? Text(userSid) : Text();
  State().clientGroups = SidList(groupSids);
  if (userSid == nullptr) impersonating = false;
}

bool ImpersonatingClient()
{
  return impersonating;
}

void TreatHostAsWindows(bool windows)
{
  hostAsWindows = windows;
}

void Reset()
{
  TreatHostAsWindows(false);
  FailAllocations(0);
  DenyRegistryKey(nullptr);
  SetModulePath(nullptr);
  SetTokenGroups(nullptr);
  SetClientImpersonation(S_OK, nullptr, nullptr);
}

namespace state {

bool TakeAllocationFailure()
{
  int current = failingAllocations.load();
  while (current > 0) {
    if (failingAllocations.compare_exchange_weak(current, current - 1)) return true;
  }
  return false;
}

bool IsRegistryKeyDenied(const WCHAR* subKey)
{
  if (subKey == nullptr) return false;
  std::lock_guard<std::mutex> guard(State().lock);
  size_t length = Length(subKey);
  for (const Text& denied : State().deniedKeys) {
    if (denied.size() > length) continue;
    size_t start = length - denied.size();
    // Whole path components only: the match starts the path or follows a '\'.
    if (start > 0 && subKey[start - 1] != W('\\')) continue;
    if (EqualFolded(subKey + start, denied.size(), denied)) return true;
  }
  return false;
}

const WCHAR* ModulePath()
{
  std::lock_guard<std::mutex> guard(State().lock);
  return State().modulePathSet ? State().modulePath.c_str() : nullptr;
}

bool TokenGroupsSet()
{
  std::lock_guard<std::mutex> guard(State().lock);
  return State().tokenGroupsSet;
}

bool TokenHasGroup(const WCHAR* sidText)
{
  std::lock_guard<std::mutex> guard(State().lock);
  return Listed(State().tokenGroups, sidText);
}

bool ClientImpersonationSet()
{
  std::lock_guard<std::mutex> guard(State().lock);
  return State().clientSet;
}

HRESULT ClientImpersonationAnswer()
{
  std::lock_guard<std::mutex> guard(State().lock);
  return State().clientAnswer;
}

bool HostTreatedAsWindows()
{
  return hostAsWindows;
}

void SetThreadImpersonating(bool value)
{
  impersonating = value;
}

bool ThreadImpersonating()
{
  return impersonating && ClientImpersonationSet();
}

const WCHAR* ClientUser()
{
  std::lock_guard<std::mutex> guard(State().lock);
  return State().clientUser.c_str();
}

bool ClientHasGroup(const WCHAR* sidText)
{
  std::lock_guard<std::mutex> guard(State().lock);
  return Listed(State().clientGroups, sidText);
}

}  // namespace state
}  // namespace platform_hooks
