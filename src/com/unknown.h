// The aggregatable object base of every COM object the server hands out.
//
// The object's COM identity is its nondelegating IUnknown: a small inner
// object whose three methods are the object's nondelegating query, add
// reference and release. (A real IUnknown rather than the object's own table
// reinterpreted as one, so that every call through it is well-defined C++.)
// Each interface that a derived class exposes is a further table whose
// IUnknown slots forward to `outerUnknown`: the outer object when aggregated,
// the object's own nondelegating IUnknown otherwise.
#pragma once

#include "platform/win32.h"

struct INondelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NondelegatingQueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE NondelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NondelegatingRelease() = 0;
};

class CUnknown : public INondelegatingUnknown {
 public:
  explicit CUnknown(IUnknown* outer);

  HRESULT STDMETHODCALLTYPE NondelegatingQueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE NondelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NondelegatingRelease() override;

  // Derived clean-up runs first, then the base has the client watch forget
  // the object and counts it out of the server (which may post the quit
  // message).
  virtual ~CUnknown();

  // Called once by the class factory after construction and before the
  // first query; a failure makes the factory destroy the object.
  virtual HRESULT Init();

  // Called by the final release before destruction. Leaves the count at 1 so
  // that balanced AddRef/Release pairs made by the object's own clean-up do
  // not reach zero a second time.
  virtual void FinalRelease();

  IUnknown* NondelegatingUnknown() { return &identity; }

  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;

 protected:
  LONG volatile refCount;
  IUnknown* outerUnknown;  // no reference held

 private:
  struct Identity final : IUnknown {
    explicit Identity(INondelegatingUnknown* object) : owner(object) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
      return owner->NondelegatingQueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner->NondelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner->NondelegatingRelease(); }
    INondelegatingUnknown* owner;
  };
  Identity identity;
};

// The IUnknown methods of an exposed interface: forward to the outer unknown,
// arguments and result unchanged.
#define CUNKNOWN_DELEGATING_IUNKNOWN                                           \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override \
  {                                                                            \
    return outerUnknown->QueryInterface(iid, object);                          \
  }                                                                            \
  ULONG STDMETHODCALLTYPE AddRef() override                                    \
  {                                                                            \
    return outerUnknown->AddRef();                                             \
  }                                                                            \
  ULONG STDMETHODCALLTYPE Release() override                                   \
  {                                                                            \
    return outerUnknown->Release();                                            \
  }
