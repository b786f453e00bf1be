// Self-registration and the server entry's switches, against the registry
// of the build (the real one under Wine, the portable one natively).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "bridge/bridge.h"
#include "server/class_factory.h"
#include "server/entry.h"
#include "server/registration.h"
#include "unit/test_support.h"

namespace {

using Text = std::basic_string<WCHAR>;

const WCHAR kClassKey[] = W("CLSID\\{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}");
const WCHAR kLocalServerKey[] = W("CLSID\\{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}\\LocalServer32");
const WCHAR kInprocKey[] = W("CLSID\\{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}\\InprocServer32");
const WCHAR kProgId[] = W("zemka.twain.CStiScannerComBridge");
const WCHAR kVersionedProgId[] = W("zemka.twain.CStiScannerComBridge.1");
const WCHAR kModulePath[] = W("C:\\Program Files\\stibridge\\stibridge.exe");

bool KeyExists(const WCHAR* path)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void CreateKey(const WCHAR* path)
{
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// Whether COM hands the test the server's class object now. (Only the
// portable subset hands a suspended class object to nobody: Wine's
// suspension does nothing, and on Windows a lookup in the registering
// process does not go through the activation service.)
bool ClassObjectHandedOut()
{
  IClassFactory* factory = nullptr;
  if (CoGetClassObject(CLSID_CStiScannerComBridge, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                       reinterpret_cast<void**>(&factory)) != S_OK)
    return false;
  factory->Release();
  return true;
}

class RegistrationTest : public QuitRecordingTest {
 protected:
  // ServerMain on a thread of its own, as it runs in its process. Start()
  // returns once the class object is published (false after 90 s without).
  struct ServerThread {
    std::string tail = "-Embedding";
    std::atomic<bool> ended{false};
    std::atomic<int> exitCode{-1};
    std::thread thread;

    void Run()
    {
      thread = std::thread([this] {
        exitCode = ServerMain(nullptr, tail.data());
        ended = true;
      });
    }
    // Waits for the server's end, which must be a clean one: exit code 0,
    // the class object withdrawn and let go.
    void ExpectEndedCleanly()
    {
      thread.join();
      EXPECT_EQ(exitCode.load(), 0);
      EXPECT_EQ(serverClassEntry.registrationCookie, 0u);
      EXPECT_EQ(serverClassEntry.classObject, nullptr);
    }
    bool Start()
    {
      Run();
      std::atomic_ref<DWORD> cookie(serverClassEntry.registrationCookie);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
      while (cookie.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return cookie.load() != 0;
    }
  };

  void SetUp() override
  {
    QuitRecordingTest::SetUp();
    Clean();
    platform_hooks::SetModulePath(kModulePath);
  }
  void TearDown() override
  {
    platform_hooks::Reset();
    Clean();
    QuitRecordingTest::TearDown();
  }
  static void Clean()
  {
    DeleteKeyTree(HKEY_CLASSES_ROOT, kClassKey);
    DeleteKeyTree(HKEY_CLASSES_ROOT, kProgId);
    DeleteKeyTree(HKEY_CLASSES_ROOT, kVersionedProgId);
  }
  static void Unregister()
  {
    EXPECT_EQ(RemoveRegistration(CLSID_CStiScannerComBridge, serverClassEntry.progId,
                                 serverClassEntry.versionedProgId),
              S_OK);
  }
};

// The value COM starts the server from: a path with a space in quotes (an
// unquoted one would make CreateProcess try "C:\Program.exe" first), one
// without as it is, always with its terminator counted.
TEST_F(RegistrationTest, WritesOnlyTheLocalServerPathWithItsTerminator)
{
  Text longest = W("C:\\Program Files\\");
  longest.append(259 - longest.size() - 4, W('x')).append(W(".exe"));
  const struct {
    Text path;
    Text value;
  } rows[] = {
      {kModulePath, Text(W("\"")) + kModulePath + W("\"")},
      {W("C:\\stibridge\\stibridge.exe"), W("C:\\stibridge\\stibridge.exe")},
      {W("Z:\\a b\\c d\\s.exe"), W("\"Z:\\a b\\c d\\s.exe\"")},
      // 259 units, the most a path may have: quoted, it needs 261 and a terminator.
      {longest, W("\"") + longest + W("\"")},
  };
  for (const auto& row : rows) {
    platform_hooks::SetModulePath(row.path.c_str());
    WriteRegistration();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kLocalServerKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR data[300] = {};
    DWORD type = 0;
    DWORD size = sizeof data;
    ASSERT_EQ(
        RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_TRUE(Text(data) == row.value) << row.path.size();
    EXPECT_EQ(size, (row.value.size() + 1) * sizeof(WCHAR));
    EXPECT_FALSE(KeyExists(kProgId));
    EXPECT_FALSE(KeyExists(kVersionedProgId));
    EXPECT_FALSE(KeyExists(kInprocKey));

    // Twice is the same as once.
    WriteRegistration();
    EXPECT_TRUE(KeyExists(kLocalServerKey));
    Clean();
  }
}

TEST_F(RegistrationTest, UnregistrationWithAnInprocServerRemovesOnlyTheLocalServer)
{
  WriteRegistration();
  CreateKey(kInprocKey);
  CreateKey(kProgId);
  CreateKey(kVersionedProgId);
  Unregister();
  EXPECT_FALSE(KeyExists(kLocalServerKey));
  EXPECT_TRUE(KeyExists(kInprocKey));
  EXPECT_TRUE(KeyExists(kClassKey));
  EXPECT_TRUE(KeyExists(kProgId));
  EXPECT_TRUE(KeyExists(kVersionedProgId));
}

TEST_F(RegistrationTest, UnregistrationRemovesNestedTreesAndBothProgIds)
{
  WriteRegistration();
  const Text deep = Text(kClassKey) + W("\\a\\b\\c\\d");
  CreateKey(deep.c_str());
  CreateKey((Text(kClassKey) + W("\\a\\sibling")).c_str());
  CreateKey((Text(kProgId) + W("\\CLSID")).c_str());
  CreateKey(kVersionedProgId);
  Unregister();
  EXPECT_FALSE(KeyExists(kClassKey));
  EXPECT_FALSE(KeyExists(kProgId));
  EXPECT_FALSE(KeyExists(kVersionedProgId));
}

TEST_F(RegistrationTest, UnregistrationOfNothingChangesNothing)
{
  Unregister();
  EXPECT_FALSE(KeyExists(kClassKey));
}

TEST_F(RegistrationTest, AnUndeletableKeyKeepsItsAncestors)
{
  CreateKey((Text(kClassKey) + W("\\Locked\\Inner")).c_str());
  platform_hooks::DenyRegistryKey(W("Locked"));
  EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, kClassKey), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(KeyExists(kClassKey));
  platform_hooks::DenyRegistryKey(nullptr);
  EXPECT_TRUE(KeyExists((Text(kClassKey) + W("\\Locked\\Inner")).c_str()));
  EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, kClassKey), ERROR_SUCCESS);
}

TEST_F(RegistrationTest, ModulePathThatDoesNotFitIsNotRegistered)
{
  Text longPath = W("C:\\");
  longPath.append(300, W('x'));
  platform_hooks::SetModulePath(longPath.c_str());
  WriteRegistration();
  EXPECT_FALSE(KeyExists(kLocalServerKey));
}

// The entry function with registration switches ends without serving.
TEST_F(RegistrationTest, RegistrationSwitchesRegisterAndEnd)
{
  struct Case {
    const char* tail;
    bool registered;
  };
  const Case cases[] = {
      {"/RegServer", true},
      {"/regserver", true},
      {"-REGSERVER", true},
      {"RegServer", true},
      {"-UnregServer", false},
      {"-UnregServer-RegServer", true},
      {"-RegServer-UnregServer", false},
  };
  for (const Case& c : cases) {
    std::string tail = c.tail;
    EXPECT_EQ(ServerMain(nullptr, tail.data()), 0) << c.tail;
    EXPECT_EQ(KeyExists(kLocalServerKey), c.registered) << c.tail;
    EXPECT_EQ(serverClassEntry.registrationCookie, 0u) << c.tail << ": never published";
    Clean();
  }
}

// A registration switch whose action fails (the registry refuses a key, as
// it does for writes under HKEY_CLASSES_ROOT without elevation) ends the
// process with an exit code that says so, and leaves none of its own keys
// behind: whatever was there before stays as it was.
TEST_F(RegistrationTest, AFailedRegistrationActionSetsTheExitCodeAndWritesNothingHalf)
{
  const Text locked = Text(kClassKey) + W("\\Locked");
  const struct Row {
    const char* name;
    const char* tail;
    const WCHAR* denied;
    const WCHAR* before;  // a key made first (null: none)
    bool longPath;
    int exitCode;
    bool classKeyAfter, localServerAfter;
  } rows[] = {
      {"the LocalServer32 key refused", "/RegServer", W("LocalServer32"), nullptr, false,
       kExitRegistrationFailed, false, false},
      {"the same beside another module's InprocServer32", "/RegServer", W("LocalServer32"),
       kInprocKey, false, kExitRegistrationFailed, true, false},
      {"the class key refused", "/RegServer", W("{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}"), nullptr,
       false, kExitRegistrationFailed, false, false},
      {"a module path that does not fit", "/RegServer", nullptr, nullptr, true,
       kExitRegistrationFailed, false, false},
      {"a subkey that cannot be removed", "/UnregServer", W("Locked"), locked.c_str(), false,
       kExitRegistrationFailed, true, false},
      {"nothing to remove", "/UnregServer", nullptr, nullptr, false, 0, false, false},
      {"a later action that works does not hide an earlier failure", "-UnregServer-RegServer",
       W("Locked"), locked.c_str(), false, kExitRegistrationFailed, true, true},
  };
  Text longPath = W("C:\\");
  longPath.append(300, W('x'));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.before != nullptr) CreateKey(row.before);
    platform_hooks::SetModulePath(row.longPath ? longPath.c_str() : kModulePath);
    platform_hooks::DenyRegistryKey(row.denied);
    std::string tail = row.tail;
    EXPECT_EQ(ServerMain(nullptr, tail.data()), row.exitCode);
    platform_hooks::DenyRegistryKey(nullptr);
    EXPECT_EQ(KeyExists(kClassKey), row.classKeyAfter);
    EXPECT_EQ(KeyExists(kLocalServerKey), row.localServerAfter);
    if (row.before != nullptr) {
      EXPECT_TRUE(KeyExists(row.before)) << "what was there stays";
    }
    EXPECT_EQ(serverClassEntry.registrationCookie, 0u) << "never published";
    Clean();
  }
}

// A thread whose COM cannot be initialised as the server needs it (here it
// is in the multithreaded apartment already) ends at once, with an exit code
// that says so, and publishes nothing.
TEST_F(RegistrationTest, WithoutComTheServerEndsWithItsOwnExitCode)
{
  int exitCode = -1;
  std::thread([&] {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    std::string tail = "-Embedding";
    exitCode = ServerMain(nullptr, tail.data());
    CoUninitialize();
  }).join();
  EXPECT_EQ(exitCode, kExitComFailed);
  EXPECT_EQ(serverClassEntry.registrationCookie, 0u);
  EXPECT_EQ(serverClassEntry.classObject, nullptr);
}

// Tails whose scan ends at Embedding, or whose tokens match nothing, neither
// register nor end the process.
TEST_F(RegistrationTest, OtherTailsAreNotRegistrationRequests)
{
  const char* tails[] = {"-Embedding",
                         "/Embedding",
                         "",
                         "-RegServer -Embedding",
                         "-RegServer ",
                         "/Embedding/RegServer",
                         "-Automation",
                         "/Embedding/UnregServer"};
  for (const char* tailText : tails) {
    std::string tail = tailText;
    EXPECT_FALSE(ActOnSwitches(tail.data())) << "[" << tailText << "]";
    EXPECT_FALSE(KeyExists(kLocalServerKey)) << "[" << tailText << "] registered nothing";
  }
}

// Serving: the class object is published and the server runs its loop until
// WM_QUIT reaches the main thread. (Under Wine a fresh prefix takes seconds
// to publish and to revoke, hence the generous deadline and few tails.)
TEST_F(RegistrationTest, ServingTailsPublishAndRunUntilQuit)
{
  const char* tails[] = {"-Embedding", "/Embedding/RegServer"};
  for (const char* tailText : tails) {
    ServerThread server;
    server.tail = tailText;
    EXPECT_TRUE(server.Start()) << "[" << tailText << "] published";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    DWORD thread = std::atomic_ref<DWORD>(mainThreadId).load();
    while (!PostThreadMessageW(thread, WM_QUIT, 0, 0) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server.thread.join();
    EXPECT_EQ(server.exitCode.load(), 0) << tailText;
    EXPECT_EQ(serverClassEntry.registrationCookie, 0u);
    EXPECT_EQ(serverClassEntry.classObject, nullptr);
    EXPECT_FALSE(KeyExists(kLocalServerKey)) << "[" << tailText << "] registered nothing";
  }
}

// An object that lives when the quit arrives keeps the server serving (a
// client was handed the class object just before the quit): the server ends
// only after that object's last release, with exit code 0. (The object is
// asked for as IUnknown: under Wine it crosses from the server's apartment to
// the test's, and the unit prefix has no proxy of the bridge's interface.)
TEST_F(RegistrationTest, AnObjectAliveAtTheQuitKeepsTheServerServing)
{
  ASSERT_EQ(objectCount, 0);
  SetQuitActionForTesting(nullptr);  // the real quit: WM_QUIT to the server's thread
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  ServerThread server;
  EXPECT_TRUE(server.Start());

  IClassFactory* factory = nullptr;
  IUnknown* object = nullptr;
  EXPECT_EQ(CoGetClassObject(CLSID_CStiScannerComBridge, CLSCTX_LOCAL_SERVER, nullptr,
                             IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  if (factory != nullptr) {
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
              S_OK);
    factory->Release();
  }
  DWORD thread = std::atomic_ref<DWORD>(mainThreadId).load();
  EXPECT_TRUE(PostThreadMessageW(thread, WM_QUIT, 0, 0));
  // The quit is not acted on at all: the class object is not even suspended
  // (for the way out's first quiet spell) while the client works.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(ClassObjectHandedOut());
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(server.ended.load(), object == nullptr) << "the server serves while an object lives";

  if (object != nullptr) object->Release();
  server.ExpectEndedCleanly();
  CoUninitialize();
}

// A client that closed its last object (the quit is posted), and then
// creates one again after the loop took the quit, while a transfer keeps
// calling: the way out ends with the first call that finds the object, and
// the class object is handed out again while the calls go on, not only
// after a quiet spell that a transfer never leaves.
TEST_F(RegistrationTest, ACallThatFindsAnObjectEndsTheWayOutAtOnce)
{
  SetQuitActionForTesting(nullptr);
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  ServerThread server;
  ASSERT_TRUE(server.Start());
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_CStiScannerComBridge, CLSCTX_LOCAL_SERVER, nullptr,
                             IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  IUnknown* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
            S_OK);
  object->Release();
#ifndef _WIN32
  // Only here does the suspension show: the loop has taken the quit.
  const auto suspendedBy = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ClassObjectHandedOut() && std::chrono::steady_clock::now() < suspendedBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(ClassObjectHandedOut()) << "on the way out";
#endif
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
            S_OK);
  const DWORD thread = std::atomic_ref<DWORD>(mainThreadId).load();
  bool handedOut = false;
  const auto transferEnd = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < transferEnd) {
    EXPECT_TRUE(PostThreadMessageW(thread, WM_USER, 0, 0));
    handedOut = handedOut || ClassObjectHandedOut();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(handedOut) << "resumed while the transfer went on";
  EXPECT_FALSE(server.ended.load());
  object->Release();
  factory->Release();
  server.ExpectEndedCleanly();
  CoUninitialize();
}

// The way out of serving, step by step: a call that arrives after the class
// object was withdrawn (a client that COM's activation service handed the
// class object just before) has it published again, and resumed, before the
// call is answered; nothing comes of the call, so the server goes out again
// from the start and ends by itself. A publication that fails then is
// reported by the exit code.
TEST_F(RegistrationTest, ACallWhileWithdrawnPublishesTheClassObjectAgain)
{
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  for (const bool publishFails : {false, true}) {
    SCOPED_TRACE(publishFails ? "publication fails" : "published");
    ServerThread server;
    ASSERT_TRUE(server.Start());
    std::atomic_ref<DWORD> cookie(serverClassEntry.registrationCookie);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    const DWORD thread = std::atomic_ref<DWORD>(mainThreadId).load();

    EXPECT_TRUE(PostThreadMessageW(thread, WM_QUIT, 0, 0));
    while (cookie.load() != 0 && !server.ended && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    EXPECT_FALSE(server.ended.load()) << "withdrawn, and still answering what arrives";
    if (publishFails) FailPublishingForTesting(1);
    EXPECT_TRUE(PostThreadMessageW(thread, WM_USER, 0, 0)) << "a call on its way";
    if (publishFails) {
      server.thread.join();
      EXPECT_EQ(server.exitCode.load(), kExitRepublishFailed);
      EXPECT_EQ(serverClassEntry.registrationCookie, 0u);
      EXPECT_EQ(serverClassEntry.classObject, nullptr);
      continue;
    }
    while (cookie.load() == 0 && !server.ended && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_NE(cookie.load(), 0u) << "published again for the call";
    EXPECT_TRUE(ClassObjectHandedOut()) << "and not left suspended";
    server.ExpectEndedCleanly();
  }
  FailPublishingForTesting(0);
  CoUninitialize();
}

// A server that no client uses ends by itself once it has had no object and
// no lock for the idle time; a call starts the spell again. (The idle time is
// shortened here; the cross-process tests wait for the real one.)
TEST_F(RegistrationTest, AServerNobodyUsesEndsByItself)
{
  // 5 s, of which the last 2.15 s are left for the way out: without the
  // call the server would have ended after about 4 s.
  SetIdleEndForTesting(5000);
  ServerThread server;
  ASSERT_TRUE(server.Start());
  const auto published = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(published + std::chrono::milliseconds(2000));
  EXPECT_TRUE(PostThreadMessageW(std::atomic_ref<DWORD>(mainThreadId).load(), WM_USER, 0, 0));
  std::this_thread::sleep_until(published + std::chrono::milliseconds(4500));
  EXPECT_FALSE(server.ended.load()) << "the call started the idle spell again";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!server.ended && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(server.ended.load()) << "ended by itself";
  if (!server.ended) PostThreadMessageW(std::atomic_ref<DWORD>(mainThreadId).load(), WM_QUIT, 0, 0);
  server.thread.join();
  SetIdleEndForTesting(0);
  EXPECT_EQ(server.exitCode.load(), 0);
  EXPECT_EQ(serverClassEntry.registrationCookie, 0u);
}

#ifdef _WIN32
// A server that finds another one of the class published (Wine's activation
// service starts one for each client that asks at the same moment) and that
// nobody reaches ends by itself once its grace has passed. Here the other
// server is this test's thread holding the name. (The portable subset has
// no other process: there the name is always the server's own.)
TEST_F(RegistrationTest, ASecondServerThatNobodyReachesEndsByItself)
{
  // Created by an earlier server of this process, the mutex is only opened
  // here, and then taken.
  HANDLE other = CreateMutexW(nullptr, FALSE, kPublishedServerName);
  ASSERT_NE(other, nullptr);
  const DWORD taken = WaitForSingleObject(other, 0);
  ASSERT_TRUE(taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) << taken;
  ServerThread server;
  const auto started = std::chrono::steady_clock::now();
  server.Run();
  const auto deadline = started + std::chrono::seconds(60);
  while (!server.ended && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(server.ended.load()) << "ended by itself";
  if (!server.ended) PostThreadMessageW(std::atomic_ref<DWORD>(mainThreadId).load(), WM_QUIT, 0, 0);
  server.thread.join();
  EXPECT_EQ(server.exitCode.load(), 0);
  EXPECT_GE(took, std::chrono::milliseconds(kSecondServerGraceMilliseconds));
  EXPECT_LT(took, std::chrono::milliseconds(kIdleEndMilliseconds)) << "not after the idle time";
  ReleaseMutex(other);
  CloseHandle(other);
}
#endif

}  // namespace
