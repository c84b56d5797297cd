// End to end across processes: the real bin/touchtray owns the TOUCHTRAY window on a temporary
// device root, and this process finds it, posts to it as the touch driver does, and watches what
// is left on the root after touchtray stops, is stopped, or is killed.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{20000};  // generous: sanitizer builds start slowly
const char16_t kTray[] = u"TOUCHTRAY";

class TouchtrayTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> Start(const std::map<std::string, std::optional<std::string>> &environment = {}) {
    return std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/touchtray", std::vector<std::string>{}, environment);
  }
  std::unique_ptr<ChildProcess> StartReady() {
    auto tray = Start();
    EXPECT_TRUE(tray->WaitForLine(Stream::kStdout, "touchtray: window TOUCHTRAY ready", kBound));
    return tray;
  }
  // The entries of run/ that publish windows: records and sockets.
  std::vector<std::string> Published() const {
    std::vector<std::string> names;
    DIR *run = opendir((root_.path() + "/run").c_str());
    if (run == nullptr) return names;
    while (dirent *entry = readdir(run)) {
      std::string name = entry->d_name;
      if (name.starts_with("window")) names.push_back(name);
    }
    closedir(run);
    return names;
  }

  testing_support::TempDeviceRoot root_;
};

TEST_F(TouchtrayTest, RightButtonNoticePostedTheWayTheDriverDoesIsPrinted) {
  auto tray = StartReady();
  HWND window = FindWindowW(kTray, kTray);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(IsWindow(window));
  ASSERT_TRUE(PostMessageW(window, WM_RBUTTONDOWN, 0, 0));
  EXPECT_TRUE(tray->WaitForLine(Stream::kStdout, "WM_RBUTTONDOWN wParam=0 lParam=0", kBound));
  EXPECT_EQ(FindWindowW(u"touchtray", nullptr), window);
}

TEST_F(TouchtrayTest, BurstOfPostsArrivesCompleteInOrderWithTheirValues) {
  auto tray = StartReady();
  HWND window = FindWindowW(kTray, kTray);
  ASSERT_NE(window, nullptr);
  constexpr int kCount = 200;  // far more than a datagram socket queues by default
  for (int i = 1; i <= kCount; ++i) ASSERT_TRUE(PostMessageW(window, WM_USER + i, i, -i)) << i;
  ASSERT_TRUE(tray->WaitForLine(Stream::kStdout, "WM_USER+" + std::to_string(kCount) + " ", kBound));
  std::vector<std::string> expected{"touchtray: window TOUCHTRAY ready"};
  for (int i = 1; i <= kCount; ++i)
    expected.push_back("WM_USER+" + std::to_string(i) + " wParam=" + std::to_string(i) + " lParam=-" + std::to_string(i));
  EXPECT_EQ(tray->Lines(Stream::kStdout), expected);
  EXPECT_TRUE(PostMessageW(window, 0x0060, 1, 2));
  EXPECT_TRUE(tray->WaitForLine(Stream::kStdout, "message 0x0060 wParam=1 lParam=2", kBound));
}

TEST_F(TouchtrayTest, StopSignalsAndWmCloseDestroyTheWindowAndRemoveItsRecord) {
  struct Case {
    const char *what;
    int signal;  // 0: post WM_CLOSE instead
  };
  for (const Case &c : {Case{"SIGTERM", SIGTERM}, Case{"SIGINT", SIGINT}, Case{"WM_CLOSE", 0}}) {
    SCOPED_TRACE(c.what);
    auto tray = StartReady();
    HWND window = FindWindowW(kTray, kTray);
    ASSERT_NE(window, nullptr);
    if (c.signal != 0) ASSERT_TRUE(tray->Signal(c.signal));
    else ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    auto exit = tray->WaitForExit(kBound);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
    EXPECT_TRUE(tray->WaitForLine(Stream::kStdout, "WM_DESTROY wParam=0 lParam=0", kBound));
    EXPECT_EQ(Published(), std::vector<std::string>{});
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(FindWindowW(kTray, kTray), nullptr);
  }
}

TEST_F(TouchtrayTest, AfterAKillTheWindowIsGoneAndPostsFailCleanlyUntilANewTrayReplacesIt) {
  auto tray = StartReady();
  HWND killed = FindWindowW(kTray, kTray);
  ASSERT_NE(killed, nullptr);
  ASSERT_TRUE(tray->Signal(SIGKILL));
  ASSERT_TRUE(tray->WaitForExit(kBound));
  EXPECT_FALSE(Published().empty());  // a killed process cannot clean up
  EXPECT_EQ(FindWindowW(kTray, kTray), nullptr);
  EXPECT_FALSE(IsWindow(killed));
  EXPECT_FALSE(PostMessageW(killed, WM_RBUTTONDOWN, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  auto next = StartReady();
  HWND window = FindWindowW(kTray, kTray);
  ASSERT_NE(window, nullptr);
  EXPECT_NE(window, killed);
  EXPECT_TRUE(PostMessageW(window, WM_RBUTTONDOWN, 0, 0));
  EXPECT_TRUE(next->WaitForLine(Stream::kStdout, "WM_RBUTTONDOWN wParam=0 lParam=0", kBound));
}

TEST_F(TouchtrayTest, RefusesToStartTwiceOrWithoutADeviceRoot) {
  auto first = StartReady();
  auto second = Start();
  auto exit = second->WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 1);
  EXPECT_NE(second->Output(Stream::kStderr).find("a TOUCHTRAY window already exists on the device root"),
            std::string::npos);

  auto rootless = Start({{"DEVICE_ROOT", std::nullopt}});
  exit = rootless->WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 2);
  EXPECT_NE(rootless->Output(Stream::kStderr).find("no device root"), std::string::npos);
}

}  // namespace
