// Touches reach the device's windows, with no X display: the driver in devmgr sends its mouse
// events to calvex's windows through the "windows" pointer output, and touchsim's taps work the
// utility as a user's finger does: "Touch Setting" opens the settings dialog, Drawing is stored,
// a tap on the main dialog beneath the open dialog does nothing, OK and Quit end the program, and
// the boxes in the windows' captions close them.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include "calibration_touches.h"
#include "norvik_host.h"

namespace {

using testing_support::ChildProcess;
using testing_support::NorvikHost;
using testing_support::ScreenPointOf;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{60000};

// A touch held still at a pixel of the 800 x 480 screen for 15 reports, then lifted: a click in
// Desktop mode, and in Drawing mode too once the hold (SelDelay, 10 reports) has passed.
std::string TapAt(int x, int y) {
  return "hold " + std::to_string(ScreenPointOf(x, 800)) + " " + std::to_string(ScreenPointOf(y, 480)) + " 15\nlift\n";
}

// The main dialog's window stands at (131, 107)-(669, 373): its client area, with the buttons in
// two columns, starts at (131, 133) under the caption, whose OK box is (617,107)-(643,133) and
// close box (643,107)-(669,133). The Touch Settings dialog opens centred on it, at
// (149, 54)-(650, 426), its client area at (149, 80) and its close box (624,54)-(650,80).
constexpr int kMainX = 131, kMainY = 133;
constexpr int kSettingsX = 149, kSettingsY = 80;
constexpr int kMainOkBoxX = 630, kMainCloseBoxX = 656, kMainCaptionY = 120;
constexpr int kSettingsCloseBoxX = 637, kSettingsCaptionY = 67;

TEST(CalvexByTouch, TapsOpenTheSettingsStoreDrawingAndQuit) {
  testing_support::TempDeviceRoot root;
  root.WriteHive(testing_support::DefaultInstallation() +
                 "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n\"PointerLog\"=\"pointer.log\"\n");
  const std::string gestures =
      "await \"Calvex\" 20000\nwait 300\n" + TapAt(kMainX + 338, kMainY + 170) +  // Touch Setting
      "await \"Touch  Settings\" 20000\nwait 300\n" + TapAt(kSettingsX + 249 + 42, kSettingsY + 18 + 10) +  // Drawing
      "wait 300\n" + TapAt(kMainX + 456, kMainY + 62) +  // Calibrate 5pt, beneath
      "wait 300\n" + TapAt(kSettingsX + 414 + 37, kSettingsY + 310 + 11) +  // OK
      "gone \"Touch  Settings\" 20000\nwait 300\n" + TapAt(kMainX + 456, kMainY + 170);  // Quit
  testing_support::WriteFile(root.path() + "/gestures.txt", gestures);
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root.path(), "--port", "COM1:", "--baud", "9600",
                                                     "--panel", "noise=0", root.path() + "/gestures.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);
  NorvikHost host(root);
  ASSERT_TRUE(host.Running()) << host.devmgr().Output(Stream::kStderr);

  // The script only lets time pass: the touches do the rest.
  testing_support::WriteFile(root.path() + "/script.txt", "await \"Touch  Settings\" 30000\nwait 60000\n");
  ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
  auto exit = calvex.WaitForExit(kBound);
  ASSERT_TRUE(exit) << "the taps did not end calvex:\n" << touchsim.Output(Stream::kStderr);
  EXPECT_EQ(exit->code, 0) << calvex.Output(Stream::kStderr);
  EXPECT_NE(root.ReadHive().find("\"MouseMod\"=dword:00000001"), std::string::npos) << "the tap on Drawing was not stored";
  EXPECT_EQ(host.devmgr().Output(Stream::kStderr).find("ReadThread Stop."), std::string::npos)
      << "the tap on the disabled main dialog started a calibration";
}

// The caption's boxes by touch alone: the Touch Settings dialog's close box closes it, and the main
// dialog's OK box, or its close box, ends the program with status 0.
TEST(CalvexByTouch, TheCaptionsBoxesCloseTheirDialogs) {
  struct Case {
    const char *name;
    std::string gestures;
  };
  const Case cases[] = {
      {"the Touch Settings close box, then the OK box",
       "await \"Calvex\" 20000\nwait 300\n" + TapAt(kMainX + 338, kMainY + 170) +  // Touch Setting
           "await \"Touch  Settings\" 20000\nwait 300\n" + TapAt(kSettingsCloseBoxX, kSettingsCaptionY) +
           "gone \"Touch  Settings\" 20000\nwait 300\n" + TapAt(kMainOkBoxX, kMainCaptionY)},
      {"the close box", "await \"Calvex\" 20000\nwait 300\n" + TapAt(kMainCloseBoxX, kMainCaptionY)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDeviceRoot root;
    root.WriteHive(testing_support::DefaultInstallation() +
                   "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n");
    testing_support::WriteFile(root.path() + "/gestures.txt", c.gestures);
    ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root.path(), "--port", "COM1:", "--baud", "9600",
                                                       "--panel", "noise=0", root.path() + "/gestures.txt"});
    ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);
    NorvikHost host(root);
    ASSERT_TRUE(host.Running()) << host.devmgr().Output(Stream::kStderr);
    testing_support::WriteFile(root.path() + "/script.txt", "wait 60000\n");
    ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
    auto exit = calvex.WaitForExit(kBound);
    ASSERT_TRUE(exit) << "the taps did not end calvex:\n" << touchsim.Output(Stream::kStderr);
    EXPECT_EQ(exit->code, 0) << calvex.Output(Stream::kStderr);
  }
}

// The draw test by touch alone: a tap on "Draw Test" opens it, a tap leaves a dot and a drag a
// line at the pixels the pointer log implies (within one pixel), "Done" ends it and Quit the
// program.
TEST(CalvexByTouch, TheDrawTestDrawsWhereTheDriverPutsTheTouches) {
  testing_support::TempDeviceRoot root;
  root.WriteHive(testing_support::DefaultInstallation() +
                 "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n\"PointerLog\"=\"pointer.log\"\n");
  auto point = [](int x, int y) { return std::to_string(ScreenPointOf(x, 800)) + " " + std::to_string(ScreenPointOf(y, 480)); };
  const std::string gestures = "await \"Calvex\" 20000\nwait 300\n" + TapAt(kMainX + 456, kMainY + 116) +  // Draw Test
                               "await \"Draw test\" 20000\nwait 300\ntap " + point(200, 200) + "\ndrag " +
                               point(300, 300) + " " + point(420, 330) + " 5\nlift\n" +
                               "await \"strokes done\" 20000\nwait 300\n" + TapAt(400, 454) +  // Done
                               "gone \"Draw test\" 20000\nwait 300\n" + TapAt(kMainX + 456, kMainY + 170);  // Quit
  testing_support::WriteFile(root.path() + "/gestures.txt", gestures);
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root.path(), "--port", "COM1:", "--baud", "9600",
                                                     "--panel", "noise=3", root.path() + "/gestures.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound));
  NorvikHost host(root);
  ASSERT_TRUE(host.Running());
  testing_support::WriteFile(root.path() + "/script.txt",
                             "await \"Draw test\" 30000\nawait \"strokes done\" 30000\ndump\nwait 60000\n");
  ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});

  // The log's events of the drawing: after the tap that opened the test (a press held 15
  // reports and its release), a tap (press, release), then the drag (press, 4 moves, release).
  struct Event {
    unsigned flags;
    int x, y;
  };
  std::vector<Event> events;
  auto read = [&] {
    events.clear();
    std::string log = testing_support::ReadFile(root.path() + "/pointer.log");
    for (size_t at = log.find("mouse_event"); at != std::string::npos; at = log.find("mouse_event", at + 1)) {
      unsigned flags = 0, dx = 0, dy = 0;
      if (std::sscanf(log.c_str() + at, "mouse_event flags=%x dx=%u dy=%u", &flags, &dx, &dy) == 3)
        events.push_back({flags, static_cast<int>(std::lround(dx * 799.0 / 65535)),
                          static_cast<int>(std::lround(dy * 479.0 / 65535))});
    }
    return events.size() >= 16 + 7;
  };
  ASSERT_TRUE(testing_support::WaitUntil(read, kBound)) << events.size() << " events";
  HWND done = CreateWindowExW(0, u"BUTTON", u"strokes done", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  auto exit = calvex.WaitForExit(kBound);
  DestroyWindow(done);
  ASSERT_TRUE(exit) << touchsim.Output(Stream::kStderr);
  EXPECT_EQ(exit->code, 0) << calvex.Output(Stream::kStderr);

  const std::vector<Event> drawing(events.begin() + 16, events.begin() + 23);
  auto near = [](int a, int b) { return std::abs(a - b) <= 1; };
  const std::string dump = calvex.Output(Stream::kStdout);
  std::vector<std::array<int, 4>> ellipses, lines;
  for (size_t at = dump.find("ellipse ("); at != std::string::npos; at = dump.find("ellipse (", at + 1)) {
    std::array<int, 4> e{};
    std::sscanf(dump.c_str() + at, "ellipse (%d,%d)-(%d,%d)", &e[0], &e[1], &e[2], &e[3]);
    ellipses.push_back(e);
  }
  for (size_t at = dump.find("line ("); at != std::string::npos; at = dump.find("line (", at + 1)) {
    std::array<int, 4> l{};
    std::sscanf(dump.c_str() + at, "line (%d,%d)-(%d,%d)", &l[0], &l[1], &l[2], &l[3]);
    lines.push_back(l);
  }
  ASSERT_EQ(ellipses.size(), 2u) << dump;
  ASSERT_EQ(lines.size(), 4u) << dump;
  // The dots are centred on the presses, the lines join the drag's positions in order.
  const Event presses[2] = {drawing[0], drawing[2]};
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(near((ellipses[i][0] + ellipses[i][2] - 1) / 2, presses[i].x) &&
                near((ellipses[i][1] + ellipses[i][3] - 1) / 2, presses[i].y))
        << "dot " << i << " at (" << ellipses[i][0] << "," << ellipses[i][1] << "), press at (" << presses[i].x << ","
        << presses[i].y << ")";
  }
  for (int i = 0; i < 4; ++i) {
    const Event &from = drawing[2 + i], &to = drawing[3 + i];
    EXPECT_TRUE(near(lines[i][0], from.x) && near(lines[i][1], from.y) && near(lines[i][2], to.x) &&
                near(lines[i][3], to.y))
        << "line " << i << " (" << lines[i][0] << "," << lines[i][1] << ")-(" << lines[i][2] << "," << lines[i][3]
        << ") against (" << from.x << "," << from.y << ")-(" << to.x << "," << to.y << ")";
  }
}

}  // namespace
