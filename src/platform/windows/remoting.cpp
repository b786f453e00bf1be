// A stub kept with a table-strong marshal held in a stream of global memory,
// and stubs cut off with CoDisconnectObject (which does not wait for calls in
// progress).
#include "platform/win32.h"

namespace platform_remoting {

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

}  // namespace platform_remoting
