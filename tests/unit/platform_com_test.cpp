// Memory, BSTRs and the COM runtime as Windows provides them: zero-filled
// global memory, the BSTR length prefix, apartment initialisation counts,
// class-object registration and activation, GUID text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/win32.h"

namespace {

using Text = std::basic_string<WCHAR>;

const CLSID kTestClass = {
    0x5d0c2a71, 0x9e64, 0x4b13, {0x8f, 0x2a, 0x0c, 0x7e, 0xd1, 0x46, 0xb9, 0x3a}};

TEST(PlatformMemory, ZeroInitialisedBlocksAndHandles)
{
  HGLOBAL global = GlobalAlloc(GMEM_ZEROINIT, 64);
  ASSERT_NE(global, nullptr);
  auto* bytes = static_cast<BYTE*>(GlobalLock(global));
  ASSERT_NE(bytes, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_GE(GlobalSize(global), 64u);
  GlobalUnlock(global);
  EXPECT_EQ(GlobalFree(global), nullptr);
  EXPECT_EQ(GlobalLock(nullptr), nullptr);

  HLOCAL local = LocalAlloc(LPTR, 16);
  ASSERT_NE(local, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<BYTE*>(local)[i], 0);
  EXPECT_EQ(LocalFree(local), nullptr);
}

TEST(PlatformMemory, AllocationFailureHook)
{
  platform_hooks::FailAllocations(4);
  EXPECT_EQ(GlobalAlloc(GPTR, 8), nullptr);
  EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
  EXPECT_EQ(SysAllocString(W("x")), nullptr);
  EXPECT_EQ(CoTaskMemAlloc(8), nullptr);
  void* after = CoTaskMemAlloc(8);
  EXPECT_NE(after, nullptr);
  CoTaskMemFree(after);
  platform_hooks::Reset();
}

TEST(PlatformMemory, InterlockedOperationsReturnTheDocumentedValues)
{
  LONG volatile value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
  EXPECT_EQ(value, 1);
}

TEST(PlatformBstr, LengthPrefixAndTerminator)
{
  BSTR text = SysAllocString(W("page"));
  ASSERT_NE(text, nullptr);
  uint32_t prefix = 0;
  memcpy(&prefix, reinterpret_cast<BYTE*>(text) - 4, 4);
  EXPECT_EQ(prefix, 8u);
  EXPECT_EQ(SysStringLen(text), 4u);
  EXPECT_EQ(SysStringByteLen(text), 8u);
  EXPECT_EQ(text[4], 0);
  SysFreeString(text);

  // Embedded terminators count; a null source gives zeroed units.
  const WCHAR withNull[] = {W('a'), 0, W('b')};
  BSTR counted = SysAllocStringLen(withNull, 3);
  EXPECT_EQ(SysStringLen(counted), 3u);
  EXPECT_EQ(counted[2], W('b'));
  SysFreeString(counted);
  BSTR blank = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 5u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(blank[i], 0);
  SysFreeString(blank);

  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
}

TEST(PlatformCom, GuidText)
{
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(kTestClass, &text), S_OK);
  EXPECT_EQ(Text(text), Text(W("{5D0C2A71-9E64-4B13-8F2A-0C7ED146B93A}")));
  CoTaskMemFree(text);
  CoTaskMemFree(nullptr);

  WCHAR buffer[39];
  EXPECT_EQ(StringFromGUID2(IID_IMarshal, buffer, 39), 39);
  EXPECT_EQ(Text(buffer), Text(W("{00000003-0000-0000-C000-000000000046}")));
  EXPECT_EQ(StringFromGUID2(IID_IClassFactory, buffer, 38), 0);
  EXPECT_EQ(StringFromGUID2(IID_IUnknown, buffer, 39), 39);
  EXPECT_EQ(Text(buffer), Text(W("{00000000-0000-0000-C000-000000000046}")));
}

TEST(PlatformCom, InitialisationIsCountedPerThread)
{
  std::thread([] {
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    std::thread([] {
      EXPECT_EQ(CoInitialize(nullptr), S_OK);
      CoUninitialize();
    }).join();
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}

// A class factory that makes nothing but itself and counts its references.
struct CountingFactory : IClassFactory {
  LONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
  {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(InterlockedDecrement(&refs)); }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override
  {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST(PlatformCom, RegisteredClassObjectIsFoundUntilRevoked)
{
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CountingFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kTestClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(factory.refs, 1);

    IClassFactory* found = nullptr;
    EXPECT_EQ(CoGetClassObject(kTestClass, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&found)),
              S_OK);
    EXPECT_EQ(found, &factory);
    found->Release();

    // Suspended, the class object stays registered and is handed out again
    // once resumed. (Here a suspended one is handed to nobody, as COM's
    // activation service does; Wine's suspension does nothing, and on
    // Windows a lookup in the registering process does not go through the
    // activation service, so only the portable subset is asked meanwhile.)
    // A class object registered while the process is suspended starts
    // suspended (the stricter reading: a server that publishes again on its
    // way out must resume).
    EXPECT_EQ(CoSuspendClassObjects(), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    ASSERT_EQ(CoRegisterClassObject(kTestClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
#ifndef _WIN32
    found = reinterpret_cast<IClassFactory*>(&factory);
    EXPECT_EQ(CoGetClassObject(kTestClass, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&found)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(found, nullptr);
#endif
    EXPECT_EQ(CoResumeClassObjects(), S_OK);
    IUnknown* made = nullptr;
    EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&made)),
              S_OK);
    ASSERT_NE(made, nullptr);
    made->Release();

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.refs, 1);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    made = reinterpret_cast<IUnknown*>(&factory);
    EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&made)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(made, nullptr);
    CoUninitialize();
  }).join();
}

}  // namespace
