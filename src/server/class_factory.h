// The hosted class's static record and the class object through which COM
// creates bridge objects for clients.
#pragma once

#include "com/unknown.h"

using CreateFunction = HRESULT (*)(IUnknown* outer, CUnknown** object);

struct ServerClassEntry {
  const CLSID* clsid;
  CreateFunction create;
  const char* description;
  const char* versionedProgId;
  const char* progId;
  IClassFactory* classObject;  // the published class object, or null
  DWORD registrationCookie;    // from CoRegisterClassObject, 0 until published
};

// The server hosts exactly one class.
extern ServerClassEntry serverClassEntry;

class CBridgeClassFactory : public IClassFactory {
 public:
  explicit CBridgeClassFactory(ServerClassEntry* entry);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  CBridgeClassFactory(const CBridgeClassFactory&) = delete;
  CBridgeClassFactory& operator=(const CBridgeClassFactory&) = delete;

 private:
  virtual ~CBridgeClassFactory() = default;

  LONG volatile refCount;
  ServerClassEntry* entry;
};

// The create function of the record: refuses aggregation, builds one bridge
// object holding one reference.
HRESULT CreateBridgeObject(IUnknown* outer, CUnknown** object);

// Publishes the class object for local activation; true when published.
bool RegisterClassObjects();

// Withdraws the published class object from COM, so that no further client
// is handed this server; the record keeps its reference until the entry
// function releases it. Nothing when not published.
void WithdrawClassObjects();

// Publishes the record's class object (first by RegisterClassObjects, then
// again after WithdrawClassObjects), resumes the process's class objects
// (a suspension would hold the new publication too) and claims the published
// server's name; true when it is published (already, or now).
bool PublishClassObjects();

// Tests: the next `count` publications fail as a failing
// CoRegisterClassObject does (0 cancels).
void FailPublishingForTesting(int count);

// Whether this process is the published server of the class: one server
// process at a time holds that name, from publishing to withdrawal. An
// activation service may start a second server for clients that the first
// one serves (Wine's does, for clients that ask at the same moment); it is
// not published in this sense. Asks again each time.
bool IsThePublishedServer();

// The name that the published server of the class holds (a kernel object
// name of the session).
inline constexpr WCHAR kPublishedServerName[] =
    W("stibridge {2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16} published");
