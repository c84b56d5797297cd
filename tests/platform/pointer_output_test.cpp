// Pointer output: the choice made from the registry and its errors, the log's lines and how they
// reach the file, the uinput output's error, and the sink that driver tests record events with.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_output.h"
#include "platform/pointer_output.h"
#include "platform/text.h"
#include "test_root.h"

namespace {

using platform::PointerEvent;
using testing_support::ReadFile;
using testing_support::TempDeviceRoot;
using Kind = PointerEvent::Kind;

class DebugCapture {
 public:
  DebugCapture() {
    platform::SetDebugOutputSink([this](const std::u16string &m) { messages.push_back(platform::ToUtf8(m)); });
  }
  ~DebugCapture() { platform::SetDebugOutputSink(nullptr); }
  std::vector<std::string> messages;
};

BOOL Call(const PointerEvent &event) {
  if (event.kind == Kind::Beep) return MessageBeep(event.beepType);
  mouse_event(event.flags, event.dx, event.dy, event.data, 0);
  return TRUE;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each test starts on a fresh device root with no output chosen, and leaves none behind.
class PointerOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetPointerOutput(); }
  void TearDown() override {
    platform::SetPointerSink(nullptr);
    platform::ResetPointerOutput();
  }

  void WriteInputKey(const std::string &values) const {
    root_.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n" + values);
  }
  std::string LogPath(const std::string &name = "pointer.log") const { return root_.path() + "/" + name; }
  void UseLog(const std::string &name = "pointer.log") const {
    WriteInputKey("\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + LogPath(name) + "\"\n");
  }

  TempDeviceRoot root_;
};

struct LogCase {
  PointerEvent call;
  const char *line;
};

const LogCase kLogCases[] = {
    {{Kind::MouseEvent, 0x8003, 12345, 54321, 0, 0}, "mouse_event flags=0x8003 dx=12345 dy=54321"},
    {{Kind::MouseEvent, 0x0004, 0, 0, 120, 0}, "mouse_event flags=0x0004 dx=0 dy=0"},
    {{Kind::MouseEvent, 0x18001, 65535, 65535, 0, 0}, "mouse_event flags=0x18001 dx=65535 dy=65535"},
    {{Kind::MouseEvent, 0x0001, 0xfffffffbu, 5, 0, 0}, "mouse_event flags=0x0001 dx=4294967291 dy=5"},
    {{Kind::Beep, 0, 0, 0, 0, 0}, "MessageBeep type=0"},
    {{Kind::Beep, 0, 0, 0, 0, 0xffffffffu}, "MessageBeep type=4294967295"},
};

TEST_F(PointerOutputTest, LogHasOneLinePerCallInItsFormat) {
  UseLog();
  for (const LogCase &c : kLogCases) EXPECT_TRUE(Call(c.call)) << c.call;
  std::vector<std::string> expected;
  for (const LogCase &c : kLogCases) expected.push_back(c.line);
  EXPECT_EQ(Lines(ReadFile(LogPath())), expected);
}

TEST_F(PointerOutputTest, LogAppendsToWhatTheFileHeldAndHoldsNothingBack) {
  testing_support::WriteFile(LogPath(), "earlier line\n");
  UseLog();
  mouse_event(0x8003, 1, 2, 0, 0);
  // Read while the output still has the file open: every line must already be in it.
  EXPECT_EQ(ReadFile(LogPath()), "earlier line\nmouse_event flags=0x8003 dx=1 dy=2\n");
}

TEST_F(PointerOutputTest, LinesOfTwoProcessesAppendingToOneLogNeverMix) {
  const int kLinesEach = 2000;
  UseLog();
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      for (int i = 0; i < kLinesEach; ++i) mouse_event(0x8001, static_cast<DWORD>(i), static_cast<DWORD>(child), 0, 0);
      _exit(0);
    }
  }
  for (pid_t pid : children) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(pidfd, 0);
    pollfd ended{pidfd, POLLIN, 0};
    if (poll(&ended, 1, 30000) != 1) {
      ADD_FAILURE() << "a writer did not finish within 30 s";
      kill(pid, SIGKILL);
    }
    close(pidfd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::regex line("mouse_event flags=0x8001 dx=(\\d+) dy=([01])");
  int next[2] = {0, 0};
  for (const std::string &text : Lines(ReadFile(LogPath()))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << "mixed or broken line: " << text;
    int writer = std::stoi(match[2]);
    EXPECT_EQ(std::stoi(match[1]), next[writer]++) << "writer " << writer << " lost or reordered a line";
  }
  EXPECT_EQ(next[0], kLinesEach);
  EXPECT_EQ(next[1], kLinesEach);
}

// Without the key, a process with a display logs to standard output; without a display the
// events go to the device root's windows (tests/platform/pointer_windows_test.cpp).
TEST_F(PointerOutputTest, LogGoesToStandardOutputWithoutTheKeyOnADisplay) {
  root_.WriteHive("");
  const char *display = std::getenv("DISPLAY");
  const std::string saved = display != nullptr ? display : "";
  setenv("DISPLAY", ":99", 1);
  std::string captured = root_.path() + "/stdout";
  std::fflush(stdout);
  int savedOut = dup(STDOUT_FILENO);
  int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(file, 0);
  dup2(file, STDOUT_FILENO);
  close(file);
  mouse_event(0x8002, 7, 8, 0, 0);
  BOOL beeped = MessageBeep(MB_ICONEXCLAMATION);
  dup2(savedOut, STDOUT_FILENO);
  close(savedOut);
  if (display != nullptr) {
    setenv("DISPLAY", saved.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
  EXPECT_TRUE(beeped);
  EXPECT_EQ(ReadFile(captured), "mouse_event flags=0x8002 dx=7 dy=8\nMessageBeep type=48\n");
}

TEST_F(PointerOutputTest, RelativePointerLogNamesAFileInTheDeviceRoot) {
  WriteInputKey("\"PointerLog\"=\"relative.log\"\n");
  mouse_event(0x8001, 3, 4, 0, 0);
  EXPECT_EQ(ReadFile(LogPath("relative.log")), "mouse_event flags=0x8001 dx=3 dy=4\n");
}

TEST_F(PointerOutputTest, FirstCallChoosesTheOutputAndResetMakesTheNextChooseAgain) {
  UseLog("first.log");
  mouse_event(0x8001, 1, 1, 0, 0);
  UseLog("second.log");
  mouse_event(0x8001, 2, 2, 0, 0);
  platform::ResetPointerOutput();
  mouse_event(0x8001, 3, 3, 0, 0);
  EXPECT_EQ(ReadFile(LogPath("first.log")), "mouse_event flags=0x8001 dx=1 dy=1\nmouse_event flags=0x8001 dx=2 dy=2\n");
  EXPECT_EQ(ReadFile(LogPath("second.log")), "mouse_event flags=0x8001 dx=3 dy=3\n");
}

struct UnusableCase {
  const char *values;   // of HKLM\Platform\Input
  const char *message;  // the one debug line
};

// Every case also names pointer.log in the device root (where the hive allows), to show that
// nothing falls back to the log.
const UnusableCase kUnusableCases[] = {
    {"\"Pointer\"=\"mouse\"\n",
     "gwes: Pointer is \"mouse\", which names no pointer output: set HKLM\\Platform\\Input \"Pointer\" to \"windows\", "
     "\"log\", \"xtest\" or \"uinput\"; mouse_event and MessageBeep calls are dropped\n"},
    {"\"Pointer\"=\"\"\n", "gwes: Pointer is \"\", which names no pointer output"},
    {"\"Pointer\"=dword:00000001\n",
     "gwes: HKLM\\Platform\\Input \"Pointer\" is not a string: make it a REG_SZ value; mouse_event and MessageBeep "
     "calls are dropped\n"},
    {"\"Pointer\"=\"log\"\n\"PointerLog\"=hex:41,00\n", "gwes: HKLM\\Platform\\Input \"PointerLog\" is not a string"},
    {"\"Pointer\"=\"log\"\n\"PointerLog\"=\"missing-folder/pointer.log\"\n",
     "cannot be opened: No such file or directory: create its folder or make it writable, or change "
     "HKLM\\Platform\\Input \"PointerLog\"; mouse_event and MessageBeep calls are dropped\n"},
};

TEST_F(PointerOutputTest, UnusableSettingsAreReportedOnceAndTheCallsDropped) {
  for (const UnusableCase &c : kUnusableCases) {
    SCOPED_TRACE(c.values);
    std::string values = c.values;
    if (values.find("PointerLog") == std::string::npos) values += "\"PointerLog\"=\"" + LogPath() + "\"\n";
    WriteInputKey(values);
    platform::ResetPointerOutput();
    DebugCapture capture;
    mouse_event(0x8003, 1, 2, 0, 0);
    mouse_event(0x8005, 1, 2, 0, 0);
    SetLastError(0);
    EXPECT_FALSE(MessageBeep(0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_NE(capture.messages[0].find(c.message), std::string::npos) << capture.messages[0];
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
  }
}

TEST_F(PointerOutputTest, LogThatCannotBeWrittenIsReportedOnceAndBeepFails) {
  WriteInputKey("\"PointerLog\"=\"/dev/full\"\n");
  DebugCapture capture;
  mouse_event(0x8003, 1, 2, 0, 0);
  mouse_event(0x8005, 1, 2, 0, 0);
  EXPECT_FALSE(MessageBeep(0));
  EXPECT_EQ(capture.messages,
            std::vector<std::string>{"gwes: cannot write to the pointer log /dev/full: No space left on device: free "
                                     "space or correct HKLM\\Platform\\Input \"PointerLog\"; the lines that fail are "
                                     "lost\n"});
}

TEST_F(PointerOutputTest, UinputThatCannotBeOpenedIsReportedOnce) {
  if (access("/dev/uinput", W_OK) == 0) GTEST_SKIP() << "/dev/uinput can be opened here";
  WriteInputKey("\"Pointer\"=\"uinput\"\n");
  DebugCapture capture;
  mouse_event(0x8003, 1, 2, 0, 0);
  mouse_event(0x8005, 1, 2, 0, 0);
  EXPECT_FALSE(MessageBeep(0));
  ASSERT_EQ(capture.messages.size(), 1u);
  EXPECT_EQ(capture.messages[0].rfind("gwes: Pointer is \"uinput\" but /dev/uinput cannot be opened: ", 0), 0u)
      << capture.messages[0];
  EXPECT_NE(capture.messages[0].find("modprobe uinput"), std::string::npos) << capture.messages[0];
}

TEST_F(PointerOutputTest, SinkReceivesEveryCallInOrderInsteadOfTheOutput) {
  UseLog();
  std::vector<PointerEvent> seen;
  platform::SetPointerSink([&seen](const PointerEvent &event) { seen.push_back(event); });
  mouse_event(0x8003, 100, 200, 5, 99);
  EXPECT_TRUE(MessageBeep(MB_OK));
  mouse_event(0x8005, 300, 400, 0, 0);
  platform::SetPointerSink(nullptr);
  mouse_event(0x8001, 1, 1, 0, 0);
  EXPECT_EQ(seen, (std::vector<PointerEvent>{{Kind::MouseEvent, 0x8003, 100, 200, 5, 0},
                                             {Kind::Beep, 0, 0, 0, 0, MB_OK},
                                             {Kind::MouseEvent, 0x8005, 300, 400, 0, 0}}));
  EXPECT_EQ(ReadFile(LogPath()), "mouse_event flags=0x8001 dx=1 dy=1\n");
}

// Records events and lets a test wait until it holds enough of them.
class Recorder {
 public:
  void operator()(const PointerEvent &event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
  }
  std::vector<PointerEvent> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PointerEvent> events_;
};

TEST_F(PointerOutputTest, SwitchingSinksWhileThreadsCallLosesReordersAndRepeatsNothing) {
  const int kThreads = 4;
  const int kCallsEach = 2000;
  UseLog();
  Recorder first, second;
  platform::SetPointerSink([&first](const PointerEvent &event) { first(event); });
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([t] {
      for (int i = 0; i < kCallsEach; ++i) mouse_event(0x8001, static_cast<DWORD>(i), static_cast<DWORD>(t), 0, 0);
    });
  }
  ASSERT_TRUE(first.WaitFor(100));
  platform::SetPointerSink([&second](const PointerEvent &event) { second(event); });
  size_t firstCount = first.Events().size();
  for (std::thread &caller : callers) caller.join();

  EXPECT_EQ(first.Events().size(), firstCount) << "the replaced sink was still called";
  std::vector<int> next(kThreads, 0);
  for (Recorder *recorder : {&first, &second}) {
    for (const PointerEvent &event : recorder->Events()) {
      ASSERT_LT(event.dy, static_cast<DWORD>(kThreads));
      EXPECT_EQ(event.dx, static_cast<DWORD>(next[event.dy]++)) << "thread " << event.dy;
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kCallsEach) << "thread " << t;
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

}  // namespace
