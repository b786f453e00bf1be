// The registry of the portable subset: an in-memory tree behind one mutex.
//
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes and
// HKEY_CURRENT_USER is HKEY_USERS\<the process user's SID>, the places that
// writes through those roots reach on Windows when there are no per-user
// class overrides. Key and value names are compared without regard to case;
// subkeys are kept in case-insensitive order, the order in which the hives
// enumerate them. Handle values are small numbers from a table, so a stale
// or invented handle is ERROR_INVALID_HANDLE rather than a dereference; a
// handle keeps its key alive after a deletion and then answers
// ERROR_KEY_DELETED.
#include "platform/posix/posix_internal.h"
#include "platform/hook_state.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

using posix_internal::EqualNoCase;
using posix_internal::FoldCase;
using posix_internal::Text;

constexpr size_t kMaxKeyNameUnits = 255;

struct Value {
  Text name;
  DWORD type;
  std::vector<BYTE> data;
};

struct Key {
  Text name;
  Key* parent = nullptr;
  std::vector<std::shared_ptr<Key>> children;
  std::vector<Value> values;
  bool deleted = false;
  bool predefined = false;
  FILETIME lastWrite{};
};

struct OpenKey {
  std::shared_ptr<Key> key;
  REGSAM access;
};

FILETIME Now()
{
  // 100-ns intervals since 1601-01-01.
  constexpr uint64_t kEpochDifference = 116444736000000000ull;
  auto now = std::chrono::system_clock::now().time_since_epoch();
  uint64_t ticks =
      uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100) +
      kEpochDifference;
  return FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
}

bool LessNoCase(const Text& a, const Text& b)
{
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = FoldCase(a[i]), y = FoldCase(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

std::shared_ptr<Key> FindChild(Key& key, const Text& name)
{
  for (auto& child : key.children)
    if (EqualNoCase(child->name, name)) return child;
  return nullptr;
}

std::shared_ptr<Key> AddChild(Key& key, const Text& name)
{
  auto child = std::make_shared<Key>();
  child->name = name;
  child->parent = &key;
  child->lastWrite = Now();
  auto at = std::lower_bound(
      key.children.begin(), key.children.end(), name,
      [](const std::shared_ptr<Key>& k, const Text& n) { return LessNoCase(k->name, n); });
  key.children.insert(at, child);
  key.lastWrite = child->lastWrite;
  return child;
}

Value* FindValue(Key& key, LPCWSTR name)
{
  Text wanted = name != nullptr ? Text(name) : Text();
  for (Value& value : key.values)
    if (EqualNoCase(value.name, wanted)) return &value;
  return nullptr;
}

class Registry {
 public:
  std::mutex lock;

  Registry()
  {
    machine_ = MakeRoot(u"HKEY_LOCAL_MACHINE");
    users_ = MakeRoot(u"HKEY_USERS");
    classes_ = Predefined(AddChild(*AddChild(*machine_, u"Software"), u"Classes"));
    currentUser_ = Predefined(AddChild(*users_, posix_internal::kUserSidText));
  }

  // The key and access of `handle`, or the status to answer.
  LSTATUS Resolve(HKEY handle, OpenKey* out)
  {
    if (handle == HKEY_CLASSES_ROOT) {
      *out = OpenKey{classes_, KEY_ALL_ACCESS};
    } else if (handle == HKEY_CURRENT_USER) {
      *out = OpenKey{currentUser_, KEY_ALL_ACCESS};
    } else if (handle == HKEY_LOCAL_MACHINE) {
      *out = OpenKey{machine_, KEY_ALL_ACCESS};
    } else if (handle == HKEY_USERS) {
      *out = OpenKey{users_, KEY_ALL_ACCESS};
    } else {
      auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
      if (found == handles_.end()) return ERROR_INVALID_HANDLE;
      *out = found->second;
    }
    return out->key->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
  }

  HKEY Issue(const std::shared_ptr<Key>& key, REGSAM access)
  {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = OpenKey{key, access};
    return reinterpret_cast<HKEY>(value);
  }

  bool Close(HKEY handle) { return handles_.erase(reinterpret_cast<uintptr_t>(handle)) != 0; }

  static bool IsPredefined(HKEY handle)
  {
    return handle == HKEY_CLASSES_ROOT || handle == HKEY_CURRENT_USER ||
           handle == HKEY_LOCAL_MACHINE || handle == HKEY_USERS;
  }

 private:
  static std::shared_ptr<Key> MakeRoot(const WCHAR* name)
  {
    auto key = std::make_shared<Key>();
    key->name = name;
    key->predefined = true;
    return key;
  }

  static std::shared_ptr<Key> Predefined(std::shared_ptr<Key> key)
  {
    key->predefined = true;
    return key;
  }

  std::shared_ptr<Key> machine_, users_, classes_, currentUser_;
  std::unordered_map<uintptr_t, OpenKey> handles_;
  uintptr_t nextHandle_ = 0x100;
};

Registry& TheRegistry()
{
  static Registry* registry = new Registry;
  return *registry;
}

// Splits a backslash-separated path into its key names. A trailing
// backslash is allowed; a leading one or an empty name inside the path is
// not.
LSTATUS SplitPath(LPCWSTR path, std::vector<Text>* names)
{
  names->clear();
  if (path == nullptr || path[0] == 0) return ERROR_SUCCESS;
  if (path[0] == u'\\') return ERROR_BAD_PATHNAME;
  Text current;
  for (const WCHAR* p = path;; ++p) {
    if (*p == u'\\' || *p == 0) {
      if (current.empty()) {
        if (*p == 0) break;
        return ERROR_BAD_PATHNAME;
      }
      if (current.size() > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
      names->push_back(current);
      current.clear();
      if (*p == 0) break;
    } else {
      current.push_back(*p);
    }
  }
  return ERROR_SUCCESS;
}

// Runs `action(registry, key)` under the registry lock once `handle` resolves
// to a live key and was opened with every right in `needed`.
template <typename Action>
LSTATUS WithKey(HKEY handle, REGSAM needed, Action&& action)
{
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  OpenKey open;
  LSTATUS status = registry.Resolve(handle, &open);
  if (status != ERROR_SUCCESS) return status;
  if ((open.access & needed) != needed) return ERROR_ACCESS_DENIED;
  return action(registry, open.key);
}

// Runs `action(registry, key, created)` under the registry lock on the key
// that `subKey` names below `parent`; an empty path names `parent` itself.
// With `create`, missing keys on the way are added and `created` says whether
// the last one was new; without it, a missing key is ERROR_FILE_NOT_FOUND.
// The rights `parent` was opened with do not limit what is reached below it.
template <typename Action>
LSTATUS WithKeyAt(HKEY parent, LPCWSTR subKey, bool create, Action&& action)
{
  std::vector<Text> names;
  LSTATUS status = SplitPath(subKey, &names);
  if (status != ERROR_SUCCESS) return status;
  return WithKey(parent, 0, [&](Registry& registry, std::shared_ptr<Key> key) -> LSTATUS {
    bool created = false;
    for (const Text& name : names) {
      std::shared_ptr<Key> child = FindChild(*key, name);
      created = child == nullptr;
      if (created) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        child = AddChild(*key, name);
      }
      key = child;
    }
    return action(registry, key, created);
  });
}

}  // namespace

LSTATUS RegCreateKeyExW(HKEY parent, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
  if (platform_hooks::state::IsRegistryKeyDenied(subKey)) return ERROR_ACCESS_DENIED;
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  return WithKeyAt(parent, subKey, true,
                   [&](Registry& registry, const std::shared_ptr<Key>& key, bool created) {
                     *result = registry.Issue(key, access);
                     if (disposition != nullptr)
                       *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
                     return ERROR_SUCCESS;
                   });
}

LSTATUS RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result)
{
  if (platform_hooks::state::IsRegistryKeyDenied(subKey)) return ERROR_ACCESS_DENIED;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  return WithKeyAt(parent, subKey, false,
                   [&](Registry& registry, const std::shared_ptr<Key>& key, bool) {
                     *result = registry.Issue(key, access);
                     return ERROR_SUCCESS;
                   });
}

LSTATUS RegCloseKey(HKEY key)
{
  if (Registry::IsPredefined(key)) return ERROR_SUCCESS;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  return registry.Close(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size)
{
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  // A string whose count leaves out the terminator that follows it gets the
  // terminator counted, as Windows does: the unit after the count is read.
  if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && size >= sizeof(WCHAR)) {
    WCHAR last, next = 1;
    memcpy(&last, data + (size / sizeof(WCHAR) - 1) * sizeof(WCHAR), sizeof(WCHAR));
    if (last != 0) memcpy(&next, data + size / sizeof(WCHAR) * sizeof(WCHAR), sizeof(WCHAR));
    if (next == 0) size = (size / sizeof(WCHAR) + 1) * sizeof(WCHAR);
  }
  return WithKey(key, KEY_SET_VALUE, [&](Registry&, const std::shared_ptr<Key>& open) {
    Value* value = FindValue(*open, name);
    if (value == nullptr) {
      open->values.push_back(Value{name != nullptr ? Text(name) : Text(), type, {}});
      value = &open->values.back();
    }
    value->type = type;
    value->data.assign(data, data + size);
    open->lastWrite = Now();
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size)
{
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  return WithKey(key, KEY_QUERY_VALUE, [&](Registry&, const std::shared_ptr<Key>& open) {
    const Value* value = FindValue(*open, name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->type;
    DWORD needed = DWORD(value->data.size());
    if (data == nullptr) {
      if (size != nullptr) *size = needed;
      return ERROR_SUCCESS;
    }
    DWORD capacity = *size;
    *size = needed;
    if (capacity < needed) return ERROR_MORE_DATA;
    if (needed != 0) memcpy(data, value->data.data(), needed);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWrite)
{
  if (name == nullptr || nameLength == nullptr || reserved != nullptr ||
      (keyClass != nullptr && classLength == nullptr))
    return ERROR_INVALID_PARAMETER;
  return WithKey(key, KEY_ENUMERATE_SUB_KEYS, [&](Registry&, const std::shared_ptr<Key>& open) {
    if (index >= open->children.size()) return ERROR_NO_MORE_ITEMS;
    const Key& child = *open->children[index];
    // The sizes stay as the caller set them when the buffers are too small.
    if (*nameLength <= child.name.size() || (keyClass != nullptr && *classLength == 0))
      return ERROR_MORE_DATA;
    memcpy(name, child.name.data(), child.name.size() * sizeof(WCHAR));
    name[child.name.size()] = 0;
    *nameLength = DWORD(child.name.size());
    if (keyClass != nullptr) {
      keyClass[0] = 0;
      *classLength = 0;
    }
    if (lastWrite != nullptr) *lastWrite = child.lastWrite;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteKeyW(HKEY parent, LPCWSTR subKey)
{
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  // An empty path deletes the key of the handle itself.
  return WithKeyAt(parent, subKey, false, [](Registry&, const std::shared_ptr<Key>& key, bool) {
    // Windows deletes only leaf keys, and never the predefined roots.
    if (key->predefined || !key->children.empty()) return ERROR_ACCESS_DENIED;
    Key* owner = key->parent;
    auto& siblings = owner->children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), key));
    owner->lastWrite = Now();
    key->deleted = true;
    key->parent = nullptr;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name)
{
  return WithKey(key, KEY_SET_VALUE, [&](Registry&, const std::shared_ptr<Key>& open) {
    Value* value = FindValue(*open, name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    auto& values = open->values;
    values.erase(values.begin() + (value - values.data()));
    open->lastWrite = Now();
    return ERROR_SUCCESS;
  });
}
