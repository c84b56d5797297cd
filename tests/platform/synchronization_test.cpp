// Events, threads and waits: the contracts the driver's start/stop handshake relies on.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <windows.h>

#include <thread>

#include "kernel_object.h"

namespace {

TEST(Events, AutoResetReleasesOneWaitThenResets) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(EventModify(event, EVENT_SET));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
}

TEST(Events, TimedWaitExpires) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  DWORD before = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(GetTickCount() - before, 25u);
  CloseHandle(event);
}

DWORD WINAPI SetEventLater(LPVOID parameter) {
  SetEvent(static_cast<HANDLE>(parameter));
  return 7;
}

TEST(Threads, ThreadSignalsEventAndReportsExitCode) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, SetEventLater, event, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  CloseHandle(event);
}

struct Relay {
  HANDLE go;
  HANDLE done;
};

DWORD WINAPI WaitThenSignal(LPVOID parameter) {
  auto *relay = static_cast<Relay *>(parameter);
  WaitForSingleObject(relay->go, 10000);
  SetEvent(relay->done);
  return 0;
}

TEST(Threads, ClosingTheThreadHandleEarlyLeavesTheThreadRunning) {
  Relay relay{CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &relay, 0, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  SetEvent(relay.go);
  EXPECT_EQ(WaitForSingleObject(relay.done, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(relay.go);
  CloseHandle(relay.done);
}

int ThreadNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); }

DWORD WINAPI ReportNice(LPVOID parameter) {
  *static_cast<int *>(parameter) = ThreadNice();
  return 0;
}

// A thread that lowered its own priority (a serving thread in devmgr) still makes threads with the
// process's: the nice value is not inherited from the creating thread.
TEST(Threads, ANewThreadGetsTheProcessesStartNiceNotItsCreators) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a thread back a lower nice value";
  const int start = ThreadNice();
  int created = -100;
  std::thread([&] {
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), start + 5), 0);
    HANDLE thread = CreateThread(nullptr, 0, ReportNice, &created, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(thread);
  }).join();
  EXPECT_EQ(created, start);
}

TEST(Handles, ClosedOrUnknownHandlesFailWithInvalidHandle) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x12345678)));
}

TEST(Handles, AThreadHandleIsNotAnEvent) {
  Relay relay{CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &relay, 0, nullptr);
  SetLastError(0);
  EXPECT_FALSE(SetEvent(thread));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetEvent(relay.go);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(thread);
  CloseHandle(relay.go);
  CloseHandle(relay.done);
}

TEST(Handles, OpenHandleCountReturnsToWhereItWas) {
  size_t before = platform::OpenHandleCount();
  HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(platform::OpenHandleCount(), before + 2);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(platform::OpenHandleCount(), before);
}

DWORD WINAPI SetErrorAndReport(LPVOID parameter) {
  SetLastError(1234);
  *static_cast<DWORD *>(parameter) = GetLastError();
  return 0;
}

TEST(LastError, IsPerThread) {
  SetLastError(55);
  DWORD seen = 0;
  HANDLE thread = CreateThread(nullptr, 0, SetErrorAndReport, &seen, 0, nullptr);
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  EXPECT_EQ(seen, 1234u);
  EXPECT_EQ(GetLastError(), 55u);
}

TEST(Interlocked, OperationsReturnTheDocumentedValues) {
  LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 0), 5);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 1), 0);  // no match: unchanged
  EXPECT_EQ(value, 0);
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 0), 0);
  EXPECT_EQ(value, 9);
  value = static_cast<LONG>(0x80000003u);
  EXPECT_EQ(InterlockedAnd(&value, 0x7fffffff), static_cast<LONG>(0x80000003u));
  EXPECT_EQ(value, 3);
}

DWORD WINAPI IncrementMany(LPVOID parameter) {
  for (int i = 0; i < 100000; ++i) InterlockedIncrement(static_cast<LONG *>(parameter));
  return 0;
}

TEST(Interlocked, ConcurrentIncrementsAreNotLost) {
  LONG counter = 0;
  HANDLE threads[4];
  for (auto &thread : threads) thread = CreateThread(nullptr, 0, IncrementMany, &counter, 0, nullptr);
  for (auto &thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  EXPECT_EQ(counter, 400000);
}

}  // namespace
