#include "com/unknown.h"

#include "com/trace.h"
#include "server/client_watch.h"
#include "server/lifetime.h"

CUnknown::CUnknown(IUnknown* outer) : refCount(1), outerUnknown(nullptr), identity(this)
{
  if (outer != nullptr) {
    outerUnknown = outer;
    TracePoint("CUnknown", "Aggregating; delegate to outer IUnknown.");
  } else {
    outerUnknown = NondelegatingUnknown();
    TracePoint("CUnknown", "Not aggregating; delegate to nondelegating IUnknown.");
  }
  CountObjectCreated();
}

CUnknown::~CUnknown()
{
  client_watch::Forget(NondelegatingUnknown());
  CountObjectDestroyed();
}

HRESULT STDMETHODCALLTYPE CUnknown::NondelegatingQueryInterface(REFIID iid, void** object)
{
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *object = NondelegatingUnknown();
    NondelegatingAddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NondelegatingAddRef()
{
  return static_cast<ULONG>(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE CUnknown::NondelegatingRelease()
{
  LONG count = InterlockedDecrement(&refCount);
  if (count != 0) return static_cast<ULONG>(count);
  FinalRelease();
  delete this;
  return 0;
}

HRESULT CUnknown::Init()
{
  return S_OK;
}

void CUnknown::FinalRelease()
{
  TracePoint("CUnknown", "Increment reference count for final release.");
  refCount = 1;
}
