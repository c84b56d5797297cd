// Processes: a process handle signals when its process ends, whoever ended it and however it was
// opened; a child runs on its parent's device root with the arguments of its command line and no
// signal blocked, and is collected once a wait has seen it end; calls that cannot be met fail with their error codes.
#include <gtest/gtest.h>
#include <windows.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "test_root.h"

namespace {

TEST(Processes, AHandleSignalsWhenTheProcessEndsAndTheChildIsCollected) {
  testing_support::TempDeviceRoot root;
  // The command line holds the arguments alone; a quoted stretch is one argument.
  PROCESS_INFORMATION started{};
  // Signals this process blocks are not blocked in the child.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  ASSERT_TRUE(CreateProcessW(u"/bin/sh",
                             u"-c \"grep SigBlk /proc/self/status >$DEVICE_ROOT/blocked; echo $0 $DEVICE_ROOT "
                             u">$DEVICE_ROOT/seen; exec sleep 30\" \"two words\"",
                             nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started))
      << GetLastError();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(WaitForSingleObject(started.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  HANDLE opened = OpenProcess(SYNCHRONIZE, FALSE, started.dwProcessId);
  ASSERT_NE(opened, nullptr) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(opened, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // The child has written its file before it sleeps.
  std::string seen;
  for (int i = 0; i < 10000 && seen.find('\n') == std::string::npos; ++i) {
    seen = testing_support::ReadFile(root.path() + "/seen");
    if (seen.find('\n') == std::string::npos) WaitForSingleObject(started.hProcess, 1);
  }
  EXPECT_EQ(seen, "two words " + root.path() + "\n");
  EXPECT_EQ(testing_support::ReadFile(root.path() + "/blocked"), "SigBlk:\t0000000000000000\n");

  ASSERT_TRUE(TerminateProcess(started.hProcess, 0));
  EXPECT_EQ(WaitForSingleObject(opened, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(started.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(started.hThread, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  // Collected by the wait: no zombie is left, and an ended process cannot be terminated.
  errno = 0;
  EXPECT_EQ(waitpid(static_cast<pid_t>(started.dwProcessId), nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_FALSE(TerminateProcess(started.hProcess, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(started.hThread));
  EXPECT_TRUE(CloseHandle(started.hProcess));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Its id names no process any more.
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, started.dwProcessId), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Processes, CallsThatCannotBeMetFailWithTheirErrorCodes) {
  PROCESS_INFORMATION started{};
  EXPECT_FALSE(CreateProcessW(u"/no/such/program", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                              &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CreateProcessW(u"/dev/null", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Nothing the device does not take: handle inheritance, creation flags, no program.
  EXPECT_FALSE(CreateProcessW(u"/bin/true", nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, nullptr, &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CreateProcessW(u"/bin/true", nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                              nullptr, &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CreateProcessW(nullptr, u"x", nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // The program's own path; a buffer too small takes what fits, terminated.
  WCHAR path[1024];
  DWORD length = GetModuleFileNameW(nullptr, path, 1024);
  ASSERT_GT(length, 0u);
  EXPECT_TRUE(std::u16string(path, length).ends_with(u"/process_test"));
  WCHAR small[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(small, 3), std::u16string(path, 3));
  EXPECT_EQ(small[3], 0);
}

}  // namespace
