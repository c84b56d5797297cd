// Pointer output: the choice made from the registry and its errors, the log's lines and how they
// reach the file, the uinput output's device, event stream and error, and the sink that driver
// tests record events with.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_output.h"
#include "platform/pointer_output.h"
#include "platform/text.h"
#include "pointer_uinput.h"
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

TEST_F(PointerOutputTest, RelativePointerLogNamesAFileInTheDeviceRootMadeForItsGroupToRead) {
  WriteInputKey("\"PointerLog\"=\"relative.log\"\n");
  const mode_t umask = ::umask(0);
  mouse_event(0x8001, 3, 4, 0, 0);
  ::umask(umask);
  EXPECT_EQ(ReadFile(LogPath("relative.log")), "mouse_event flags=0x8001 dx=3 dy=4\n");
  struct stat info {};
  ASSERT_EQ(stat(LogPath("relative.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
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

// A log that stops taking lines: a file beyond this process's file size limit.
TEST_F(PointerOutputTest, LogThatCannotBeWrittenIsReportedOnceAndBeepFails) {
  testing_support::WriteFile(LogPath(), "earlier line\n");
  UseLog();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4;
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  DebugCapture capture;
  mouse_event(0x8003, 1, 2, 0, 0);
  mouse_event(0x8005, 1, 2, 0, 0);
  BOOL beeped = MessageBeep(0);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(beeped);
  EXPECT_EQ(capture.messages,
            std::vector<std::string>{"gwes: cannot write to the pointer log " + LogPath() +
                                     ": File too large: free space or correct HKLM\\Platform\\Input \"PointerLog\"; "
                                     "the lines that fail are lost\n"});
}

// A log that is not a plain file of its own: whoever made it could have it lead to any file the
// program may write (it may run as root), so the file is left alone and the calls dropped.
TEST_F(PointerOutputTest, LogThatIsNotAPlainFileOfItsOwnIsRefusedWithOneLine) {
  const std::string victim = root_.path() + "/victim";
  const std::string elsewhere = root_.path() + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  struct Case {
    const char *what;
    std::string pointerLog;  // relative names are in the device root
    std::function<void()> make;
    std::string message;  // what follows PointerLog "ROOT/NAME"
    bool asRoot = false;
  };
  const Case cases[] = {
      {"symbolic link", "link.log", [&] { symlink(victim.c_str(), LogPath("link.log").c_str()); },
       " is refused: " + LogPath("link.log") + " is a symbolic link, which could lead anywhere: remove it, or name "
       "another file in HKLM\\Platform\\Input \"PointerLog\""},
      {"absolute name of a symbolic link", LogPath("link.log"),
       [&] { symlink(victim.c_str(), LogPath("link.log").c_str()); },
       " is refused: " + LogPath("link.log") + " is a symbolic link"},
      {"symbolic link on the way", "run/linked/pointer.log",
       [&] {
         mkdir(LogPath("run").c_str(), 0770);
         symlink(elsewhere.c_str(), LogPath("run/linked").c_str());
       },
       " is refused: " + LogPath("run/linked") + " is a symbolic link or not a folder"},
      {"hard link", "hard.log", [&] { link(victim.c_str(), LogPath("hard.log").c_str()); },
       " is refused: " + LogPath("hard.log") + " has 2 names (hard links), so it may be another file"},
      {"FIFO", "fifo.log", [&] { mkfifo(LogPath("fifo.log").c_str(), 0600); },
       " is refused: " + LogPath("fifo.log") + " is not a regular file"},
      {"device", "/dev/full", [] {}, " is refused: /dev/full is not a regular file"},
      {"someone else's file", "theirs.log",
       [&] {
         testing_support::WriteFile(LogPath("theirs.log"), "");
         chown(LogPath("theirs.log").c_str(), 61000, 61000);
       },
       " is refused: " + LogPath("theirs.log") + " belongs to ", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.asRoot && geteuid() != 0) continue;  // only root can give a file away
    std::filesystem::remove_all(LogPath("run"));
    for (const char *name : {"link.log", "hard.log", "fifo.log", "theirs.log"}) unlink(LogPath(name).c_str());
    testing_support::WriteFile(victim, "precious\n");
    c.make();
    WriteInputKey("\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + c.pointerLog + "\"\n");
    platform::ResetPointerOutput();
    DebugCapture capture;
    mouse_event(0x8003, 1, 2, 0, 0);
    EXPECT_FALSE(MessageBeep(0));
    const std::string shown = c.pointerLog.front() == '/' ? c.pointerLog : LogPath(c.pointerLog);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0].rfind("gwes: PointerLog \"" + shown + "\"" + c.message, 0), 0u)
        << capture.messages[0];
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
  }
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

TEST(PointerUinputSetupTest, AnnouncesADirectTouchScreenOverTheWholeRange) {
  platform::UinputDeviceSetup setup = platform::TouchScreenSetup();
  auto has = [&](unsigned long request, int code) {
    return std::any_of(setup.bits.begin(), setup.bits.end(),
                       [&](const platform::UinputBit &bit) { return bit.request == request && bit.code == code; });
  };
  EXPECT_TRUE(has(UI_SET_PROPBIT, INPUT_PROP_DIRECT));
  for (int type : {EV_SYN, EV_KEY, EV_ABS}) EXPECT_TRUE(has(UI_SET_EVBIT, type)) << type;
  EXPECT_FALSE(has(UI_SET_EVBIT, EV_REL)) << "a relative axis makes it a mouse";
  for (int key : {BTN_TOUCH, BTN_LEFT, BTN_RIGHT}) EXPECT_TRUE(has(UI_SET_KEYBIT, key)) << key;
  ASSERT_EQ(setup.axes.size(), 2u);
  for (const uinput_abs_setup &axis : setup.axes) {
    EXPECT_TRUE(axis.code == ABS_X || axis.code == ABS_Y) << axis.code;
    EXPECT_TRUE(has(UI_SET_ABSBIT, axis.code)) << axis.code;
    EXPECT_EQ(axis.absinfo.minimum, 0);
    EXPECT_EQ(axis.absinfo.maximum, 65535);
    EXPECT_GT(axis.absinfo.resolution, 0) << "libinput needs a size for a touch screen";
  }
  EXPECT_NE(setup.axes[0].code, setup.axes[1].code);
  EXPECT_STREQ(setup.device.name, "Norvik touch screen pointer");
}

// What one mouse_event call puts on the uinput device, as (type, code, value).
struct UinputCase {
  DWORD flags, dx, dy;
  std::vector<std::array<int, 3>> events;
};
constexpr int kSyn = EV_SYN, kKey = EV_KEY, kAbs = EV_ABS;
const UinputCase kUinputCases[] = {
    {0x8001, 100, 200, {{kAbs, ABS_X, 100}, {kAbs, ABS_Y, 200}, {kSyn, SYN_REPORT, 0}}},
    {0x8003, 300, 400, {{kAbs, ABS_X, 300}, {kAbs, ABS_Y, 400}, {kKey, BTN_TOUCH, 1}, {kKey, BTN_LEFT, 1},
                        {kSyn, SYN_REPORT, 0}}},
    {0x8001, 70000, 65535, {{kAbs, ABS_X, 65535}, {kAbs, ABS_Y, 65535}, {kSyn, SYN_REPORT, 0}}},
    {0x8005, 500, 600, {{kAbs, ABS_X, 500}, {kAbs, ABS_Y, 600}, {kKey, BTN_TOUCH, 0}, {kKey, BTN_LEFT, 0},
                        {kSyn, SYN_REPORT, 0}}},
    {0x0008, 0, 0, {{kKey, BTN_TOUCH, 1}, {kKey, BTN_RIGHT, 1}, {kSyn, SYN_REPORT, 0}}},
    {0x0010, 0, 0, {{kKey, BTN_TOUCH, 0}, {kKey, BTN_RIGHT, 0}, {kSyn, SYN_REPORT, 0}}},
    {0x0001, 5, 5, {}},
    // A tap in one call: the press and the release each need a frame of their own.
    {0x8007, 7, 8, {{kAbs, ABS_X, 7}, {kAbs, ABS_Y, 8}, {kKey, BTN_TOUCH, 1}, {kKey, BTN_LEFT, 1},
                    {kSyn, SYN_REPORT, 0}, {kKey, BTN_TOUCH, 0}, {kKey, BTN_LEFT, 0}, {kSyn, SYN_REPORT, 0}}},
};

TEST_F(PointerOutputTest, UinputFramesEachCallAsATouchAtItsPosition) {
  const std::string stream = LogPath("uinput.events");
  std::fclose(std::fopen(stream.c_str(), "w"));
  setenv("PLATFORM_UINPUT_DEVICE", stream.c_str(), 1);
  WriteInputKey("\"Pointer\"=\"uinput\"\n");
  DebugCapture capture;
  std::vector<std::array<int, 3>> expected;
  for (const UinputCase &c : kUinputCases) {
    mouse_event(c.flags, c.dx, c.dy, 0, 0);
    expected.insert(expected.end(), c.events.begin(), c.events.end());
  }
  platform::ResetPointerOutput();
  unsetenv("PLATFORM_UINPUT_DEVICE");

  std::string bytes = ReadFile(stream);
  ASSERT_EQ(bytes.size() % sizeof(input_event), 0u);
  std::vector<std::array<int, 3>> written;
  for (size_t at = 0; at < bytes.size(); at += sizeof(input_event)) {
    input_event event;
    std::memcpy(&event, bytes.data() + at, sizeof event);
    written.push_back({event.type, event.code, event.value});
  }
  EXPECT_EQ(written, expected);
  ASSERT_EQ(capture.messages.size(), 2u) << "said once each: a file instead of a device, the relative move";
  EXPECT_NE(capture.messages[0].find("is not a device"), std::string::npos) << capture.messages[0];
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
