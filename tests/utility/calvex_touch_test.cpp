// Touches reach the device's windows, with no X display: the driver in devmgr sends its mouse
// events to calvex's windows through the "windows" pointer output, and touchsim's taps work the
// utility as a user's finger does: "Touch Setting" opens the settings dialog, Drawing is stored,
// a tap on the main dialog beneath the open dialog does nothing, OK and Quit end the program.
#include <gtest/gtest.h>

#include <string>

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

// The main dialog stands at (131, 120) with its buttons in two columns; the Touch Settings
// dialog at (0, 0).
constexpr int kMainX = 131, kMainY = 120;

TEST(CalvexByTouch, TapsOpenTheSettingsStoreDrawingAndQuit) {
  testing_support::TempDeviceRoot root;
  root.WriteHive(testing_support::DefaultInstallation() +
                 "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n\"PointerLog\"=\"pointer.log\"\n");
  const std::string gestures =
      "await \"Calvex\" 20000\nwait 300\n" + TapAt(kMainX + 338, kMainY + 170) +  // Touch Setting
      "await \"Touch  Settings\" 20000\nwait 300\n" + TapAt(249 + 42, 18 + 10) +     // Drawing
      "wait 300\n" + TapAt(kMainX + 456, kMainY + 62) +                            // Calibrate 5pt, beneath
      "wait 300\n" + TapAt(414 + 37, 310 + 11) +                                   // OK
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

}  // namespace
