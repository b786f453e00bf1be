// Class factory, object base and server lifetime.
#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "server/class_factory.h"
#include "server/lifetime.h"
#include "unit/test_support.h"

namespace {

class FactoryTest : public QuitRecordingTest {
 protected:
  void SetUp() override
  {
    QuitRecordingTest::SetUp();
    factory = new CBridgeClassFactory(&serverClassEntry);
  }
  void TearDown() override
  {
    EXPECT_EQ(factory->Release(), 0u);
    QuitRecordingTest::TearDown();
  }

  IStiScannerComBridge* Create()
  {
    IStiScannerComBridge* bridge = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStiScannerComBridge,
                                      reinterpret_cast<void**>(&bridge)),
              S_OK);
    return bridge;
  }

  CBridgeClassFactory* factory = nullptr;
};

TEST_F(FactoryTest, LockServerQuitRules)
{
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(QuitCount(), 0) << "a lock alone keeps the server";
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(QuitCount(), 1) << "the last unlock with no object quits";

  // More unlocks than locks: the count stays at 0 and the quit test passes;
  // a lock taken afterwards holds the server (a count of -1 would have let
  // it go to 0, and the unlock after it to quit under another lock).
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(serverLockCount, 0);
  EXPECT_EQ(QuitCount(), 2);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(serverLockCount, 1);
  EXPECT_EQ(QuitCount(), 2) << "one lock is still held";
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(QuitCount(), 3);
}

TEST_F(FactoryTest, UnlockWhileAnObjectLivesWaitsForIt)
{
  IStiScannerComBridge* bridge = Create();
  factory->LockServer(TRUE);
  factory->LockServer(FALSE);
  EXPECT_EQ(QuitCount(), 0);
  EXPECT_EQ(bridge->Release(), 0u);
  EXPECT_EQ(QuitCount(), 1);
}

TEST_F(FactoryTest, LastObjectUnderALockDoesNotQuitUntilUnlocked)
{
  IStiScannerComBridge* first = Create();
  IStiScannerComBridge* second = Create();
  factory->LockServer(TRUE);
  EXPECT_EQ(first->Release(), 0u);
  EXPECT_EQ(QuitCount(), 0) << "another object still lives";
  EXPECT_EQ(second->Release(), 0u);
  EXPECT_EQ(QuitCount(), 0) << "the lock is held";
  factory->LockServer(FALSE);
  EXPECT_EQ(QuitCount(), 1);
}

TEST_F(FactoryTest, CreateInstanceHandsOutExactlyOneReference)
{
  IStiScannerComBridge* bridge = Create();
  ASSERT_NE(bridge, nullptr);
  EXPECT_EQ(objectCount, 1);
  EXPECT_EQ(bridge->AddRef(), 2u);
  EXPECT_EQ(bridge->Release(), 1u);
  EXPECT_EQ(bridge->Release(), 0u);
  EXPECT_EQ(objectCount, 0);
  EXPECT_EQ(QuitCount(), 1);
}

TEST_F(FactoryTest, AggregationIsRefusedWithoutCreatingAnything)
{
  QueryCountingUnknown outer;
  const IID* requests[] = {&IID_IUnknown, &IID_IStiScannerComBridge};
  for (const IID* iid : requests) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, *iid, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(objectCount, 0);
  }
  EXPECT_EQ(outer.calls, 0) << "the outer unknown is never touched";
  CUnknown* created = reinterpret_cast<CUnknown*>(1);
  EXPECT_EQ(CreateBridgeObject(&outer, &created), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(objectCount, 0);
}

TEST_F(FactoryTest, UnsupportedInterfaceDestroysTheNewObjectAndMayQuit)
{
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(objectCount, 0);
  EXPECT_EQ(QuitCount(), 1);
}

TEST_F(FactoryTest, NullOutPointersAreRefused)
{
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStiScannerComBridge, nullptr), E_POINTER);
  EXPECT_EQ(CreateBridgeObject(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(objectCount, 0);
}

TEST_F(FactoryTest, FactoryAnswersItsOwnInterfacesOnly)
{
  void* object = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, &object), S_OK);
  EXPECT_EQ(object, static_cast<IClassFactory*>(factory));
  EXPECT_EQ(factory->Release(), 1u) << "the query added one reference";
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &object), S_OK);
  factory->Release();
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->QueryInterface(IID_IMarshal, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
}

}  // namespace
