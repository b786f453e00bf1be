// COM runtime of the portable subset: per-thread apartment initialisation,
// the class table of this process, GUID text and BSTRs. Activation never
// leaves the process: a class object registered here is what CoGetClassObject
// and CoCreateInstance find, whatever context the caller asks for, which is
// what in-process tests of the local server need.
#include "platform/posix/posix_internal.h"
#include "platform/hook_state.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

EXTERN_C const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
EXTERN_C const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
EXTERN_C const IID IID_IMarshal = {
    0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// Apartment state of the calling thread.
thread_local int initCount = 0;
thread_local DWORD initModel = 0;
// Threads in the multithreaded apartment; while there is one, every thread of
// the process may use COM (the implicit multithreaded apartment).
std::atomic<int> mtaThreads{0};

bool ComUsable()
{
  return initCount > 0 || mtaThreads.load() > 0;
}

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;
  DWORD flags;
  bool used;
  bool suspended;
};

struct ClassTable {
  std::mutex lock;
  std::vector<Registration> entries;
  DWORD nextCookie = 1;
  // Between CoSuspendClassObjects and CoResumeClassObjects.
  bool suspended = false;
};

ClassTable& Classes()
{
  static ClassTable* table = new ClassTable;
  return *table;
}

constexpr int kGuidTextUnits = 39;  // braces, 32 digits, 4 dashes, terminator

void FormatGuid(REFGUID guid, WCHAR* out)
{
  static const char digits[] = "0123456789ABCDEF";
  int at = 0;
  auto hex = [&](uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) out[at++] = WCHAR(digits[(value >> (4 * i)) & 0xF]);
  };
  out[at++] = u'{';
  hex(guid.Data1, 8);
  out[at++] = u'-';
  hex(guid.Data2, 4);
  out[at++] = u'-';
  hex(guid.Data3, 4);
  out[at++] = u'-';
  hex(guid.Data4[0], 2);
  hex(guid.Data4[1], 2);
  out[at++] = u'-';
  for (int i = 2; i < 8; ++i) hex(guid.Data4[i], 2);
  out[at++] = u'}';
  out[at] = 0;
}

// A BSTR is preceded by its length in bytes (32 bits) and followed by a
// terminator that the length does not count.
constexpr size_t kPrefix = sizeof(uint32_t);

BSTR AllocateBstr(const OLECHAR* text, UINT length)
{
  if (length > (UINT32_MAX - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
  size_t bytes = size_t(length) * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  uint32_t prefix = uint32_t(bytes);
  memcpy(block, &prefix, kPrefix);
  auto* result = reinterpret_cast<BSTR>(block + kPrefix);
  if (text != nullptr)
    memcpy(result, text, bytes);
  else
    memset(result, 0, bytes);
  result[length] = 0;
  return result;
}

}  // namespace

HRESULT CoInitialize(LPVOID reserved)
{
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID, DWORD flags)
{
  DWORD model = flags & COINIT_APARTMENTTHREADED;
  if (initCount > 0) {
    if (model != initModel) return RPC_E_CHANGED_MODE;
    ++initCount;
    return S_FALSE;
  }
  initCount = 1;
  initModel = model;
  if (model == COINIT_MULTITHREADED) ++mtaThreads;
  return S_OK;
}

HRESULT CoImpersonateClient()
{
  using namespace platform_hooks::state;
  if (!ClientImpersonationSet()) return RPC_E_CALL_COMPLETE;
  const HRESULT answer = ClientImpersonationAnswer();
  if (SUCCEEDED(answer)) SetThreadImpersonating(true);
  return answer;
}

HRESULT CoRevertToSelf()
{
  using namespace platform_hooks::state;
  if (!ThreadImpersonating()) return RPC_E_CALL_COMPLETE;
  SetThreadImpersonating(false);
  return S_OK;
}

void CoUninitialize()
{
  if (initCount == 0) return;
  if (--initCount == 0 && initModel == COINIT_MULTITHREADED) --mtaThreads;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD, DWORD flags, LPDWORD cookie)
{
  if (object == nullptr || cookie == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  object->AddRef();
  std::lock_guard<std::mutex> guard(Classes().lock);
  DWORD issued = Classes().nextCookie++;
  if (Classes().nextCookie == 0) Classes().nextCookie = 1;
  Classes().entries.push_back(Registration{issued, clsid, object, flags, false,
                                           (flags & REGCLS_SUSPENDED) != 0 || Classes().suspended});
  *cookie = issued;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  IUnknown* object = nullptr;
  {
    std::lock_guard<std::mutex> guard(Classes().lock);
    auto& entries = Classes().entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->cookie == cookie) {
        object = it->object;
        entries.erase(it);
        break;
      }
    }
  }
  // Windows answers E_INVALIDARG for a cookie it never issued or already revoked.
  if (object == nullptr) return E_INVALIDARG;
  // Released outside the lock: the object's destructor may call back into COM.
  object->Release();
  return S_OK;
}

HRESULT CoSuspendClassObjects()
{
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  std::lock_guard<std::mutex> guard(Classes().lock);
  Classes().suspended = true;
  for (Registration& entry : Classes().entries) entry.suspended = true;
  return S_OK;
}

HRESULT CoResumeClassObjects()
{
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  std::lock_guard<std::mutex> guard(Classes().lock);
  Classes().suspended = false;
  for (Registration& entry : Classes().entries) entry.suspended = false;
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD, LPVOID, REFIID riid, LPVOID* object)
{
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  if (!ComUsable()) return CO_E_NOTINITIALIZED;
  IUnknown* found = nullptr;
  {
    std::lock_guard<std::mutex> guard(Classes().lock);
    for (Registration& entry : Classes().entries) {
      // A single-use class object leaves public view once it has been handed
      // out; a suspended one is out of view until it is resumed.
      if (entry.clsid != clsid || entry.used || entry.suspended) continue;
      if ((entry.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0) entry.used = true;
      found = entry.object;
      found->AddRef();
      break;
    }
  }
  if (found == nullptr) return REGDB_E_CLASSNOTREG;
  HRESULT hr = found->QueryInterface(riid, object);
  found->Release();
  return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* object)
{
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(outer, riid, object);
  factory->Release();
  return hr;
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text)
{
  if (text == nullptr) return E_INVALIDARG;
  *text =
      static_cast<LPOLESTR>(posix_internal::AllocateTaskUnhooked(kGuidTextUnits * sizeof(OLECHAR)));
  if (*text == nullptr) return E_OUTOFMEMORY;
  FormatGuid(clsid, *text);
  return S_OK;
}

int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity)
{
  if (text == nullptr || capacity < kGuidTextUnits) return 0;
  FormatGuid(guid, text);
  return kGuidTextUnits;
}

BSTR SysAllocString(const OLECHAR* text)
{
  if (text == nullptr) return nullptr;
  if (platform_hooks::state::TakeAllocationFailure()) return nullptr;
  size_t length = posix_internal::TextLength(text);
  if (length > UINT32_MAX) return nullptr;
  return AllocateBstr(text, UINT(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
  if (platform_hooks::state::TakeAllocationFailure()) return nullptr;
  return AllocateBstr(text, length);
}

UINT SysStringByteLen(BSTR text)
{
  if (text == nullptr) return 0;
  uint32_t prefix;
  memcpy(&prefix, reinterpret_cast<unsigned char*>(text) - kPrefix, kPrefix);
  return prefix;
}

UINT SysStringLen(BSTR text)
{
  return SysStringByteLen(text) / sizeof(OLECHAR);
}

void SysFreeString(BSTR text)
{
  if (text == nullptr) return;
  free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}
