// COM runtime of the portable subset: IUnknown, IClassFactory, apartment
// initialisation, class-object registration, task memory, BSTRs.
#pragma once

#include "types.h"

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_ALL 0x17
#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1
#define REGCLS_MULTI_SEPARATE 2
#define REGCLS_SUSPENDED 4
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_MULTITHREADED 0x0

EXTERN_C const IID IID_IUnknown;
EXTERN_C const IID IID_IClassFactory;
EXTERN_C const IID IID_IMarshal;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

HRESULT CoInitialize(LPVOID reserved);
HRESULT CoInitializeEx(LPVOID reserved, DWORD flags);
void CoUninitialize();
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
// A suspended class object stays registered but is handed out to nobody
// until CoResumeClassObjects; one registered with REGCLS_SUSPENDED starts so,
// and so does one registered between CoSuspendClassObjects and
// CoResumeClassObjects (the suspension is the process's: Windows does not
// say otherwise, so the stricter reading is the one to hold code to).
HRESULT CoSuspendClassObjects();
HRESULT CoResumeClassObjects();
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID reserved, REFIID riid,
                         LPVOID* object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* object);
// The subset has no remoting, so no call of a client is ever in progress:
// RPC_E_CALL_COMPLETE, as Windows answers outside a call (the client
// impersonation hook of platform/hooks.h aside).
HRESULT CoImpersonateClient();
HRESULT CoRevertToSelf();
LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID block);
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity);

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
void SysFreeString(BSTR text);

// PROPVARIANT type tags that the driver blocks carry.
#define VT_EMPTY 0
#define VT_I2 2
#define VT_I4 3
#define VT_BSTR 8
#define VT_UI1 17
#define VT_UI2 18
#define VT_UI4 19
#define VT_LPWSTR 31
#define VT_VECTOR 0x1000
