// bench_baseline_server.exe: a minimal 64-bit COM local server, started and
// stopped the way the bridge server is (registration by /RegServer, activation
// with -Embedding, one object per client from a multiple-use class object,
// exit once the last object is gone), whose methods do nothing but answer.
// Every figure of the bridge server is read against this one's.
#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <new>

#include "bench_baseline.h"

namespace {

constexpr int kStatusMore = 0;
constexpr int kStatusPageDone = 6;
constexpr int kStatusFailure = 1;

// The source of every read: filled at the first read (not at start, so that
// start-up is only COM's), so that a read costs one copy, as the bridge's do.
constexpr size_t kSourceBytes = 8u << 20;
BYTE* source = nullptr;

bool SourceReady()
{
  if (source != nullptr) return true;
  source = static_cast<BYTE*>(VirtualAlloc(nullptr, kSourceBytes, MEM_COMMIT, PAGE_READWRITE));
  if (source == nullptr) return false;
  for (size_t i = 0; i < kSourceBytes; ++i) source[i] = static_cast<BYTE>(i * 131 + 7);
  return true;
}

LONG volatile objectCount = 0;
DWORD mainThreadId = 0;

void ObjectGone()
{
  if (InterlockedDecrement(&objectCount) == 0) PostThreadMessageW(mainThreadId, WM_QUIT, 0, 0);
}

class Baseline : public IBenchBaseline {
 public:
  Baseline() { InterlockedIncrement(&objectCount); }
  virtual ~Baseline() { ObjectGone(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
  {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBenchBaseline)) {
      *object = static_cast<IBenchBaseline*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
  ULONG STDMETHODCALLTYPE Release() override
  {
    LONG left = InterlockedDecrement(&refs);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE GetPosition(int* page, int* pages) override
  {
    if (page == nullptr || pages == nullptr) return E_POINTER;
    *page = 1;
    *pages = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ReadData(BENCH_TRANSFER_REQUEST* request, BYTE* buffer, int bufferSize,
                                     int* status) override
  {
    if (status == nullptr || request == nullptr) return E_POINTER;
    if (bufferSize < 0 || buffer == nullptr || !SourceReady()) {
      *status = kStatusFailure;
      return E_INVALIDARG;
    }
    size_t chunk = static_cast<size_t>(bufferSize);
    const size_t pageBytes = request->value;
    if (pageBytes != 0 && chunk > pageBytes - offset) chunk = pageBytes - offset;
    // Bytes past the source's end repeat it.
    for (size_t done = 0; done < chunk;) {
      size_t piece = chunk - done < kSourceBytes ? chunk - done : kSourceBytes;
      std::memcpy(buffer + done, source, piece);
      done += piece;
    }
    offset += chunk;
    if (pageBytes != 0 && offset >= pageBytes) {
      offset = 0;
      *status = kStatusPageDone;
    } else {
      *status = kStatusMore;
    }
    return S_OK;
  }

 private:
  LONG volatile refs = 1;
  size_t offset = 0;
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
  {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Static: lives as long as the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
  {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Baseline* created = new (std::nothrow) Baseline();
    if (created == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
  {
    if (lock) {
      InterlockedIncrement(&objectCount);
    } else {
      ObjectGone();
    }
    return S_OK;
  }
};

Factory factory;

const wchar_t kClassKey[] = L"CLSID\\{0DD95B46-E4C6-4712-A605-3B3C3EAF741B}";
const wchar_t kLocalServerKey[] = L"CLSID\\{0DD95B46-E4C6-4712-A605-3B3C3EAF741B}\\LocalServer32";

void Register()
{
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kLocalServerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                 (length + 1) * sizeof(wchar_t));
  RegCloseKey(key);
}

bool HasSwitch(const char* tail, const char* name)
{
  for (const char* p = tail; *p != 0; ++p) {
    if (*p != '/' && *p != '-') continue;
    size_t n = std::strlen(name);
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, p + 1, static_cast<int>(n), name,
                       static_cast<int>(n)) == CSTR_EQUAL)
      return true;
  }
  return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandTail, int)
{
  if (FAILED(CoInitialize(nullptr))) return 1;
  const char* tail = commandTail != nullptr ? commandTail : "";
  if (HasSwitch(tail, "UnregServer")) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
    CoUninitialize();
    return 0;
  }
  if (HasSwitch(tail, "RegServer")) {
    Register();
    CoUninitialize();
    return 0;
  }

  mainThreadId = GetCurrentThreadId();
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_CBenchBaseline, &factory, CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie))) {
    CoUninitialize();
    return 1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  CoRevokeClassObject(cookie);
  CoUninitialize();
  return 0;
}
