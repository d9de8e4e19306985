// Win32 events on Linux: manual and automatic reset, waits across threads, and handles
// that are refused once closed.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(EventTest, ManualAndAutoResetEventsReleaseWaitersAsWindowsDoes) {
  struct Case {
    const char* name;
    BOOL manualReset;
    BOOL initialState;
    DWORD firstWait;
    DWORD secondWait;
  };
  for (const Case& test : {Case{"manual, signalled", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
                           Case{"auto, signalled", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
                           Case{"manual, clear", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
                           Case{"auto, clear", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT}}) {
    SCOPED_TRACE(test.name);
    HANDLE event = CreateEventW(nullptr, test.manualReset, test.initialState, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), test.firstWait);
    EXPECT_EQ(WaitForSingleObject(event, 10), test.secondWait);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
  }
}

TEST(EventTest, SetEventWakesAnInfiniteWaitOnAnotherThread) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread setter([event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetEvent(event);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  setter.join();
  EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, ClosedHandlesAreRefused) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  HANDLE newer = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(newer, 0), WAIT_TIMEOUT);  // the stale handle reached nothing
  EXPECT_TRUE(CloseHandle(newer));
}

}  // namespace
