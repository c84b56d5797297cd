// The controller simulator's parts (the gesture-script parser, the report format with its
// reference count, the panel model) and the touchsim program's refusals of what it cannot use.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <cstdlib>
#include <sstream>
#include <string>

#include "gesture_script.h"
#include "panel_model.h"
#include "process.h"
#include "report_encoder.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;
using touchsim::Command;

constexpr std::chrono::milliseconds kBound{30000};

TEST(GestureScript, ParsesEveryCommandWithItsNumbers) {
  std::vector<Command> commands;
  touchsim::ScriptError error;
  ASSERT_TRUE(touchsim::ParseScript("# a comment\n"
                                    "tap 100 200\n"
                                    "drag 0 0 16383 16383 10   # trailing comment\n"
                                    "\n"
                                    "hold 5 6 3\nlift\nwait 250\nraw 90 7f 00 FF\nnoise 12\n"
                                    "repeat 2\n  tap 1 2\n  repeat 3\n    lift\n  end\nend\n",
                                    &commands, &error))
      << error.line << ": " << error.message;
  ASSERT_EQ(commands.size(), 8u);
  EXPECT_EQ(commands[0].kind, Command::kTap);
  EXPECT_EQ(commands[0].numbers, (std::vector<int64_t>{100, 200}));
  EXPECT_EQ(commands[0].line, 2);
  EXPECT_EQ(commands[1].numbers, (std::vector<int64_t>{0, 0, 16383, 16383, 10}));
  EXPECT_EQ(commands[5].bytes, (std::vector<uint8_t>{0x90, 0x7F, 0x00, 0xFF}));
  EXPECT_EQ(commands[7].kind, Command::kRepeat);
  ASSERT_EQ(commands[7].body.size(), 2u);
  EXPECT_EQ(commands[7].body[1].body.size(), 1u);
}

// A window's caption may hold blanks; the time follows it.
TEST(GestureScript, AwaitAndGoneTakeAQuotedCaptionAndATime) {
  std::vector<Command> commands;
  touchsim::ScriptError error;
  ASSERT_TRUE(touchsim::ParseScript("await \"Touch calibration\" 20000\ngone \" 5 Point\" 300 # done\n", &commands,
                                    &error))
      << error.message;
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].kind, Command::kAwait);
  EXPECT_EQ(commands[0].caption, "Touch calibration");
  EXPECT_EQ(commands[0].numbers, (std::vector<int64_t>{20000}));
  EXPECT_EQ(commands[1].kind, Command::kGone);
  EXPECT_EQ(commands[1].caption, " 5 Point");
  EXPECT_EQ(commands[1].line, 2);
}

struct BadScript {
  const char *name;
  const char *text;
  int line;
  const char *says;
};

// 65 repeats, each inside the one before.
const std::string kRepeatsTooDeep = [] {
  std::string text;
  for (int i = 0; i < 65; ++i) text += "repeat 1\n";
  return text;
}();

class GestureScriptErrors : public ::testing::TestWithParam<BadScript> {};

TEST_P(GestureScriptErrors, ReportTheLineAndTheReason) {
  std::vector<Command> commands;
  touchsim::ScriptError error;
  EXPECT_FALSE(touchsim::ParseScript(GetParam().text, &commands, &error));
  EXPECT_EQ(error.line, GetParam().line);
  EXPECT_NE(error.message.find(GetParam().says), std::string::npos) << error.message;
}

INSTANTIATE_TEST_SUITE_P(Cases, GestureScriptErrors,
                         ::testing::Values(BadScript{"MissingNumber", "tap 1\n", 1, "takes 2"},
                                           BadScript{"UnknownCommand", "lift\nfly 1 2\n", 2, "unknown"},
                                           BadScript{"NegativeNumber", "tap -1 5\n", 1, "not a number"},
                                           BadScript{"TrailingLetters", "tap 1 2x\n", 1, "not a number"},
                                           BadScript{"ByteTooLarge", "raw 100\n", 1, "not a byte"},
                                           BadScript{"RawWithoutBytes", "raw\n", 1, "at least one"},
                                           BadScript{"ZeroCount", "hold 1 1 0\n", 1, "at least 1"},
                                           BadScript{"UnclosedRepeat", "repeat 2\ntap 1 1\n", 1, "without 'end'"},
                                           BadScript{"StrayEnd", "end\n", 1, "without 'repeat'"},
                                           BadScript{"AwaitWithoutQuotes", "await Touch 500\n", 1, "is written await"},
                                           BadScript{"GoneWithoutTime", "gone \"Touch\"\n", 1, "is written gone"},
                                           BadScript{"AwaitZeroTime", "await \"Touch\" 0\n", 1, "is written await"},
                                           BadScript{"AwaitWordBeforeCaption", "await junk \"Touch\" 500\n", 1,
                                                     "found 'junk' before the caption"},
                                           BadScript{"GoneWordsBeforeCaption", "lift\ngone  x y\"Touch\" 500\n", 2,
                                                     "found 'x' before the caption"},
                                           BadScript{"AwaitTimeGluedToCaption", "await \"Touch\"500\n", 1,
                                                     "blank after the caption's closing quote"},
                                           BadScript{"RepeatsNestedTooDeep", kRepeatsTooDeep.c_str(), 65,
                                                     "nested more than 64"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ReportEncoder, EncodesHeaderAndSevenBitHalves) {
  std::string report = touchsim::EncodeReport(true, 0x3FFF, 0x0081);
  EXPECT_EQ(report, std::string("\x90\x7F\x7F\x01\x01", 5));
  EXPECT_EQ(touchsim::EncodeReport(false, 0, 0), std::string("\x80\x00\x00\x00\x00", 5));
}

TEST(ReportCounter, CountsWhatAReceiverFramingByBit7Sees) {
  touchsim::ReportCounter counter;
  counter.Feed(touchsim::EncodeReport(true, 1, 2));
  counter.Feed(std::string("\x90\x10\x90\x20\x30\x40\x50", 7));  // broken, then skipped
  counter.Feed(std::string("\x90\x01\x02\x03\x90", 5));          // byte 4 with bit 7 starts nothing
  counter.Feed(std::string("\x01\x02", 2));
  counter.Feed(std::string("\x80\x01", 2));  // split across feeds
  counter.Feed(std::string("\x02\x03\x04", 3));
  EXPECT_EQ(counter.complete(), 2u);
}

TEST(PanelModel, IdealPanelMapsScreenToControllerUnits) {
  touchsim::PanelModel model;
  std::mt19937 random(1);
  uint16_t x = 0, y = 0;
  model.Map(0, 0, random, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 16383);  // the top of the screen is the controller's highest y
  model.Map(65535, 65535, random, &x, &y);
  EXPECT_EQ(x, 16383);
  EXPECT_EQ(y, 0);
}

TEST(PanelModel, OffsetScaleSwapAndNoise) {
  touchsim::PanelModel model;
  std::string error;
  ASSERT_TRUE(touchsim::PanelModel::Parse("left=1000,right=15000,bottom=2000,top=14000,swap", &model, &error)) << error;
  std::mt19937 random(1);
  uint16_t x = 0, y = 0;
  model.Map(0, 65535, random, &x, &y);  // bottom left: swapped, x follows the screen's height
  EXPECT_EQ(x, 1000);
  EXPECT_EQ(y, 2000);
  model.Map(65535, 0, random, &x, &y);
  EXPECT_EQ(x, 15000);
  EXPECT_EQ(y, 14000);
  ASSERT_TRUE(touchsim::PanelModel::Parse("left=16383,right=0,noise=3", &model, &error));
  for (int i = 0; i < 100; ++i) {
    model.Map(0, 32768, random, &x, &y);
    EXPECT_GE(x, 16380);
    EXPECT_LE(x, 16383);
  }
  EXPECT_FALSE(touchsim::PanelModel::Parse("wide=3", &model, &error));
  EXPECT_FALSE(touchsim::PanelModel::Parse("left=abc", &model, &error));
}

TEST(PanelModel, EveryNthReadingOfATouchIsWild) {
  touchsim::PanelModel model;
  std::string error;
  ASSERT_TRUE(touchsim::PanelModel::Parse("noise=2,spike=5", &model, &error)) << error;
  std::mt19937 random(1);
  for (uint64_t reading = 1; reading <= 40; ++reading) {
    uint16_t x = 0, y = 0;
    model.Read(32768, 32768, reading, random, &x, &y);  // controller 8192, 8191
    const bool wild = std::abs(x - 8192) >= 4096 && std::abs(y - 8191) >= 4096;
    EXPECT_EQ(wild, reading % 5 == 0) << "reading " << reading << " at " << x << "," << y;
  }
  for (const char *bad : {"spike=-1", "spike=2.5", "spike=x"})
    EXPECT_FALSE(touchsim::PanelModel::Parse(bad, &model, &error)) << bad;
}

// Runs touchsim to its end; its exit status, -1 when it did not end.
int RunTouchsim(ChildProcess &touchsim) {
  auto exit = touchsim.WaitForExit(kBound);
  return exit ? exit->code : -1;
}

TEST(TouchsimProgram, RefusesATtyPathThatIsNotATty) {
  testing_support::TempDeviceRoot root;
  const std::string script = root.path() + "/tap.txt";
  testing_support::WriteFile(script, "tap 1 1\n");
  for (const std::string &path : {std::string("/dev/null"), script}) {
    ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--tty", path, script});
    EXPECT_EQ(RunTouchsim(touchsim), 2) << path;
    EXPECT_NE(touchsim.Output(Stream::kStderr).find("touchsim: " + path + " is not a tty: "), std::string::npos)
        << touchsim.Output(Stream::kStderr);
    EXPECT_EQ(touchsim.Output(Stream::kStdout), "") << path << ": reported reports that nothing read";
  }
}

TEST(TouchsimProgram, PositionOutOfRangeAnywhereInTheScriptStopsItBeforeThePortIsMapped) {
  struct Case {
    std::vector<std::string> options;
    const char *script;
    const char *says;
  };
  for (const Case &c : {
           Case{{}, "tap 1 1\nrepeat 2\n  tap 1 99999\nend\n", "script.txt:3: controller positions run from 0 to 16383"},
           Case{{"--panel", "noise=0"}, "drag 0 0 65536 0 3\n", "script.txt:1: screen positions run from 0 to 65535"},
       }) {
    testing_support::TempDeviceRoot root;
    root.WriteHive("");
    testing_support::WriteFile(root.path() + "/script.txt", c.script);
    std::vector<std::string> arguments = {"--root", root.path(), "--port", "COM1:"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    arguments.push_back(root.path() + "/script.txt");
    ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", arguments);
    EXPECT_EQ(RunTouchsim(touchsim), 2) << c.says;
    const std::string said = touchsim.Output(Stream::kStderr);
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(said.find("COM1: is"), std::string::npos) << "the port was mapped before the script was checked";
    EXPECT_EQ(touchsim.Output(Stream::kStdout), "") << c.says;
    EXPECT_EQ(root.ReadHive().find("Platform\\Serial"), std::string::npos) << root.ReadHive();
  }
}

// touchsim's peak resident memory (VmHWM, KiB) once it has sent `noise` bytes of noise, all of
// them read from the line; -1 when that did not happen. It holds the line open meanwhile, so that
// its own figure can be read before it is told to end.
long PeakKiBAfterSendingNoise(size_t noise) {
  testing_support::TempDeviceRoot root;
  testing_support::WriteFile(root.path() + "/noise.txt", "noise " + std::to_string(noise) + "\n");
  const int controller = posix_openpt(O_RDWR | O_NOCTTY);
  if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) return -1;
  const std::string line = ptsname(controller);
  const int terminal = open(line.c_str(), O_RDWR | O_NOCTTY);
  termios raw{};
  if (terminal < 0 || tcgetattr(terminal, &raw) != 0) return -1;
  cfmakeraw(&raw);
  tcsetattr(terminal, TCSANOW, &raw);
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim",
                        {"--tty", line, "--baud", "0", "--hold", root.path() + "/noise.txt"});
  size_t read = 0;
  char block[65536];
  pollfd ready{controller, POLLIN, 0};
  while (read < noise && poll(&ready, 1, static_cast<int>(kBound.count())) == 1) {
    const ssize_t n = ::read(controller, block, sizeof block);
    if (n <= 0) break;
    read += static_cast<size_t>(n);
  }
  long peak = -1;
  std::istringstream status(testing_support::ReadFile("/proc/" + std::to_string(touchsim.pid()) + "/status"));
  for (std::string field; status >> field;)
    if (field == "VmHWM:") status >> peak;
  touchsim.Signal(SIGTERM);
  RunTouchsim(touchsim);
  close(terminal);
  close(controller);
  return read == noise ? peak : -1;
}

// A large noise count is sent a block at a time: 64 MB of noise cost touchsim hardly more memory
// than 1 kB do (it once built the whole block first).
TEST(TouchsimProgram, LargeNoiseCountCostsNoMoreMemoryThanASmallOne) {
  constexpr size_t kLarge = 64'000'000;
  const long small = PeakKiBAfterSendingNoise(1000);
  const long large = PeakKiBAfterSendingNoise(kLarge);
  ASSERT_GT(small, 0) << "the small noise was not all read";
  ASSERT_GT(large, 0) << "the large noise was not all read";
  EXPECT_LT(large - small, static_cast<long>(kLarge / 8 / 1024))
      << "touchsim's peak memory in KiB: " << large << " for 64 MB of noise, " << small << " for 1 kB";
}

// However touchsim ends (its script done, a script error, SIGTERM), HKLM\Platform\Serial is as it
// found it: a value of its port that was there is back with its type and bytes, one that was not
// is gone, the key goes only when touchsim made it, and nothing else in the key changes. While it
// runs, the port names its line.
TEST(TouchsimProgram, LeavesTheSerialKeyAsItFoundIt) {
  const std::string driver = "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n\"COMM\"=\"COM1:\"\n\n";
  const std::string serial = "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n";
  const std::string other = "\"COM2:\"=\"/dev/ttyUSB0\"\n";
  const std::string befores[] = {
      driver,
      driver + serial + other + "\n",
      driver + serial + "\"COM1:\"=\"/dev/ttyS0\"\n" + other + "\n",  // a root made by nrvctl init
      driver + serial + other + "\"COM1:\"=hex(2):2f,00,64,00,00,00\n\n",
      driver + serial + "\"com1:\"=\"/dev/ttyS0\"\n\n",
      driver + serial + "\n",
  };
  struct Ending {
    const char *what;
    const char *script;
    int status;
    bool hold;  // held open until SIGTERM
  };
  const Ending endings[] = {
      {"the script's end", "", 0, false},
      {"a script error", "await \"no such window\" 10\n", 2, false},
      {"SIGTERM", "", 0, true},
  };
  for (const std::string &before : befores) {
    for (const Ending &ending : endings) {
      SCOPED_TRACE(std::string(ending.what) + " with\n" + before);
      testing_support::TempDeviceRoot root;
      root.WriteHive(before);
      testing_support::WriteFile(root.path() + "/script.txt", ending.script);
      std::vector<std::string> arguments = {"--root", root.path(), "--port", "COM1:", root.path() + "/script.txt"};
      if (ending.hold) arguments.push_back("--hold");
      ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", arguments);
      if (ending.hold) {
        const auto mapped = touchsim.WaitForLine(Stream::kStderr, "touchsim: COM1: is ", kBound);
        ASSERT_TRUE(mapped) << touchsim.Output(Stream::kStderr);
        const std::string line = mapped->substr(mapped->rfind(' ') + 1);
        EXPECT_NE(root.ReadHive().find("\"=\"" + line + "\"\n"), std::string::npos) << root.ReadHive();
        touchsim.Signal(SIGTERM);
      }
      EXPECT_EQ(RunTouchsim(touchsim), ending.status) << touchsim.Output(Stream::kStderr);
      EXPECT_EQ(root.ReadHive(), "Windows Registry Editor Version 5.00\n\n" + before);
    }
  }
}

// A mapping changed while touchsim ran is someone else's: it stays, and touchsim says so.
TEST(TouchsimProgram, KeepsAMappingChangedWhileItRan) {
  testing_support::TempDeviceRoot root;
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"/dev/ttyS0\"\n\n");
  testing_support::WriteFile(root.path() + "/empty.txt", "");
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root.path(), "--port", "COM1:", "--hold",
                                                      root.path() + "/empty.txt"});
  const auto mapped = touchsim.WaitForLine(Stream::kStderr, "touchsim: COM1: is ", kBound);
  ASSERT_TRUE(mapped) << touchsim.Output(Stream::kStderr);
  ASSERT_TRUE(root.StoreString(u"Platform\\Serial", u"COM1:", u"/dev/ttyUSB1"));
  touchsim.Signal(SIGTERM);
  EXPECT_EQ(RunTouchsim(touchsim), 0) << touchsim.Output(Stream::kStderr);
  EXPECT_EQ(root.ReadHive(), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n"
                             "\"COM1:\"=\"/dev/ttyUSB1\"\n\n");
  EXPECT_NE(touchsim.Output(Stream::kStderr)
                .find("touchsim: COM1: in the registry of " + root.path() + " no longer names " +
                      mapped->substr(mapped->rfind(' ') + 1) +
                      ": it was changed while touchsim ran, so it is left as it is\n"),
            std::string::npos)
      << touchsim.Output(Stream::kStderr);
}

// A mapping that cannot be put back is said, with the line it still names, and fails the run.
TEST(TouchsimProgram, SaysWhenTheMappingCannotBePutBack) {
  for (const bool hadValue : {true, false}) {
    testing_support::TempDeviceRoot root;
    root.WriteHive(hadValue ? "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"/dev/ttyS0\"\n\n" : "");
    testing_support::WriteFile(root.path() + "/empty.txt", "");
    ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root.path(), "--port", "COM1:", "--hold",
                                                        root.path() + "/empty.txt"});
    const auto mapped = touchsim.WaitForLine(Stream::kStderr, "touchsim: COM1: is ", kBound);
    ASSERT_TRUE(mapped) << touchsim.Output(Stream::kStderr);
    const std::string line = mapped->substr(mapped->rfind(' ') + 1);
    testing_support::WriteFile(root.registryPath(), "not a hive\n");
    touchsim.Signal(SIGTERM);
    EXPECT_EQ(RunTouchsim(touchsim), 1) << touchsim.Output(Stream::kStderr);
    const std::string expected =
        hadValue ? "touchsim: cannot put COM1: back to \"/dev/ttyS0\" in the registry of " + root.path() +
                       " (see the registry error above): it still names " + line +
                       ", which is gone; correct what the registry error names, then map the port again\n"
                 : "touchsim: cannot remove COM1: from the registry of " + root.path() +
                       " (see the registry error above): it still names " + line +
                       ", which is gone; correct what the registry error names, then remove the value COM1: of "
                       "HKEY_LOCAL_MACHINE\\Platform\\Serial\n";
    EXPECT_NE(touchsim.Output(Stream::kStderr).find(expected), std::string::npos) << touchsim.Output(Stream::kStderr);
  }
}

// With --tty, await looks for its window on the root --root names, not on DEVICE_ROOT's; with no
// root at all, a script that awaits is refused before it sends anything.
TEST(TouchsimProgram, AwaitOnATtyLooksInTheRootGiven) {
  testing_support::TempDeviceRoot other;  // DEVICE_ROOT's, where no window opens
  testing_support::TempDeviceRoot root;
  ChildProcess tray(NORVIK_BIN_DIR "/touchtray", {}, {{"DEVICE_ROOT", root.path()}});
  ASSERT_TRUE(tray.WaitForLine(Stream::kStdout, "touchtray: window TOUCHTRAY ready", kBound));
  testing_support::WriteFile(root.path() + "/script.txt", "tap 1 1\nawait \"TOUCHTRAY\" 20000\ntap 2 2\n");
  struct Case {
    std::vector<std::string> options;
    std::optional<std::string> deviceRoot;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {{"--root", root.path()}, other.path(), 0, "touchsim: sent 4 complete reports\n"},
      {{"--root=" + root.path()}, std::nullopt, 0, "touchsim: sent 4 complete reports\n"},
      {{}, root.path(), 0, "touchsim: sent 4 complete reports\n"},
      {{}, std::nullopt, 2,
       "touchsim: " + root.path() + "/script.txt:2: 'await' and 'gone' look for windows on a device root: pass "
       "--root DIR or set DEVICE_ROOT to the device's directory\n"},
  };
  for (const Case &c : cases) {
    testing_support::PseudoTerminal line;
    std::vector<std::string> arguments = {"--tty", line.slavePath()};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    arguments.push_back(root.path() + "/script.txt");
    ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", arguments, {{"DEVICE_ROOT", c.deviceRoot}});
    EXPECT_EQ(RunTouchsim(touchsim), c.status) << touchsim.Output(Stream::kStderr);
    const std::string said = touchsim.Output(Stream::kStdout) + touchsim.Output(Stream::kStderr);
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
  }
}

}  // namespace
