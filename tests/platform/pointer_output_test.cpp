// Pointer output: the choice made from the registry and its errors, the log's lines and how they
// reach the file, the uinput outputs' devices, event streams and errors, and the sink that driver
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
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_output.h"
#include "platform/device_root.h"
#include "platform/pointer_output.h"
#include "platform/text.h"
#include "pointer_backend.h"
#include "pointer_uinput.h"
#include "platform/input_identity.h"
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
     "\"log\", \"xtest\", \"uinput\" or \"uinput-touch\"; mouse_event and MessageBeep calls are dropped until it starts (tried again every 2 s)\n"},
    {"\"Pointer\"=\"\"\n", "gwes: Pointer is \"\", which names no pointer output"},
    {"\"Pointer\"=dword:00000001\n",
     "gwes: HKLM\\Platform\\Input \"Pointer\" is not a string: make it a REG_SZ value; mouse_event and MessageBeep "
     "calls are dropped until it starts (tried again every 2 s)\n"},
    {"\"Pointer\"=\"log\"\n\"PointerLog\"=hex:41,00\n", "gwes: HKLM\\Platform\\Input \"PointerLog\" is not a string"},
    {"\"Pointer\"=\"log\"\n\"PointerLog\"=\"missing-folder/pointer.log\"\n",
     "cannot be opened: No such file or directory: create its folder or make it writable, or change "
     "HKLM\\Platform\\Input \"PointerLog\"; mouse_event and MessageBeep calls are dropped until it starts (tried again every 2 s)\n"},
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
  for (const char *output : {"uinput", "uinput-touch"}) {
    SCOPED_TRACE(output);
    // Any letter case names the output; the line names it as it is documented.
    std::string given = output;
    given[0] = 'U';
    WriteInputKey("\"Pointer\"=\"" + given + "\"\n");
    platform::ResetPointerOutput();
    DebugCapture capture;
    mouse_event(0x8003, 1, 2, 0, 0);
    mouse_event(0x8005, 1, 2, 0, 0);
    EXPECT_FALSE(MessageBeep(0));
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0].rfind(std::string("gwes: Pointer is \"") + output +
                                            "\" but /dev/uinput cannot be opened: ",
                                        0),
              0u)
        << capture.messages[0];
    EXPECT_NE(capture.messages[0].find("modprobe uinput"), std::string::npos) << capture.messages[0];
  }
}

// udev's input_id restated where it decides what kind of pointer a device is: the ID_INPUT_*
// tags it gives a device with these capabilities (keyboards and the tablet pad left out).
std::set<std::string> InputIdPointerTags(const libevdev *device) {
  auto key = [&](unsigned code) { return libevdev_has_event_code(device, EV_KEY, code) != 0; };
  auto abs = [&](unsigned code) { return libevdev_has_event_code(device, EV_ABS, code) != 0; };
  auto anyKey = [&](unsigned from, unsigned to) {  // to included
    for (unsigned code = from; code <= to; ++code) {
      if (key(code)) return true;
    }
    return false;
  };
  const bool absCoordinates = abs(ABS_X) && abs(ABS_Y);
  if (libevdev_has_property(device, INPUT_PROP_ACCELEROMETER) ||
      (!libevdev_has_event_type(device, EV_KEY) && absCoordinates && abs(ABS_Z))) {
    return {"ID_INPUT_ACCELEROMETER"};
  }
  const bool stylusOrPen = key(BTN_STYLUS) || key(BTN_TOOL_PEN);
  const bool fingerButNoPen = key(BTN_TOOL_FINGER) && !key(BTN_TOOL_PEN);
  const bool mouseButton = anyKey(BTN_MOUSE, BTN_JOYSTICK - 1);
  const bool relCoordinates =
      libevdev_has_event_code(device, EV_REL, REL_X) && libevdev_has_event_code(device, EV_REL, REL_Y);
  // A device that claims every axis has no real multi-touch ones.
  const bool mtCoordinates =
      abs(ABS_MT_POSITION_X) && abs(ABS_MT_POSITION_Y) && !(abs(ABS_MT_SLOT) && abs(ABS_MT_SLOT - 1));
  const bool direct = libevdev_has_property(device, INPUT_PROP_DIRECT) != 0;
  const bool touch = key(BTN_TOUCH);
  bool joystickControls = !key(BTN_JOYSTICK - 1) && (anyKey(BTN_JOYSTICK, BTN_DIGI - 1) ||
                                                   anyKey(BTN_TRIGGER_HAPPY1, BTN_TRIGGER_HAPPY40) ||
                                                   anyKey(BTN_DPAD_UP, BTN_DPAD_RIGHT));
  for (unsigned axis = ABS_RX; axis < ABS_PRESSURE; ++axis) joystickControls = joystickControls || abs(axis);

  bool tablet = false, touchpad = false, absMouse = false, touchscreen = false, joystick = false;
  if (absCoordinates) {
    if (stylusOrPen) tablet = true;
    else if (fingerButNoPen && !direct) touchpad = true;
    else if (mouseButton) absMouse = true;  // a virtual machine's tablet
    else if (touch || direct) touchscreen = true;
    else if (joystickControls) joystick = true;
  } else if (joystickControls) {
    joystick = true;
  }
  if (mtCoordinates) {
    if (stylusOrPen) tablet = true;
    else if (fingerButNoPen && !direct) touchpad = true;
    else if (touch || direct) touchscreen = true;
  }
  const bool mouse = !tablet && !touchpad && !joystick && mouseButton && (relCoordinates || !absCoordinates);
  std::set<std::string> tags;
  if (libevdev_has_property(device, INPUT_PROP_POINTING_STICK) ||
      (mouse && libevdev_get_id_bustype(device) == BUS_I2C)) {
    tags.insert("ID_INPUT_POINTINGSTICK");
  }
  if (mouse || absMouse) tags.insert("ID_INPUT_MOUSE");
  if (touchpad) tags.insert("ID_INPUT_TOUCHPAD");
  if (touchscreen) tags.insert("ID_INPUT_TOUCHSCREEN");
  if (joystick) tags.insert("ID_INPUT_JOYSTICK");
  if (tablet) tags.insert("ID_INPUT_TABLET");
  return tags;
}

// What the outputs used to make: a direct touch screen with mouse buttons, which udev took for a
// mouse. It keeps the restatement above honest about the path that made a rule of ours necessary.
platform::EvdevDescription TouchScreenWithMouseButtons(const platform::UinputShape &shape) {
  const char *step = "";
  platform::EvdevDescription device = platform::TouchScreenDescription(shape, &step);
  for (unsigned code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) {
    libevdev_enable_event_code(device.get(), EV_KEY, code, nullptr);
  }
  return device;
}

struct DescriptionCase {
  const char *what;
  std::function<platform::EvdevDescription(const platform::UinputShape &, const char **)> describe;
  const char *name;
  std::vector<unsigned> keys;  // of BTN_TOUCH, BTN_LEFT, BTN_RIGHT, BTN_MIDDLE
  bool direct;
  std::set<std::string> tags;
  int widthMm = 0;  // the panel's size given; 0: none
  int heightMm = 0;
};

TEST(PointerUinputDescriptionTest, EachDeviceIsWhatUdevTakesItForWithNoRuleOfOurs) {
  const DescriptionCase cases[] = {
      {"uinput",
       [](const platform::UinputShape &shape, const char **step) {
         return platform::AbsolutePointerDescription(platform::kUinputPointerName, shape, step);
       },
       "Norvik touch screen pointer", {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, false, {"ID_INPUT_MOUSE"}},
      {"uinput-touch's touch screen", platform::TouchScreenDescription, "Norvik touch screen", {BTN_TOUCH}, true,
       {"ID_INPUT_TOUCHSCREEN"}},
      {"uinput-touch's touch screen on a 15.6-inch panel", platform::TouchScreenDescription, "Norvik touch screen",
       {BTN_TOUCH}, true, {"ID_INPUT_TOUCHSCREEN"}, 344, 194},
      {"uinput-touch's buttons",
       [](const platform::UinputShape &shape, const char **step) {
         return platform::AbsolutePointerDescription(platform::kUinputTouchButtonsName, shape, step);
       },
       "Norvik touch screen buttons", {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, false, {"ID_INPUT_MOUSE"}},
      {"a touch screen with mouse buttons",
       [](const platform::UinputShape &shape, const char **) { return TouchScreenWithMouseButtons(shape); },
       "Norvik touch screen", {BTN_TOUCH, BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, true, {"ID_INPUT_MOUSE"}},
  };
  // Two device roots' devices differ in product, which the desktops' settings key on, and in phys,
  // which udev rules can match.
  platform::SetDeviceRoot("/var/lib/norvik/touch0/");
  const platform::InputIdentity identity = platform::InputIdentityOf("/var/lib/norvik/touch0");
  EXPECT_NE(platform::InputIdentityOf("/var/lib/norvik/touch1").product, identity.product);
  EXPECT_EQ(platform::InputIdentityOf("/var/lib/norvik/touch0/").product, identity.product);
  EXPECT_EQ(identity.phys, "norvik/touch0");
  EXPECT_EQ(platform::InputIdentityOf("/srv/kiosk ü").phys, "norvik/kiosk___") << "printable ASCII only";
  for (const DescriptionCase &c : cases) {
    SCOPED_TRACE(c.what);
    const char *step = "none";
    platform::UinputShape shape;
    shape.widthMm = c.widthMm;
    shape.heightMm = c.heightMm;
    shape.identity = identity;
    platform::EvdevDescription device = c.describe(shape, &step);
    ASSERT_TRUE(device) << step;
    EXPECT_STREQ(libevdev_get_name(device.get()), c.name);
    EXPECT_EQ(libevdev_get_id_bustype(device.get()), BUS_VIRTUAL);
    EXPECT_STREQ(libevdev_get_phys(device.get()), "norvik/touch0");
    EXPECT_EQ(libevdev_get_id_product(device.get()), identity.product);
    for (unsigned key : {BTN_TOUCH, BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) {
      bool wanted = std::find(c.keys.begin(), c.keys.end(), key) != c.keys.end();
      EXPECT_EQ(libevdev_has_event_code(device.get(), EV_KEY, key) != 0, wanted) << key;
    }
    EXPECT_EQ(libevdev_has_property(device.get(), INPUT_PROP_DIRECT) != 0, c.direct);
    EXPECT_FALSE(libevdev_has_event_type(device.get(), EV_REL)) << "a relative axis would make it a mouse";
    for (unsigned axis : {ABS_X, ABS_Y}) {
      ASSERT_TRUE(libevdev_has_event_code(device.get(), EV_ABS, axis)) << axis;
      EXPECT_EQ(libevdev_get_abs_minimum(device.get(), axis), 0);
      const int mm = axis == ABS_X ? c.widthMm : c.heightMm;
      const int maximum = libevdev_get_abs_maximum(device.get(), axis);
      const int resolution = libevdev_get_abs_resolution(device.get(), axis);
      if (mm == 0) {
        EXPECT_EQ(maximum, 65535);
        EXPECT_EQ(resolution, 256) << "libinput needs a size for a touch screen";
      } else {
        // libinput's size is the range over the resolution: the panel's, to the millimetre.
        EXPECT_EQ(maximum, mm * resolution) << axis;
        EXPECT_GT(maximum, 65535 - resolution) << "as fine as mouse_event's range" << axis;
      }
    }
    EXPECT_EQ(InputIdPointerTags(device.get()), c.tags);
  }
  platform::SetDeviceRoot("");
}

// The events one output wrote to a file, as (type, code, value).
using Events = std::vector<std::array<int, 3>>;
constexpr int kSyn = EV_SYN, kKey = EV_KEY, kAbs = EV_ABS;

Events ReadEvents(const std::string &path) {
  std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes.size() % sizeof(input_event), 0u) << path;
  Events events;
  for (size_t at = 0; at + sizeof(input_event) <= bytes.size(); at += sizeof(input_event)) {
    input_event event;
    std::memcpy(&event, bytes.data() + at, sizeof event);
    events.push_back({event.type, event.code, event.value});
  }
  return events;
}

// What one mouse_event call puts on the uinput devices: the pointer (or touch screen), and the
// buttons device of uinput-touch.
struct UinputCase {
  DWORD flags, dx, dy;
  Events events;
  Events buttons;
};

Events Position(int x, int y) { return {{kAbs, ABS_X, x}, {kAbs, ABS_Y, y}}; }
// The position the device already holds: each value goes out first with its lowest bit flipped,
// since the kernel would drop it alone.
Events Again(int x, int y) { return {{kAbs, ABS_X, x ^ 1}, {kAbs, ABS_X, x}, {kAbs, ABS_Y, y ^ 1}, {kAbs, ABS_Y, y}}; }
Events operator+(Events first, const Events &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}
const Events kFrame = {{kSyn, SYN_REPORT, 0}};
Events Key(int code, int value) { return {{kKey, code, value}}; }

// Runs the calls through the output named `pointer` writing to files, and checks both streams and
// the lines said: first what the devices' size is, then the notice, then each in `also`.
void ExpectUinputStreams(const std::string &pointer, const std::string &stream, const std::vector<UinputCase> &cases,
                         const std::string &notice, const std::vector<std::string> &also = {},
                         const std::string &size = "have no physical size") {
  std::fclose(std::fopen(stream.c_str(), "w"));
  std::fclose(std::fopen((stream + ".buttons").c_str(), "w"));
  setenv("PLATFORM_UINPUT_DEVICE", stream.c_str(), 1);
  DebugCapture capture;
  Events expected, buttons;
  for (const UinputCase &c : cases) {
    mouse_event(c.flags, c.dx, c.dy, 0, 0);
    expected = expected + c.events;
    buttons = buttons + c.buttons;
  }
  EXPECT_FALSE(MessageBeep(0));
  platform::ResetPointerOutput();
  unsetenv("PLATFORM_UINPUT_DEVICE");
  EXPECT_EQ(ReadEvents(stream), expected) << pointer;
  EXPECT_EQ(ReadEvents(stream + ".buttons"), buttons) << pointer;
  ASSERT_EQ(capture.messages.size(), 4u + also.size())
      << "said once each: the size, a file instead of a device, the relative move, the beep";
  EXPECT_NE(capture.messages[0].find(size), std::string::npos) << capture.messages[0];
  const std::string notDevice = "gwes: PLATFORM_UINPUT_DEVICE " + stream + " is not a device";
  EXPECT_TRUE(std::any_of(capture.messages.begin(), capture.messages.end(), [&](const std::string &said) {
    return said.rfind(notDevice, 0) == 0 && said.find(notice) != std::string::npos;
  })) << notDevice;
  for (const std::string &line : also)
    EXPECT_TRUE(std::any_of(capture.messages.begin(), capture.messages.end(),
                            [&](const std::string &said) { return said.find(line) != std::string::npos; }))
        << line;
}

TEST_F(PointerOutputTest, UinputFramesEachCallAsAPointerAtItsPosition) {
  WriteInputKey("\"Pointer\"=\"uinput\"\n");
  const std::vector<UinputCase> cases = {
      // A device starts at 0 on both axes.
      {0x8001, 0, 0, Again(0, 0) + kFrame, {}},
      {0x8001, 100, 200, Position(100, 200) + kFrame, {}},
      // A drag: press, move, release, each where its call puts it.
      {0x8003, 300, 400, Position(300, 400) + Key(BTN_LEFT, 1) + kFrame, {}},
      {0x8001, 70000, 65535, Position(65535, 65535) + kFrame, {}},
      {0x8005, 500, 600, Position(500, 600) + Key(BTN_LEFT, 0) + kFrame, {}},
      // The right click as Desktop mode makes it once armed: down and up at the touch's places.
      {0x8009, 510, 610, Position(510, 610) + Key(BTN_RIGHT, 1) + kFrame, {}},
      {0x8011, 520, 620, Position(520, 620) + Key(BTN_RIGHT, 0) + kFrame, {}},
      {0x0020, 0, 0, Key(BTN_MIDDLE, 1) + kFrame, {}},
      {0x0040, 0, 0, Key(BTN_MIDDLE, 0) + kFrame, {}},
      {0x0001, 5, 5, {}, {}},
      // A click in one call: the press and the release each need a frame of their own.
      {0x8007, 7, 8, Position(7, 8) + Key(BTN_LEFT, 1) + kFrame + Key(BTN_LEFT, 0) + kFrame, {}},
      {0x8019, 9, 10, Position(9, 10) + Key(BTN_RIGHT, 1) + kFrame + Key(BTN_RIGHT, 0) + kFrame, {}},
      // A tap where the last one was still says where it is; one axis alike is enough.
      {0x8007, 9, 10, Again(9, 10) + Key(BTN_LEFT, 1) + kFrame + Key(BTN_LEFT, 0) + kFrame, {}},
      {0x8001, 65535, 10, Events{{kAbs, ABS_X, 65535}, {kAbs, ABS_Y, 11}, {kAbs, ABS_Y, 10}} + kFrame, {}},
  };
  ExpectUinputStreams("uinput", LogPath("uinput.events"), cases, "as they would to the kernel\n");
}

TEST_F(PointerOutputTest, UinputTouchTouchesWithTheLeftButtonAndClicksTheOthersOnItsSecondDevice) {
  WriteInputKey("\"Pointer\"=\"UINPUT-TOUCH\"\n");
  const std::vector<UinputCase> cases = {
      // A tap, then a drag.
      {0x8003, 100, 200, Position(100, 200) + Key(BTN_TOUCH, 1) + kFrame, {}},
      {0x8005, 100, 200, Again(100, 200) + Key(BTN_TOUCH, 0) + kFrame, {}},
      {0x8003, 300, 400, Position(300, 400) + Key(BTN_TOUCH, 1) + kFrame, {}},
      {0x8001, 70000, 450, Position(65535, 450) + kFrame, {}},
      {0x8005, 500, 600, Position(500, 600) + Key(BTN_TOUCH, 0) + kFrame, {}},
      // The armed right click: the buttons device goes to the touch first, follows it while held.
      {0x8009, 510, 610, Position(510, 610) + kFrame, Position(510, 610) + kFrame + Key(BTN_RIGHT, 1) + kFrame},
      {0x8001, 515, 615, Position(515, 615) + kFrame, Position(515, 615) + kFrame},
      {0x8011, 520, 620, Position(520, 620) + kFrame, Position(520, 620) + kFrame + Key(BTN_RIGHT, 0) + kFrame},
      // Moves with no button of its own held are the touch screen's alone.
      {0x8001, 530, 630, Position(530, 630) + kFrame, {}},
      // Clicks with no position of their own land where the touch last was.
      {0x0018, 0, 0, {}, Position(530, 630) + kFrame + Key(BTN_RIGHT, 1) + kFrame + Key(BTN_RIGHT, 0) + kFrame},
      {0x0060, 0, 0, {}, Again(530, 630) + kFrame + Key(BTN_MIDDLE, 1) + kFrame + Key(BTN_MIDDLE, 0) + kFrame},
      {0x0001, 5, 5, {}, {}},
      {0x8007, 7, 8, Position(7, 8) + Key(BTN_TOUCH, 1) + kFrame + Key(BTN_TOUCH, 0) + kFrame, {}},
  };
  const std::string stream = LogPath("touch.events");
  ExpectUinputStreams("uinput-touch", stream, cases, "the buttons device's to " + stream + ".buttons\n");
}

// On a panel of known size the axes span its millimetres at a whole resolution, mouse_event's range
// scaled onto them; with "TouchOnly" the touch screen is the only device, and the clicks it cannot
// take go nowhere, said once.
TEST_F(PointerOutputTest, UinputTouchOnlyOnAPanelOfKnownSizeScalesOntoItsAxesAndDropsTheOtherClicks) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"uinput-touch\"\n\"TouchOnly\"=dword:00000001\n"
                  "[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Size\"=\"344x194\"\n");
  // 344 mm at 190 units a millimetre, 194 mm at 337.
  const std::vector<UinputCase> cases = {
      {0x8003, 65535, 0, Events{{kAbs, ABS_X, 65360}, {kAbs, ABS_Y, 1}, {kAbs, ABS_Y, 0}} + Key(BTN_TOUCH, 1) + kFrame, {}},
      {0x8005, 32768, 32768, Position(32680, 32689) + Key(BTN_TOUCH, 0) + kFrame, {}},
      {0x8009, 100, 100, Position(100, 100) + kFrame, {}},
      {0x8011, 100, 100, Again(100, 100) + kFrame, {}},
      {0x0001, 5, 5, {}, {}},
  };
  ExpectUinputStreams("uinput-touch", LogPath("touch.events"), cases, "as they would to the kernel\n",
                      {"\"TouchOnly\" is set: uinput-touch makes the touch screen alone",
                       "a right or middle click has no device to go to"},
                      "are 344 x 194 mm, the panel's size from HKLM\\Platform\\Display \"Size\"");
}

TEST_F(PointerOutputTest, UinputTouchWithoutTheButtonsStreamIsReportedOnce) {
  const std::string stream = LogPath("touch.events");
  std::fclose(std::fopen(stream.c_str(), "w"));
  setenv("PLATFORM_UINPUT_DEVICE", stream.c_str(), 1);
  WriteInputKey("\"Pointer\"=\"uinput-touch\"\n");
  DebugCapture capture;
  mouse_event(0x8003, 1, 2, 0, 0);
  mouse_event(0x8005, 1, 2, 0, 0);
  unsetenv("PLATFORM_UINPUT_DEVICE");
  ASSERT_EQ(capture.messages.size(), 2u);
  EXPECT_EQ(capture.messages[1], "gwes: Pointer is \"uinput-touch\" but " + stream +
                                     ".buttons cannot be opened: No such file or directory: create it, where the "
                                     "buttons device's events go while PLATFORM_UINPUT_DEVICE " +
                                     stream +
                                     " is not a device, or set HKLM\\Platform\\Input \"Pointer\" to \"log\"; "
                                     "mouse_event and MessageBeep calls are dropped until it starts (tried again every 2 s)\n");
  EXPECT_EQ(ReadFile(stream), "");
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

// The wake guard, on a clock of the test's: after its time without any event, a touch moves the
// pointer and its buttons go nowhere, to the touch's end; the next touch clicks. Without a long
// enough pause nothing is held back.
TEST(WakeGuardTest, TheTouchThatWakesOnlyMovesAndTheNextClicks) {
  struct Recorder : platform::PointerBackend {
    std::vector<DWORD> *seen;
    explicit Recorder(std::vector<DWORD> *calls) : seen(calls) {}
    void MouseEvent(DWORD flags, DWORD, DWORD, DWORD) override { seen->push_back(flags); }
    BOOL Beep(UINT) override { return TRUE; }
  };
  std::vector<DWORD> seen;
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  auto guard = platform::GuardWaking(std::make_unique<Recorder>(&seen), 30, [&] { return now; });
  const struct {
    int pauseSeconds;  // before the call
    DWORD flags;
    DWORD passed;  // what reaches the output; 0: nothing
  } calls[] = {
      {0, 0x8003, 0x8003}, {0, 0x8005, 0x8005},  // the first touch after the start clicks
      {29, 0x8003, 0x8003}, {0, 0x8005, 0x8005},  // so does one within the guard's time
      {30, 0x8003, 0x8001}, {0, 0x8001, 0x8001}, {0, 0x8005, 0x8001},  // the touch that wakes
      {0, 0x8009, 0x8009}, {0, 0x8011, 0x8011},  // the next, a right click, clicks
      {45, 0x0018, 0},  // a click with no move after the pause: nothing at all
      {0, 0x8003, 0x8003},
  };
  for (const auto &call : calls) {
    now += std::chrono::seconds(call.pauseSeconds);
    seen.clear();
    guard->MouseEvent(call.flags, 1, 2, 0);
    EXPECT_EQ(seen, call.passed == 0 ? std::vector<DWORD>{} : std::vector<DWORD>{call.passed}) << std::hex << call.flags;
  }
  EXPECT_EQ(platform::GuardWaking(nullptr, 30), nullptr);
}

}  // namespace
