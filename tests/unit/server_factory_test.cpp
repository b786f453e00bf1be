// Class factory, object base, server lifetime and the watch over the
// clients' processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "bridge/bridge.h"
#include "server/class_factory.h"
#include "server/client_watch.h"
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

// The scan of the process's handles for its pipes' clients runs only under
// Wine, whose COM calls arrive through those pipes: on Windows it would
// find nothing, and its calls may block on a handle with I/O pending. (No
// call is in progress here, so the RPC runtime names no caller and the scan
// is all that could be asked.)
TEST(ClientProcesses, TheHandleScanRunsOnlyWhereCallsComeThroughPipes)
{
  for (bool windows : {true, false}) {
    SCOPED_TRACE(windows ? "taken for Windows" : "as the host is");
    platform_hooks::TreatHostAsWindows(windows);
    const size_t before = platform_client::HandleScans();
    std::vector<platform_client::ClientProcess> processes;
    platform_client::CallingProcesses(processes);
    const bool scans = !windows && platform_client::UnderWine();
    // Up to four attempts, while connections come and go.
    const size_t ran = platform_client::HandleScans() - before;
    if (scans) {
      EXPECT_GE(ran, 1u);
    } else {
      EXPECT_EQ(ran, 0u);
    }
    if (!scans) {
      EXPECT_TRUE(processes.empty());
    }
    for (const platform_client::ClientProcess& process : processes)
      platform_client::CloseProcess(process.handle);
  }
  platform_hooks::TreatHostAsWindows(false);
}

// What the watch asks of the system, played by the test: the processes the
// next creations are called from, which have ended, the handles held, the
// timer, and a disconnect that drops the reference the dead client held
// (the one the test's Create handed out).
struct FakeSystem {
  static inline std::vector<DWORD> callers;
  static inline DWORD direct = 0;  // the caller a direct call names; 0: none
  static inline std::set<DWORD> ended;
  static inline std::map<HANDLE, DWORD> held;
  static inline UINT_PTR nextHandle = 0x100;
  static inline bool ticking = false;
  static inline std::vector<IUnknown*> cutOff;

  static void Reset()
  {
    callers.clear();
    direct = 0;
    ended.clear();
    held.clear();
    ticking = false;
    cutOff.clear();
  }
  static void Calling(std::vector<platform_client::ClientProcess>& processes)
  {
    for (DWORD id : callers) {
      HANDLE handle = reinterpret_cast<HANDLE>(nextHandle++);
      held[handle] = id;
      processes.push_back({handle, id});
    }
  }
  static bool Direct(platform_client::ClientProcess& process)
  {
    if (direct == 0) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle++);
    held[handle] = direct;
    process = {handle, direct};
    return true;
  }
  static bool HasEnded(HANDLE process) { return ended.count(held.at(process)) > 0; }
  static void Close(HANDLE process) { EXPECT_EQ(held.erase(process), 1u) << "closed once"; }
  static void Start(UINT milliseconds, void (*)())
  {
    EXPECT_EQ(milliseconds, kClientWatchMilliseconds);
    ticking = true;
  }
  static void Stop() { ticking = false; }
  static void Disconnect(IUnknown* object)
  {
    cutOff.push_back(object);
    object->Release();
  }
};

const client_watch::System kFakeSystem = {FakeSystem::Calling, FakeSystem::Direct,
                                          FakeSystem::HasEnded, FakeSystem::Close,
                                          FakeSystem::Start,   FakeSystem::Stop,
                                          FakeSystem::Disconnect};

class ClientWatchTest : public FactoryTest {
 protected:
  void SetUp() override
  {
    FactoryTest::SetUp();
    FakeSystem::Reset();
    client_watch::SetSystemForTesting(&kFakeSystem);
  }
  void TearDown() override
  {
    EXPECT_EQ(client_watch::WatchedObjects(), 0u);
    EXPECT_TRUE(FakeSystem::held.empty()) << "every process handle closed";
    EXPECT_FALSE(FakeSystem::ticking) << "no timer without a watched object";
    client_watch::SetSystemForTesting(nullptr);
    FactoryTest::TearDown();
  }
  IStiScannerComBridge* CreateFrom(std::vector<DWORD> callers)
  {
    FakeSystem::callers = std::move(callers);
    return Create();
  }
  static size_t TimesCutOff(IStiScannerComBridge* bridge)
  {
    return static_cast<size_t>(std::count_if(
        FakeSystem::cutOff.begin(), FakeSystem::cutOff.end(), [&](IUnknown* object) {
          IUnknown* identity = nullptr;
          bridge->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
          identity->Release();
          return object == identity;
        }));
  }
};

// An object is cut off once every process that may have made it has ended,
// and not before; one whose client could not be learned is left alone.
TEST_F(ClientWatchTest, AnObjectGoesOnceEveryPossibleClientHasEnded)
{
  struct Case {
    const char* name;
    std::vector<DWORD> callers;
    std::vector<DWORD> endFirst, endThen;
    bool goneFirst, goneThen;
  };
  const Case cases[] = {
      {"its client ends", {7}, {7}, {}, true, true},
      {"another process ends", {7}, {8}, {}, false, false},
      {"one of two possible clients ends, then the other", {7, 8}, {7}, {8}, false, true},
      {"its client cannot be learned", {}, {7}, {}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem::Reset();
    IStiScannerComBridge* bridge = CreateFrom(c.callers);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(client_watch::WatchedObjects(), c.callers.empty() ? 0u : 1u);
    EXPECT_EQ(FakeSystem::ticking, !c.callers.empty());
    client_watch::Check();
    EXPECT_EQ(objectCount, 1) << "nobody has ended yet";
    FakeSystem::ended.insert(c.endFirst.begin(), c.endFirst.end());
    client_watch::Check();
    EXPECT_EQ(objectCount, c.goneFirst ? 0 : 1);
    FakeSystem::ended.insert(c.endThen.begin(), c.endThen.end());
    client_watch::Check();
    EXPECT_EQ(objectCount, c.goneThen ? 0 : 1);
    if (!c.goneThen) {
      EXPECT_EQ(bridge->Release(), 0u);
    }
    EXPECT_EQ(client_watch::WatchedObjects(), 0u);
    EXPECT_TRUE(FakeSystem::held.empty());
    EXPECT_FALSE(FakeSystem::ticking);
    EXPECT_EQ(FakeSystem::cutOff.size(), c.goneThen ? 1u : 0u);
  }
}

// Objects released by their client are forgotten at once; one process is
// held once for all its objects; the server quits when the watch lets its
// last object go.
TEST_F(ClientWatchTest, ReleasedObjectsAreForgottenAndTheLastOneCutOffQuits)
{
  IStiScannerComBridge* released = CreateFrom({7});
  IStiScannerComBridge* first = CreateFrom({7});
  IStiScannerComBridge* second = CreateFrom({7, 9});
  EXPECT_EQ(client_watch::WatchedProcesses(), 2u);
  EXPECT_EQ(FakeSystem::held.size(), 2u) << "a process held already is not held twice";
  EXPECT_EQ(released->Release(), 0u);
  EXPECT_EQ(client_watch::WatchedObjects(), 2u);
  EXPECT_EQ(TimesCutOff(first), 0u);
  FakeSystem::ended = {7};
  client_watch::Check();
  ASSERT_EQ(FakeSystem::cutOff.size(), 1u) << "the object only process 7 may have made";
  EXPECT_EQ(TimesCutOff(second), 0u) << "process 9 may have made it";
  EXPECT_EQ(objectCount, 1);
  EXPECT_EQ(client_watch::WatchedProcesses(), 2u) << "both still named by the one left";
  EXPECT_EQ(QuitCount(), 0);
  FakeSystem::ended = {7, 9};
  client_watch::Check();
  EXPECT_EQ(objectCount, 0);
  EXPECT_EQ(QuitCount(), 1);
  EXPECT_EQ(FakeSystem::cutOff.size(), 2u);
}

// The first direct call names the client exactly where the platform can
// (on Windows CreateInstance is called by COM's activation service): from
// then on that process alone is the object's client, whatever the creation
// learned; a later call changes nothing.
TEST_F(ClientWatchTest, TheFirstDirectCallNamesTheObjectsOneClient)
{
  struct Case {
    const char* name;
    std::vector<DWORD> atCreation;
    DWORD direct, later;
    DWORD endFirst;
    bool goneFirst;
    DWORD endThen;
    bool goneThen;
  };
  const Case cases[] = {
      {"creation learned nothing", {}, 7, 0, 8, false, 7, true},
      {"the caller among those the creation learned", {7, 8}, 8, 0, 8, true, 7, true},
      {"the direct call names nobody", {7, 8}, 0, 0, 8, false, 7, true},
      {"a later call names another process", {}, 7, 9, 9, false, 7, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem::Reset();
    IStiScannerComBridge* bridge = CreateFrom(c.atCreation);
    ASSERT_NE(bridge, nullptr);
    FakeSystem::direct = c.direct;
    EXPECT_EQ(bridge->InitializeSti(), S_OK);
    FakeSystem::direct = c.later;
    EXPECT_EQ(bridge->InitializeSti(), S_OK);
    EXPECT_EQ(client_watch::WatchedProcesses(), c.direct != 0 ? 1u : c.atCreation.size())
        << "the processes the creation learned are let go";
    FakeSystem::ended.insert(c.endFirst);
    client_watch::Check();
    EXPECT_EQ(objectCount, c.goneFirst ? 0 : 1);
    FakeSystem::ended.insert(c.endThen);
    client_watch::Check();
    EXPECT_EQ(objectCount, c.goneThen ? 0 : 1);
    if (!c.goneThen) {
      EXPECT_EQ(bridge->Release(), 0u);
    }
    EXPECT_TRUE(FakeSystem::held.empty());
    EXPECT_FALSE(FakeSystem::ticking);
  }
}

// Server locks are counted for the client that takes them, where the
// platform names it: an extra unlock cancels nobody else's lock, and a
// client that ends takes its locks with it; a lock of a caller that cannot
// be named counts for the server as a whole.
TEST_F(ClientWatchTest, ServerLocksAreCountedPerClient)
{
  FakeSystem::direct = 7;
  factory->LockServer(TRUE);
  factory->LockServer(TRUE);
  FakeSystem::direct = 8;
  factory->LockServer(FALSE);
  EXPECT_EQ(serverLockCount, 2) << "8 holds no lock to give back";
  EXPECT_EQ(QuitCount(), 0);
  FakeSystem::direct = 7;
  factory->LockServer(FALSE);
  EXPECT_EQ(serverLockCount, 1);
  EXPECT_EQ(client_watch::ClientLocks(), 1);
  EXPECT_TRUE(FakeSystem::ticking) << "a client holding a lock is watched";

  FakeSystem::direct = 0;
  factory->LockServer(TRUE);
  EXPECT_EQ(serverLockCount, 2);
  EXPECT_EQ(client_watch::ClientLocks(), 1) << "a caller that cannot be named";

  FakeSystem::ended = {7};
  client_watch::Check();
  EXPECT_EQ(serverLockCount, 1) << "the ended client's lock went with it";
  EXPECT_EQ(client_watch::WatchedProcesses(), 0u);
  EXPECT_FALSE(FakeSystem::ticking);
  EXPECT_EQ(QuitCount(), 0) << "the other lock still holds the server";
  factory->LockServer(FALSE);
  EXPECT_EQ(serverLockCount, 0);
  EXPECT_EQ(QuitCount(), 1);

  // A client that ends holding the last lock lets the server go.
  FakeSystem::direct = 9;
  factory->LockServer(TRUE);
  FakeSystem::ended = {9};
  client_watch::Check();
  EXPECT_EQ(serverLockCount, 0);
  EXPECT_EQ(QuitCount(), 2);
}

// An object that something inside the server still holds when its client
// has gone is cut off once, not at every look, and ends when let go.
TEST_F(ClientWatchTest, AnObjectHeldInsideIsCutOffOnce)
{
  IStiScannerComBridge* bridge = CreateFrom({7});
  bridge->AddRef();
  FakeSystem::ended = {7};
  client_watch::Check();
  client_watch::Check();
  EXPECT_EQ(FakeSystem::cutOff.size(), 1u);
  EXPECT_EQ(objectCount, 1);
  EXPECT_TRUE(FakeSystem::ticking);
  EXPECT_EQ(bridge->Release(), 0u);
}

}  // namespace
