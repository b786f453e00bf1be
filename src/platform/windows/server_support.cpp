// A stub kept with a table-strong marshal held in a stream of global memory,
// stubs cut off with CoDisconnectObject (which refuses new calls at once and
// lets the stubs go once the calls in progress have returned), a name held
// as a named mutex, and the security of the objects made for clients as a
// descriptor in SDDL.
#include "platform/win32.h"

#include <string>

namespace platform_server {

HRESULT KeepStub(IUnknown* object, REFIID iid, void** kept)
{
  if (kept == nullptr) return E_POINTER;
  *kept = nullptr;
  if (object == nullptr) return E_POINTER;
  IStream* stream = nullptr;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  if (FAILED(hr)) return hr;
  hr = CoMarshalInterface(stream, iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG);
  if (FAILED(hr)) {
    stream->Release();
    return hr;
  }
  *kept = stream;
  return S_OK;
}

void ReleaseKeptStub(IUnknown* object, void* kept)
{
  if (object != nullptr) CoDisconnectObject(object, 0);
  auto* stream = static_cast<IStream*>(kept);
  if (stream == nullptr) return;
  LARGE_INTEGER start = {};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  CoReleaseMarshalData(stream);
  stream->Release();
}

void DisconnectStubs(IUnknown* object)
{
  if (object != nullptr) CoDisconnectObject(object, 0);
}

namespace {

// Opened once and kept for the process's life; held or not.
HANDLE claimed = nullptr;
bool held = false;

}  // namespace

bool ClaimName(const WCHAR* name)
{
  if (held) return true;
  if (claimed == nullptr) claimed = CreateMutexW(nullptr, FALSE, name);
  if (claimed == nullptr) return true;
  const DWORD waited = WaitForSingleObject(claimed, 0);
  held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  return held;
}

void ReleaseName()
{
  if (!held) return;
  ReleaseMutex(claimed);
  held = false;
}

SECURITY_ATTRIBUTES* UserObjectSecurity()
{
  static SECURITY_ATTRIBUTES attributes = {};
  static bool made = false;
  if (made) return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
  made = true;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  LPWSTR user = nullptr;
  const bool named = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
                     ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &user);
  CloseHandle(token);
  if (!named) return nullptr;
  // Generic all for the user and SYSTEM; medium integrity, no write up.
  const std::wstring text = L"D:(A;;GA;;;" + std::wstring(user) + L")(A;;GA;;;SY)S:(ML;;NW;;;ME)";
  LocalFree(user);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return nullptr;
  // Kept for the process's life.
  attributes = {sizeof attributes, descriptor, FALSE};
  return &attributes;
}

void* OpenSharedRecord(const WCHAR* name, size_t bytes)
{
  HANDLE section = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
  if (section == nullptr) return nullptr;
  void* view = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
  // The view keeps the section; the handle is not needed for it.
  CloseHandle(section);
  return view;
}

ULONGLONG MillisecondsSinceProcessStart()
{
  FILETIME created, exited, kernel, user, now;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG from = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  const ULONGLONG to = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return to > from ? (to - from) / 10000 : 0;
}

}  // namespace platform_server
