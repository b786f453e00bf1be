#include "server/class_factory.h"

#include <new>

#include "bridge/bridge.h"
#include "server/client_watch.h"
#include "server/lifetime.h"
#include "server/probe_notes.h"

ServerClassEntry serverClassEntry = {
    &CLSID_CStiScannerComBridge,
    CreateBridgeObject,
    "zemka twain x64 stiscanner com bridge",
    "zemka.twain.CStiScannerComBridge.1",
    "zemka.twain.CStiScannerComBridge",
    nullptr,
    0,
};

CBridgeClassFactory::CBridgeClassFactory(ServerClassEntry* classEntry)
    : refCount(1), entry(classEntry)
{
}

HRESULT STDMETHODCALLTYPE CBridgeClassFactory::QueryInterface(REFIID iid, void** object)
{
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    AddRef();
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CBridgeClassFactory::AddRef()
{
  return static_cast<ULONG>(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE CBridgeClassFactory::Release()
{
  LONG count = InterlockedDecrement(&refCount);
  if (count != 0) return static_cast<ULONG>(count);
  delete this;
  return 0;
}

HRESULT STDMETHODCALLTYPE CBridgeClassFactory::CreateInstance(IUnknown* outer, REFIID iid,
                                                              void** object)
{
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;

  CUnknown* created = nullptr;
  HRESULT hr = entry->create(outer, &created);
  if (FAILED(hr)) return hr;
  if (created == nullptr) return E_OUTOFMEMORY;

  hr = created->Init();
  if (SUCCEEDED(hr)) hr = created->NondelegatingQueryInterface(iid, object);
  // The client is learned while its call is being served (under Wine; on
  // Windows COM's activation service makes this call, and the client is
  // learned at its first direct call instead): once it has ended, the watch
  // lets its object go.
  if (SUCCEEDED(hr)) {
    client_watch::Watch(created->NondelegatingUnknown());
    probe_notes::AtCreation(created->NondelegatingUnknown());
  }
  // Drops the creation reference: the client's query holds the only one, or
  // the object goes now when Init or the query failed.
  created->NondelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CBridgeClassFactory::LockServer(BOOL lock)
{
  // Counted for the client that calls, where it can be told.
  client_watch::LockServer(lock);
  return S_OK;
}

HRESULT CreateBridgeObject(IUnknown* outer, CUnknown** object)
{
  if (object == nullptr) return E_POINTER;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  CStiScannerComBridge* bridge = new (std::nothrow) CStiScannerComBridge();
  if (bridge == nullptr) return E_OUTOFMEMORY;
  *object = bridge;
  return S_OK;
}

bool RegisterClassObjects()
{
  ServerClassEntry& entry = serverClassEntry;
  entry.classObject = nullptr;
  entry.registrationCookie = 0;

  CBridgeClassFactory* factory = new (std::nothrow) CBridgeClassFactory(&entry);
  if (factory == nullptr) return false;

  // The record keeps the creation reference; COM holds its own. The entry
  // function withdraws and releases it when the server ends.
  entry.classObject = factory;
  if (!PublishClassObjects()) {
    entry.classObject = nullptr;
    factory->Release();
    return false;
  }
  return true;
}

void WithdrawClassObjects()
{
  ServerClassEntry& entry = serverClassEntry;
  if (entry.registrationCookie == 0) return;
  CoRevokeClassObject(entry.registrationCookie);
  entry.registrationCookie = 0;
  platform_server::ReleaseName();
}

namespace {

int publishFailures = 0;

}  // namespace

void FailPublishingForTesting(int count)
{
  publishFailures = count;
}

bool PublishClassObjects()
{
  ServerClassEntry& entry = serverClassEntry;
  if (entry.registrationCookie != 0) return true;
  if (entry.classObject == nullptr) return false;
  if (publishFailures > 0) {
    --publishFailures;
    return false;
  }
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(*entry.clsid, entry.classObject, CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie)))
    return false;
  entry.registrationCookie = cookie;
  // A suspension is the process's, and may hold a class object registered
  // after it (one left by the way out, see entry.cpp): a publication is
  // always followed by a resume, which is harmless where nothing was
  // suspended.
  CoResumeClassObjects();
  platform_server::ClaimName(kPublishedServerName);
  return true;
}

bool IsThePublishedServer()
{
  return platform_server::ClaimName(kPublishedServerName);
}
