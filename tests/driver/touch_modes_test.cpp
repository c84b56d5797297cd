// Touches end to end, in each touch mode: touchsim plays the gestures on a pseudo-terminal, the
// real devmgr runs the driver, its mouse events land in the pointer log, and a right-button touch
// ends with a notice to the real touchtray.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::DefaultInstallation;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{30000};

std::string WithMouseMod(std::string hive, const char *value) {
  const std::string line = "\"MouseMod\"=dword:00000000";
  hive.replace(hive.find(line), line.size(), std::string("\"MouseMod\"=dword:") + value);
  return hive;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The flags of each mouse event in the log, e.g. "0x8003".
std::vector<std::string> Flags(const std::vector<std::string> &log) {
  std::vector<std::string> flags;
  for (const std::string &line : log)
    if (line.rfind("mouse_event flags=", 0) == 0) flags.push_back(line.substr(18, line.find(' ', 18) - 18));
  return flags;
}

class TouchModes : public ::testing::Test {
 protected:
  // Runs the gestures through the whole chain with MouseMod set to `mouseMod` when the driver
  // starts, and returns the pointer log. With `timed`, the tray starts only once the driver reads
  // the line, so that a script that begins by awaiting its window sends in real time from there
  // (what touchsim sends before the driver reads arrives all at once).
  std::vector<std::string> Play(const char *mouseMod, const std::string &script, const char *touSound = "00000000",
                                const std::string &driverValues = "", bool timed = false) {
    std::string hive = WithMouseMod(DefaultInstallation(), mouseMod);
    hive.insert(hive.find("\"MouseMod\"="), driverValues);
    const std::string sound = "\"TouSound\"=dword:00000000";
    hive.replace(hive.find(sound), sound.size(), std::string("\"TouSound\"=dword:") + touSound);
    hive += "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + root.path() +
            "/pointer.log\"\n";
    root.WriteHive(hive);
    testing_support::WriteFile(root.path() + "/script.txt", script);

    auto startTray = [&] {
      tray = std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/touchtray", std::vector<std::string>{});
      EXPECT_TRUE(tray->WaitForLine(Stream::kStdout, "ready", kBound)) << tray->Output(Stream::kStderr);
    };
    if (!timed) startTray();
    ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--port", "COM1:", "--baud", "0", root.path() + "/script.txt"});
    EXPECT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);
    ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
    EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);
    if (timed) startTray();
    auto exit = touchsim.WaitForExit(kBound);
    EXPECT_TRUE(exit && exit->code == 0) << touchsim.Output(Stream::kStderr);
    // The driver writes each event before it reads the next bytes; stopping it waits for the
    // read thread, so every event of the script is in the log once devmgr has ended.
    devmgr.Signal(SIGTERM);
    EXPECT_TRUE(devmgr.WaitForExit(kBound));
    return Lines(testing_support::ReadFile(root.path() + "/pointer.log"));
  }

  testing_support::TempDeviceRoot root;
  std::unique_ptr<ChildProcess> tray;
};

TEST_F(TouchModes, DesktopPressesWithTheTouchAndReleasesWithTheLift) {
  auto log = Play("00000000", "tap 4096 4096\ndrag 1000 1000 9000 9000 4\nlift\n", "00000002");
  EXPECT_EQ(Flags(log), (std::vector<std::string>{"0x8003", "0x8005", "0x8003", "0x8001", "0x8001", "0x8001", "0x8005"}));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "MessageBeep type=0");
  // Uncalibrated: raw 4096 * 4 on x, and 65535 - 16384 on y (the controller's y runs upwards).
  EXPECT_EQ(log[1], "mouse_event flags=0x8003 dx=16384 dy=49151");
}

TEST_F(TouchModes, DrawingPressesOnceTheTouchIsHeld) {
  auto flags = Flags(Play("00000001", "hold 8000 8000 12\nlift\n"));
  ASSERT_EQ(flags.size(), 13u);
  // SelDelay 10, and the touch began away from the previous report: the press comes with the 11th.
  EXPECT_EQ(flags[10], "0x8003");
  EXPECT_EQ(flags[12], "0x8005");
  for (size_t i : {0u, 9u, 11u}) EXPECT_EQ(flags[i], "0x8001") << i;
}

TEST_F(TouchModes, ButtonClicksOncePerTouch) {
  auto flags = Flags(Play("00000002", "hold 8000 8000 14\nlift\n"));
  ASSERT_EQ(flags.size(), 15u);
  EXPECT_EQ(std::count(flags.begin(), flags.end(), "0x8003"), 1);
  EXPECT_EQ(std::count(flags.begin(), flags.end(), "0x8005"), 1);
  EXPECT_EQ(flags[11], "0x8005");
}

// A long press of 200 ms: the finger held still past it gives a right click, then only moves; a tap
// gives its press with its release.
TEST_F(TouchModes, ALongPressIsARightClickAndATapStillClicks) {
  auto flags = Flags(Play("00000000",
                          "await \"TOUCHTRAY\" 30000\nhold 8000 8000 3\nwait 300\nhold 8000 8000 3\nlift\n"
                          "tap 4000 4000\n",
                          "00000000", "\"LongPress\"=dword:000000c8\n", true));
  EXPECT_EQ(flags, (std::vector<std::string>{"0x8001", "0x8001", "0x8001", "0x8009", "0x8011", "0x8001", "0x8001",
                                             "0x8001", "0x8001", "0x8003", "0x8005"}));
}

TEST_F(TouchModes, NoPointerOutputInModeThree) {
  auto log = Play("00000003", "tap 100 100\ntap 200 200\n");
  EXPECT_TRUE(Flags(log).empty());
}

TEST_F(TouchModes, ArmedRightClickReachesTheTray) {
  auto flags = Flags(Play("80000000", "tap 8000 8000\ntap 8000 8000\n"));
  EXPECT_EQ(flags, (std::vector<std::string>{"0x8009", "0x8011", "0x8003", "0x8005"}));
  EXPECT_TRUE(tray->WaitForLine(Stream::kStdout, "WM_RBUTTONDOWN wParam=0 lParam=0", kBound));
  int notices = 0;
  for (const std::string &line : tray->Lines(Stream::kStdout)) notices += line.find("WM_RBUTTONDOWN") == 0;
  EXPECT_EQ(notices, 1);
}

}  // namespace
