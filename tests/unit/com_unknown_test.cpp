// Object identity, the shared reference count and aggregation of the object
// base, seen through the bridge object and through a small derived class.
#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "server/class_factory.h"
#include "unit/bridge_test_access.h"
#include "unit/test_support.h"

namespace {

class ObjectBaseTest : public QuitRecordingTest {
 protected:
  IStiScannerComBridge* Create()
  {
    IStiScannerComBridge* bridge = NewBridge();
    EXPECT_NE(bridge, nullptr);
    return bridge;
  }
};

TEST_F(ObjectBaseTest, UnknownIdentityIsTheNondelegatingUnknown)
{
  IStiScannerComBridge* bridge = Create();
  IUnknown* first = nullptr;
  IUnknown* second = nullptr;
  ASSERT_EQ(bridge->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&first)), S_OK);
  ASSERT_EQ(bridge->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
  EXPECT_EQ(first, second);
  EXPECT_NE(static_cast<void*>(first), static_cast<void*>(bridge));

  // Through the identity, the bridge interface comes back; every route
  // raises the one shared count.
  IStiScannerComBridge* again = nullptr;
  ASSERT_EQ(first->QueryInterface(IID_IStiScannerComBridge, reinterpret_cast<void**>(&again)),
            S_OK);
  EXPECT_EQ(again, bridge);
  EXPECT_EQ(bridge->AddRef(), 5u);
  EXPECT_EQ(first->Release(), 4u);
  EXPECT_EQ(second->Release(), 3u);
  EXPECT_EQ(again->Release(), 2u);
  EXPECT_EQ(bridge->Release(), 1u);
  EXPECT_EQ(objectCount, 1);
  EXPECT_EQ(bridge->Release(), 0u);
  EXPECT_EQ(objectCount, 0);
  EXPECT_EQ(QuitCount(), 1);
}

TEST_F(ObjectBaseTest, UnknownInterfacesAreRefusedWithANullPointer)
{
  IStiScannerComBridge* bridge = Create();
  const IID* refused[] = {&IID_IMarshal, &IID_IClassFactory};
  for (const IID* iid : refused) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(bridge->QueryInterface(*iid, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(bridge->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(bridge->AddRef(), 2u) << "refusals leave the count alone";
  bridge->Release();
  EXPECT_EQ(bridge->Release(), 0u);
}

TEST_F(ObjectBaseTest, TwoObjectsOneDestroyedDoesNotQuit)
{
  IStiScannerComBridge* first = Create();
  IStiScannerComBridge* second = Create();
  EXPECT_EQ(objectCount, 2);
  first->Release();
  EXPECT_EQ(QuitCount(), 0);
  second->Release();
  EXPECT_EQ(QuitCount(), 1);
}

struct ITestThing : IUnknown {
  virtual int STDMETHODCALLTYPE Value() = 0;
};

class CTestThing : public CUnknown, public ITestThing {
 public:
  explicit CTestThing(IUnknown* outer) : CUnknown(outer) {}
  CUNKNOWN_DELEGATING_IUNKNOWN
  int STDMETHODCALLTYPE Value() override { return 7; }
  LONG Count() const { return refCount; }
};

TEST_F(ObjectBaseTest, AggregatedObjectDelegatesToItsOuterWithoutHoldingIt)
{
  QueryCountingUnknown outer;
  CTestThing* thing = new CTestThing(&outer);
  ITestThing* exposed = thing;
  EXPECT_EQ(outer.calls, 0) << "no reference is taken on the outer unknown";

  EXPECT_EQ(exposed->AddRef(), 2u);
  EXPECT_EQ(exposed->Release(), 1u);
  void* object = nullptr;
  EXPECT_EQ(exposed->QueryInterface(IID_IUnknown, &object), E_NOINTERFACE);
  EXPECT_EQ(outer.calls, 3);
  EXPECT_EQ(thing->Count(), 1) << "the inner count is the nondelegating one";

  EXPECT_EQ(thing->NondelegatingRelease(), 0u);
  EXPECT_EQ(objectCount, 0);
}

}  // namespace
