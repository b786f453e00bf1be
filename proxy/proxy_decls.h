/* Declarations that the widl-generated C proxy needs and that the mingw
   headers provide only to C++. */
#pragma once
#include <rpc.h>
#include <rpcndr.h>
#include <unknwn.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
