// Events and the thread message queue as Windows runs them: reset modes, named
// events sharing one object, time-outs, access of opened handles, messages
// posted across threads and WM_QUIT ending the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

#ifdef _WIN32
#include <aclapi.h>
#endif

namespace {

using Text = std::basic_string<WCHAR>;

// A name no other test (or earlier run) uses.
Text UniqueName(const char* what)
{
  std::string name = std::string("stibridge-tests-") + what + "-" +
                     std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
  return Text(name.begin(), name.end());
}

TEST(PlatformEvents, AutoResetReleasesOneWaitAndResets)
{
  HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(event));
}

TEST(PlatformEvents, ManualResetStaysSignaledUntilReset)
{
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  CloseHandle(event);
}

TEST(PlatformEvents, AutoResetWakesExactlyOneOfTwoWaiters)
{
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event, 1500) == WAIT_OBJECT_0) ++released;
  };
  std::thread a(waiter), b(waiter);
  Sleep(100);
  SetEvent(event);
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 1);
  CloseHandle(event);
}

TEST(PlatformEvents, WaitHonoursTimeOutAndWakesOnSet)
{
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(event, 200), DWORD(WAIT_TIMEOUT));
  ULONGLONG waited = GetTickCount64() - start;
  EXPECT_GE(waited, 150u);  // tick granularity is up to 16 ms on Windows
  EXPECT_LT(waited, 2000u);

  std::thread setter([&] {
    Sleep(50);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), DWORD(WAIT_OBJECT_0));
  setter.join();
  CloseHandle(event);
}

TEST(PlatformEvents, ExistingNameSharesTheEventAndKeepsItsMode)
{
  Text name = UniqueName("named");
  SetLastError(ERROR_INVALID_PARAMETER);
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));

  // Asked for auto-reset and signaled, the second call gets the existing
  // manual-reset, non-signaled event.
  HANDLE second = CreateEventW(nullptr, FALSE, TRUE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_NE(first, second);
  EXPECT_EQ(WaitForSingleObject(second, 0), DWORD(WAIT_TIMEOUT));
  SetEvent(first);
  EXPECT_EQ(WaitForSingleObject(second, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(second, 0), DWORD(WAIT_OBJECT_0));

  // The event outlives one closed handle.
  CloseHandle(first);
  HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(WaitForSingleObject(opened, 0), DWORD(WAIT_OBJECT_0));
  CloseHandle(opened);

  // Once the last handle is gone, so is the name.
  CloseHandle(second);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(PlatformEvents, OpenedHandleHasOnlyItsAccess)
{
  Text name = UniqueName("access");
  HANDLE owner = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
  ASSERT_NE(waitOnly, nullptr);
  EXPECT_FALSE(SetEvent(waitOnly));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  HANDLE modifyOnly = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
  ASSERT_NE(modifyOnly, nullptr);
  EXPECT_TRUE(SetEvent(modifyOnly));
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), DWORD(WAIT_OBJECT_0));
  CloseHandle(modifyOnly);
  CloseHandle(waitOnly);
  CloseHandle(owner);
}

// The events the server makes for its clients admit the user it runs as,
// whatever the elevation of the process that made them, and SYSTEM; no
// group (Administrators) stands in for the user. The portable subset has no
// object security.
TEST(PlatformEvents, ServerEventsAdmitTheUserWhateverItsElevation)
{
  SECURITY_ATTRIBUTES* security = platform_server::UserObjectSecurity();
#ifdef _WIN32
  ASSERT_NE(security, nullptr);
  const Text name = UniqueName("user-event");
  HANDLE event = CreateEventW(security, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  HANDLE opened = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
  EXPECT_NE(opened, nullptr);
  if (opened != nullptr) CloseHandle(opened);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed));
  CloseHandle(token);
  PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  PSID system = nullptr, administrators = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-18"), &system));
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-32-544"), &administrators));

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor),
            DWORD(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  bool userAllowed = false, systemAllowed = false, administratorsNamed = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = &allowed->SidStart;
    const bool full =
        allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        (allowed->Mask & GENERIC_ALL || (allowed->Mask & EVENT_ALL_ACCESS) == EVENT_ALL_ACCESS);
    userAllowed = userAllowed || (full && EqualSid(sid, user));
    systemAllowed = systemAllowed || (full && EqualSid(sid, system));
    administratorsNamed = administratorsNamed || EqualSid(sid, administrators);
  }
  EXPECT_TRUE(userAllowed);
  EXPECT_TRUE(systemAllowed);
  EXPECT_FALSE(administratorsNamed);
  LocalFree(descriptor);
  LocalFree(system);
  LocalFree(administrators);
  CloseHandle(event);
  EXPECT_EQ(platform_server::UserObjectSecurity(), security) << "made once";
#else
  EXPECT_EQ(security, nullptr);
#endif
}

TEST(PlatformEvents, ClosedHandleIsInvalid)
{
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(PlatformMessages, PostedMessagesArriveInOrderAndQuitEndsTheLoop)
{
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> loopThread{0};
  std::vector<UINT> received;
  int getResult = -2;
  WPARAM exitCode = 0;
  std::thread loop([&] {
    MSG message;
    // The first message call gives the thread its queue.
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    loopThread = GetCurrentThreadId();
    SetEvent(ready);
    BOOL result;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
      received.push_back(message.message);
      EXPECT_EQ(message.wParam, WPARAM(message.message - WM_USER));
      DispatchMessageW(&message);
    }
    getResult = result;
    exitCode = message.wParam;
  });
  ASSERT_EQ(WaitForSingleObject(ready, 5000), DWORD(WAIT_OBJECT_0));
  EXPECT_NE(loopThread.load(), GetCurrentThreadId());
  EXPECT_TRUE(PostThreadMessageW(loopThread, WM_USER + 1, 1, 0));
  EXPECT_TRUE(PostThreadMessageW(loopThread, WM_USER + 2, 2, 0));
  EXPECT_TRUE(PostThreadMessageW(loopThread, WM_QUIT, 42, 0));
  loop.join();
  EXPECT_EQ(received, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
  EXPECT_EQ(getResult, 0);
  EXPECT_EQ(exitCode, WPARAM(42));
  CloseHandle(ready);
}

TEST(PlatformMessages, PostQuitMessageEndsOwnLoopAfterPendingMessages)
{
  std::thread loop([] {
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    PostQuitMessage(7);
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.message, UINT(WM_USER));
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), FALSE);
    EXPECT_EQ(message.message, UINT(WM_QUIT));
    EXPECT_EQ(message.wParam, WPARAM(7));
  });
  loop.join();
}

std::atomic<UINT_PTR> timerProcedureRan{0};

void CALLBACK RecordTimer(HWND, UINT, UINT_PTR id, DWORD)
{
  timerProcedureRan = id;
}

// The wait of a message loop that has something else to do when nothing
// arrives: a thread timer's WM_TIMER ends it, not before the timer's period;
// a posted message waiting comes first; a timer set anew keeps its id, and
// one killed rings no more; a timer's procedure runs when its message is
// dispatched, not when it is taken.
TEST(PlatformMessages, AThreadTimerEndsTheWaitWhenNothingElseArrives)
{
  std::thread loop([] {
    MSG message;
    const ULONGLONG started = GetTickCount64();
    const UINT_PTR id = SetTimer(nullptr, 0, 50, nullptr);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.message, UINT(WM_TIMER));
    EXPECT_EQ(message.wParam, WPARAM(id));
    EXPECT_EQ(message.hwnd, nullptr);
    EXPECT_GE(GetTickCount64() - started, 40u) << "not before its period";

    EXPECT_EQ(SetTimer(nullptr, id, 20, nullptr), id) << "set anew";
    Sleep(60);
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.message, UINT(WM_USER)) << "a posted message before a ring that is due";
    ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.message, UINT(WM_TIMER));

    EXPECT_TRUE(KillTimer(nullptr, id));
    EXPECT_FALSE(KillTimer(nullptr, id));
    Sleep(60);
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        << "a killed timer rings no more";

    const UINT_PTR withProcedure = SetTimer(nullptr, 0, 10, RecordTimer);
    ASSERT_NE(withProcedure, 0u);
    ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.message, UINT(WM_TIMER));
    EXPECT_EQ(timerProcedureRan.load(), 0u);
    DispatchMessageW(&message);
    EXPECT_EQ(timerProcedureRan.load(), withProcedure);
    EXPECT_TRUE(KillTimer(nullptr, withProcedure));
  });
  loop.join();
}

TEST(PlatformThreads, ThreadIdIsStablePerThreadAndDistinct)
{
  DWORD mine = GetCurrentThreadId();
  EXPECT_EQ(GetCurrentThreadId(), mine);
  DWORD other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_NE(other, 0u);
}

TEST(PlatformThreads, LastErrorIsPerThread)
{
  // Only atomics between the two threads: any API call may change the value.
  std::atomic<int> step{0};
  DWORD seenByOther = 0;
  std::thread other([&] {
    SetLastError(99);
    step = 1;
    while (step.load() != 2) {
    }
    seenByOther = GetLastError();
  });
  while (step.load() != 1) {
  }
  SetLastError(1234);
  DWORD seenHere = GetLastError();
  step = 2;
  other.join();
  EXPECT_EQ(seenHere, 1234u);
  EXPECT_EQ(seenByOther, 99u);
}

}  // namespace
