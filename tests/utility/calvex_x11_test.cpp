// Calvex end to end on a display: the real program under Xvfb shows its main dialog as an X11
// window with its logo drawn, and a user's click or key (played with xdotool), or a window
// manager's close request, ends it as the dialog's own buttons do. The Touch Settings dialog
// opens from it and stores what the user clicks; the calibration screen and the draw test cover
// the whole screen, and the draw test draws where the mouse drags.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <windows.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calibration_mapping.h"
#include "calibration_touches.h"
#include "norvik_host.h"
#include "png_file.h"
#include "process.h"
#include "test_root.h"
#include "x_server.h"

namespace {

using testing_support::ChildProcess;
using testing_support::FindProgram;
using testing_support::Stream;
using testing_support::XServer;

constexpr std::chrono::milliseconds kBound{20000};

// A dialog's X11 window is its whole window: the 26-pixel caption drawn across its top, then its
// client area. The points below are in the windows.
constexpr int kCaption = 26;
// The Quit button's centre in the main dialog with all five function buttons shown.
constexpr int kQuitX = 401 + 55;
constexpr int kQuitY = kCaption + 150 + 20;
// The centres of controls: "Touch Setting" in the main dialog; in the Touch Settings dialog, the
// Button mode radio, ">> &Large", the click-time slider and OK.
constexpr int kTouchSettingX = 283 + 55, kTouchSettingY = kCaption + 150 + 20;
constexpr int kButtonModeX = 359 + 20, kButtonModeY = kCaption + 18 + 10;
constexpr int kLargeX = 428 + 28, kLargeY = kCaption + 206 + 12;
constexpr int kOkX = 414 + 37, kOkY = kCaption + 310 + 11;
// "Calibrate 2pt", "Calibrate 5pt" and "Draw Test" in the main dialog.
constexpr int kCalibrate2X = 283 + 55, kCalibrate2Y = kCaption + 42 + 20;
constexpr int kCalibrate5X = 401 + 55, kCalibrate5Y = kCaption + 42 + 20;
constexpr int kDrawTestX = 401 + 55, kDrawTestY = kCaption + 96 + 20;
// "&Start" of the measurement in the Touch Settings dialog.
constexpr int kStartX = 21 + 29, kStartY = kCaption + 270 + 12;
// Near the right end of the click-response-time slider, (80,210)-(197,228) in the client area.
constexpr int kClickTimeHighX = 190, kClickTimeY = kCaption + 219;
// The logo static's rectangle: 38, 20, 44, 31 in dialog units of the client area.
constexpr int kLogoX = 76, kLogoY = kCaption + 40, kLogoW = 88, kLogoH = 62;
// The centres of the main dialog's caption boxes, 538 pixels wide: OK, then the close box.
constexpr int kOkBoxX = 538 - 26 - 13, kCloseBoxX = 538 - 13, kBoxY = 13;

class CalvexOnDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<std::string> xvfb = FindProgram("Xvfb");
    ASSERT_TRUE(xvfb) << "Xvfb is not installed: run scripts/setup, which installs it";
    std::optional<std::string> xdotool = FindProgram("xdotool");
    ASSERT_TRUE(xdotool) << "xdotool is not installed: run scripts/setup, which installs it";
    xdotool_ = *xdotool;
    server_ = std::make_unique<XServer>(*xvfb, screen_);
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start:\n" << server_->Errors();
    root_.WriteHive(testing_support::DefaultInstallation());
    // Fontconfig, under FLTK's text drawing, keeps its caches until the process ends; under
    // AddressSanitizer those would be reported as leaks of calvex.
    testing_support::WriteFile(root_.path() + "/lsan.supp", "leak:libfontconfig.so\n");
  }

  std::unique_ptr<ChildProcess> StartCalvex(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--root", root_.path()});
    return std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/calvex", arguments,
                                          std::map<std::string, std::optional<std::string>>{
                                              {"DISPLAY", server_->display()},
                                              {"LSAN_OPTIONS", "suppressions=" + root_.path() + "/lsan.supp"}});
  }

  // Runs xdotool on the test's display; its standard output, or nothing when it failed.
  std::optional<std::string> Xdotool(const std::vector<std::string> &arguments) {
    ChildProcess tool(xdotool_, arguments, {{"DISPLAY", server_->display()}});
    auto exit = tool.WaitForExit(kBound);
    if (!exit || exit->code != 0) return std::nullopt;
    return tool.Output(Stream::kStdout);
  }

  // The X11 window of the dialog whose title matches `pattern`, waiting until it is mapped and
  // then until it says it takes input, so that nothing the test does next reaches it too early.
  std::string WindowNamed(const std::string &pattern) {
    auto found = Xdotool({"search", "--sync", "--onlyvisible", "--name", pattern});
    if (!found || found->empty()) return "";
    std::string window = found->substr(0, found->find('\n'));
    return testing_support::WaitUntilTakesInput(server_->display(), window, kBound) ? window : "";
  }
  std::string MainWindow() { return WindowNamed("^Calvex$"); }
  // Waits until no mapped window's title matches `pattern`.
  bool WindowGone(const std::string &pattern) {
    return testing_support::WaitUntil(
        [&] { return !Xdotool({"search", "--onlyvisible", "--name", pattern}).has_value(); }, kBound);
  }

  // A click at (x, y) in the window, once it takes input: a dialog under another takes none until
  // the other has closed.
  bool ClickIn(const std::string &window, int x, int y) {
    if (!testing_support::WaitUntilTakesInput(server_->display(), window, kBound)) return false;
    auto origin = OriginOf(window);
    return origin &&
           Xdotool({"mousemove", std::to_string(origin->x + x), std::to_string(origin->y + y), "click", "1"});
  }

  struct Origin {
    int x = 0;
    int y = 0;
  };
  std::optional<Origin> OriginOf(const std::string &window) {
    auto shell = Xdotool({"getwindowgeometry", "--shell", window});
    if (!shell) return std::nullopt;
    Origin origin;
    if (std::sscanf(shell->c_str() + shell->find("X="), "X=%d", &origin.x) != 1 ||
        std::sscanf(shell->c_str() + shell->find("Y="), "Y=%d", &origin.y) != 1)
      return std::nullopt;
    return origin;
  }

  // A connection of the test's own to the display, to read pixels and send what a window manager
  // would.
  Display *Connection() {
    if (connection_ == nullptr) connection_ = XOpenDisplay(server_->display().c_str());
    return connection_;
  }
  // Starts calvex and waits for its main dialog's window; empty when none appeared.
  std::string StartAndFindWindow(std::unique_ptr<ChildProcess> *calvex) {
    *calvex = StartCalvex();
    std::string window = MainWindow();
    EXPECT_FALSE(window.empty()) << "no window named Calvex appeared:\n" << (*calvex)->Output(Stream::kStderr);
    return window;
  }

  // What a window manager's close box sends: WM_DELETE_WINDOW. Xvfb runs no window manager.
  bool SendCloseRequest(const std::string &window) {
    Display *display = Connection();
    if (display == nullptr) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::strtoul(window.c_str(), nullptr, 10);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    bool sent = XSendEvent(display, event.xclient.window, False, NoEventMask, &event) != 0;
    XFlush(display);
    return sent;
  }

  // Clicks the main dialog's button at (x, y) and expects a window whose title matches `pattern`
  // to cover the whole 1024 x 768 screen: that window, or empty when none appeared.
  std::string OpenFullScreen(ChildProcess &calvex, const std::string &window, int x, int y, const char *pattern) {
    if (!ClickIn(window, x, y)) return "";
    std::string screen = WindowNamed(pattern);
    EXPECT_FALSE(screen.empty()) << pattern << " did not appear:\n" << calvex.Output(Stream::kStderr);
    auto shell = screen.empty() ? std::nullopt : Xdotool({"getwindowgeometry", "--shell", screen});
    EXPECT_TRUE(shell && shell->find("X=0\nY=0\nWIDTH=1024\nHEIGHT=768") != std::string::npos)
        << pattern << " does not cover the screen: " << shell.value_or("no geometry");
    return screen;
  }

  // Clicks Quit in the main dialog and expects calvex to end with status 0; `why` says what an
  // end that does not come means.
  void QuitAndExpectStatus0(ChildProcess &calvex, const std::string &window, const char *why) {
    ASSERT_TRUE(ClickIn(window, kQuitX, kQuitY));
    auto exit = calvex.WaitForExit(kBound);
    ASSERT_TRUE(exit) << why;
    EXPECT_EQ(exit->code, 0) << calvex.Output(Stream::kStderr);
  }

  // The pixels (RGB) of a rectangle of a window, row by row; empty when it cannot be read.
  struct Pixels {
    int width = 0;
    std::vector<unsigned long> rgb;
    unsigned long At(int x, int y) const { return rgb[static_cast<size_t>(y * width + x)]; }
  };
  Pixels PixelsOf(const std::string &window, int x, int y, int width, int height) {
    Pixels pixels;
    Display *display = Connection();
    if (display == nullptr) return pixels;
    XImage *image = XGetImage(display, std::strtoul(window.c_str(), nullptr, 10), x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr) return pixels;
    pixels.width = width;
    for (int row = 0; row < height; ++row)
      for (int column = 0; column < width; ++column) pixels.rgb.push_back(XGetPixel(image, column, row) & 0xffffff);
    XDestroyImage(image);
    return pixels;
  }

  void TearDown() override {
    if (connection_ != nullptr) XCloseDisplay(connection_);
  }

  std::string screen_ = "1024x768x24";  // Xvfb's screen
  testing_support::TempDeviceRoot root_;
  std::unique_ptr<XServer> server_;
  Display *connection_ = nullptr;
  std::string xdotool_;
};

// Each way a user ends the program on a display with no window manager: Quit clicked, Escape, the
// boxes of the caption calvex draws itself, and a window manager's close request where there is one.
TEST_F(CalvexOnDisplay, QuitEscapeAndTheCaptionsBoxesEachEndTheProgramWithStatus0) {
  struct Case {
    const char *name;
    std::function<bool(const std::string &window)> act;
  };
  const Case cases[] = {
      {"Quit clicked",
       [this](const std::string &window) {
         auto origin = OriginOf(window);
         return origin && Xdotool({"mousemove", std::to_string(origin->x + kQuitX), std::to_string(origin->y + kQuitY),
                                   "click", "1"});
       }},
      {"Escape",
       [this](const std::string &window) {
         return Xdotool({"windowfocus", "--sync", window}) && Xdotool({"key", "Escape"});
       }},
      {"a window manager's close request", [this](const std::string &window) { return SendCloseRequest(window); }},
      {"the caption's OK box clicked", [this](const std::string &window) { return ClickIn(window, kOkBoxX, kBoxY); }},
      {"the caption's close box clicked",
       [this](const std::string &window) { return ClickIn(window, kCloseBoxX, kBoxY); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ChildProcess> calvex;
    std::string window = StartAndFindWindow(&calvex);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(c.act(window));
    auto exit = calvex->WaitForExit(kBound);
    ASSERT_TRUE(exit) << "calvex did not end";
    EXPECT_EQ(exit->code, 0) << calvex->Output(Stream::kStderr);
    // The X server destroys an ended program's window once it sees the connection close: the next
    // case's search must not find this one.
    ASSERT_TRUE(WindowGone("^Calvex$"));
  }
}

// The logo fills its static: in each of the static's left and right quarters at least a fifth of
// the pixels differ from the dialog's background, so the picture is not a strip in the middle.
// Drawing follows the window's mapping, so the test looks until it appears.
TEST_F(CalvexOnDisplay, TheLogoBitmapFillsItsStatic) {
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  constexpr int kQuarter = kLogoW / 4;
  auto drawnIn = [&](const Pixels &pixels, int left) {
    const unsigned long background = pixels.At(2, kCaption + 2);
    int differing = 0;
    for (int y = kLogoY; y < kLogoY + kLogoH; ++y)
      for (int x = left; x < left + kQuarter; ++x) differing += pixels.At(x, y) != background ? 1 : 0;
    return differing;
  };
  constexpr int kEnough = kQuarter * kLogoH / 5;
  int left = 0, right = 0;
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while ((left < kEnough || right < kEnough) && std::chrono::steady_clock::now() < deadline) {
    Pixels pixels = PixelsOf(window, 0, 0, kLogoX + kLogoW, kLogoY + kLogoH);
    ASSERT_FALSE(pixels.rgb.empty());
    left = drawnIn(pixels, kLogoX);
    right = drawnIn(pixels, kLogoX + kLogoW - kQuarter);
    if (left < kEnough || right < kEnough) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(left, kEnough) << "the logo leaves its static's left quarter empty";
  EXPECT_GE(right, kEnough) << "the logo leaves its static's right quarter empty";
}

// The user opens Touch Settings with the mouse, clicks Button mode and ">> &Large", releases the
// click-time slider near its right end and presses OK: the registry holds each change as it is
// made. Opened again, the dialog closes with the close box as with OK.
TEST_F(CalvexOnDisplay, TouchSettingsOpensAndStoresWhatTheUserClicks) {
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(ClickIn(window, kTouchSettingX, kTouchSettingY));
  std::string settings = WindowNamed("^Touch  Settings$");
  ASSERT_FALSE(settings.empty()) << "the Touch Settings dialog did not appear:\n" << calvex->Output(Stream::kStderr);
  auto stored = [this](const std::string &line) {
    return testing_support::WaitUntil([&] { return root_.ReadHive().find(line) != std::string::npos; }, kBound);
  };
  ASSERT_TRUE(ClickIn(settings, kButtonModeX, kButtonModeY));
  EXPECT_TRUE(stored("\"MouseMod\"=dword:00000002")) << root_.ReadHive();
  ASSERT_TRUE(ClickIn(settings, kLargeX, kLargeY));
  EXPECT_TRUE(stored("\"XInplace\"=dword:00001d4c")) << root_.ReadHive();
  EXPECT_TRUE(stored("\"YInplace\"=dword:00001d4c")) << root_.ReadHive();
  ASSERT_TRUE(ClickIn(settings, kClickTimeHighX, kClickTimeY));
  EXPECT_TRUE(stored("\"CliDelay\"=dword:0000005") || stored("\"CliDelay\"=dword:0000006"))
      << "the released slider stored no click time near its right end:\n" << root_.ReadHive();
  std::string hive = root_.ReadHive();
  size_t sel = hive.find("\"SelDelay\"="), cli = hive.find("\"CliDelay\"=");
  ASSERT_NE(sel, std::string::npos);
  ASSERT_NE(cli, std::string::npos);
  EXPECT_EQ(hive.substr(sel + 11, 14), hive.substr(cli + 11, 14)) << "the two words of the pair differ";
  // The main dialog takes clicks again only once the dialog above it has closed.
  ASSERT_TRUE(ClickIn(settings, kOkX, kOkY));
  ASSERT_TRUE(WindowGone("^Touch  Settings$")) << "OK did not close the dialog";

  ASSERT_TRUE(ClickIn(window, kTouchSettingX, kTouchSettingY));
  settings = WindowNamed("^Touch  Settings$");
  ASSERT_FALSE(settings.empty());
  ASSERT_TRUE(SendCloseRequest(settings));
  ASSERT_TRUE(WindowGone("^Touch  Settings$")) << "the close box did not close the dialog";
  QuitAndExpectStatus0(*calvex, window, "calvex did not end: the Touch Settings dialog may still be open");
}

// The calibration screen covers the whole X screen, above the main dialog; Escape leaves it and
// the prompt asks whether to calibrate again, which Escape (No) declines.
TEST_F(CalvexOnDisplay, TheCalibrationScreenCoversTheWholeScreen) {
  testing_support::PseudoTerminal line;  // the controller's port, read by the calibration itself
  root_.WriteHive(testing_support::DefaultDevice(line.slavePath()));
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  std::string screen = OpenFullScreen(*calvex, window, kCalibrate5X, kCalibrate5Y, "^Touch calibration$");
  ASSERT_FALSE(screen.empty());
  ASSERT_TRUE(Xdotool({"windowfocus", "--sync", screen}) && Xdotool({"key", "Escape"}));
  std::string prompt = WindowNamed("^ 5 Point Calibration$");
  ASSERT_FALSE(prompt.empty()) << "no prompt after Escape";
  ASSERT_TRUE(Xdotool({"windowfocus", "--sync", prompt}) && Xdotool({"key", "Escape"}));
  ASSERT_TRUE(WindowGone("^ 5 Point Calibration$"));
  QuitAndExpectStatus0(*calvex, window, "calvex did not end");
}

// SIGTERM while the "Calibrate again?" prompt is open ends the program as it does from the main
// dialog: the prompt, then the dialog under it, close, and the status is 128 + 15.
TEST_F(CalvexOnDisplay, SigtermWithTheCalibrateAgainPromptOpenEndsTheProgram) {
  testing_support::PseudoTerminal line;
  root_.WriteHive(testing_support::DefaultDevice(line.slavePath()));
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  std::string screen = OpenFullScreen(*calvex, window, kCalibrate5X, kCalibrate5Y, "^Touch calibration$");
  ASSERT_FALSE(screen.empty());
  ASSERT_TRUE(Xdotool({"windowfocus", "--sync", screen}) && Xdotool({"key", "Escape"}));
  ASSERT_FALSE(WindowNamed("^ 5 Point Calibration$").empty()) << "no prompt after Escape";
  ASSERT_TRUE(calvex->Signal(SIGTERM));
  auto exit = calvex->WaitForExit(kBound);
  ASSERT_TRUE(exit) << "calvex went on with the prompt open after SIGTERM";
  EXPECT_EQ(exit->code, 143) << calvex->Output(Stream::kStderr);
  EXPECT_NE(calvex->Output(Stream::kStderr).find("calvex: ended by SIGTERM"), std::string::npos)
      << calvex->Output(Stream::kStderr);
}

// A measurement tick whose device call keeps the program waiting for several periods is followed
// by one tick, not by one for each period missed: the counter device answers its second read only
// after 3.5 s, and the fifth read comes a period after the third at the earliest, not at once.
TEST_F(CalvexOnDisplay, AfterAStalledTickTheMeasurementReadsOnceNotOncePerMissedSecond) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Counter]\n\"Dll\"=\"libcounter_driver.so\"\n"
                  "\"Prefix\"=\"NRV\"\n\"Counts\"=\"10,20,30,40,50\"\n\"Stall\"=\"2:3500\"\n");
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root_.path()});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound)) << devmgr.Output(Stream::kStderr);
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(ClickIn(window, kTouchSettingX, kTouchSettingY));
  std::string settings = WindowNamed("^Touch  Settings$");
  ASSERT_FALSE(settings.empty()) << calvex->Output(Stream::kStderr);
  ASSERT_TRUE(ClickIn(settings, kStartX, kStartY));

  // When each read answered, on the device's clock.
  auto answered = [&](int read) -> std::optional<unsigned> {
    auto found = devmgr.WaitForLine(Stream::kStdout, "counter: read " + std::to_string(read) + " at", kBound);
    unsigned at = 0;
    if (!found || std::sscanf(found->c_str() + found->find(" at ") + 4, "%u", &at) != 1) return std::nullopt;
    return at;
  };
  auto stalled = answered(2);
  ASSERT_TRUE(stalled) << "the measurement did not read twice:\n" << devmgr.Output(Stream::kStdout);
  auto fifth = answered(5);
  ASSERT_TRUE(fifth) << devmgr.Output(Stream::kStdout);
  EXPECT_GT(*fifth - *stalled, 800u) << "the ticks missed during the stall ran back to back:\n"
                                     << devmgr.Output(Stream::kStdout);
  ASSERT_TRUE(ClickIn(settings, kOkX, kOkY));
  ASSERT_TRUE(WindowGone("^Touch  Settings$"));
  QuitAndExpectStatus0(*calvex, window, "calvex did not end");
}

// The draw test on a display: a drag of the mouse across its canvas leaves a line there, and a
// click on "Done" ends it. The line runs between the rows of reference crosses of a 1024 x 768
// screen (at y 384 and 528).
TEST_F(CalvexOnDisplay, ADragOnTheDrawTestLeavesALineAndDoneEndsIt) {
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  std::string canvas = OpenFullScreen(*calvex, window, kDrawTestX, kDrawTestY, "^Draw test$");
  ASSERT_FALSE(canvas.empty());
  constexpr int kRow = 450, kFrom = 300, kTo = 700;
  std::vector<std::string> drag{"mousemove", std::to_string(kFrom), std::to_string(kRow), "mousedown", "1"};
  for (int x = kFrom + 50; x <= kTo; x += 50)
    for (const std::string &word : {std::string("mousemove"), std::to_string(x), std::to_string(kRow)})
      drag.push_back(word);
  drag.insert(drag.end(), {"mouseup", "1"});
  ASSERT_TRUE(Xdotool(drag));

  // The line is black, two pixels thick, on the dialog's grey; the test looks until it is drawn.
  auto columnsCrossed = [&] {
    Pixels band = PixelsOf(canvas, 0, kRow - 3, 1024, 7);
    int crossed = 0;
    for (int x = kFrom + 10; x < kTo - 10 && !band.rgb.empty(); ++x) {
      bool dark = false;
      for (int y = 0; y < 7 && !dark; ++y) dark = band.At(x, y) == 0;
      crossed += dark ? 1 : 0;
    }
    return crossed;
  };
  EXPECT_TRUE(testing_support::WaitUntil([&] { return columnsCrossed() == kTo - kFrom - 20; }, kBound))
      << "the drag left a line across " << columnsCrossed() << " of " << kTo - kFrom - 20 << " columns";
  // Nothing is drawn where the mouse did not go.
  Pixels above = PixelsOf(canvas, kFrom, kRow - 40, kTo - kFrom, 1);
  ASSERT_FALSE(above.rgb.empty());
  EXPECT_EQ(std::count(above.rgb.begin(), above.rgb.end(), 0ul), 0);

  ASSERT_TRUE(ClickIn(canvas, 1024 / 2, 768 - 44 + 18));
  ASSERT_TRUE(WindowGone("^Draw test$")) << "Done did not end the draw test";
  QuitAndExpectStatus0(*calvex, window, "calvex did not end: the draw test may still be open");
}

// With the xtest pointer output, the driver's touches move the X pointer: touchsim's tap on Quit
// presses it, and calvex ends.
TEST_F(CalvexOnDisplay, ATapThroughXTestPressesQuit) {
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  auto origin = OriginOf(window);
  ASSERT_TRUE(origin);
  // The X screen is 1024 x 768; touchsim's screen points span it.
  auto point = [](int pixel, int size) { return std::to_string(std::lround(pixel * 65535.0 / (size - 1))); };
  testing_support::WriteFile(root_.path() + "/gestures.txt",
                             "hold " + point(origin->x + kQuitX, 1024) + " " + point(origin->y + kQuitY, 768) +
                                 " 3\nlift\n");
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root_.path(), "--port", "COM1:", "--baud", "9600",
                                                     "--panel", "noise=0", root_.path() + "/gestures.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound));
  ASSERT_TRUE(root_.StoreString(u"Platform\\Input", u"Pointer", u"xtest"));
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root_.path()}, {{"DISPLAY", server_->display()}});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound));
  auto exit = calvex->WaitForExit(kBound);
  ASSERT_TRUE(exit) << "the tap did not press Quit:\n" << devmgr.Output(Stream::kStderr);
  EXPECT_EQ(exit->code, 0);
  devmgr.Signal(SIGTERM);
  devmgr.WaitForExit(kBound);
}

// Calvex on a bare 800 x 480 display, the device's screen, as a kiosk runs it.
class CalvexOnDevicesScreen : public CalvexOnDisplay {
 protected:
  CalvexOnDevicesScreen() { screen_ = "800x480x24"; }

  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Geometry &) const = default;
  };
  std::optional<Geometry> GeometryOf(const std::string &window) {
    auto shell = Xdotool({"getwindowgeometry", "--shell", window});
    Geometry geometry;
    if (!shell || std::sscanf(shell->c_str() + shell->find("X="), "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &geometry.x,
                              &geometry.y, &geometry.width, &geometry.height) != 4)
      return std::nullopt;
    return geometry;
  }

  // Waits until the window shows `rgb` at (x, y): what it draws there has been drawn.
  bool Shows(const std::string &window, int x, int y, unsigned long rgb) {
    return testing_support::WaitUntil(
        [&] {
          Pixels pixel = PixelsOf(window, x, y, 1, 1);
          return !pixel.rgb.empty() && pixel.rgb[0] == rgb;
        },
        kBound);
  }

  // With CALVEX_SCREENSHOTS naming a folder, the whole screen goes there as NAME.png.
  void Picture(const char *name) {
    const char *folder = std::getenv("CALVEX_SCREENSHOTS");
    if (folder == nullptr || *folder == '\0') return;
    Display *display = Connection();
    ASSERT_NE(display, nullptr);
    Pixels screen = PixelsOf(std::to_string(DefaultRootWindow(display)), 0, 0, 800, 480);
    ASSERT_FALSE(screen.rgb.empty());
    EXPECT_TRUE(testing_support::WritePng(std::string(folder) + "/" + name + ".png", 800, 480, screen.rgb)) << name;
  }
};

constexpr unsigned long kCaptionColour = 0x000080;  // navy, as the caption bar is drawn

// Each window stands where the device shows it, with the caption calvex draws: the main dialog
// centred on the screen, Touch Settings centred on it, the "Calibrate again?" box centred on the
// screen; calibration screens and the draw test cover it. A 2-point calibration touched through
// touchsim's controller reaches its result page. The caption's boxes close the dialogs.
TEST_F(CalvexOnDevicesScreen, WindowsStandWhereTheDeviceShowsThem) {
  // The calibration reads the controller itself: touchsim touches the two targets once the test
  // has seen the first, then the result page comes.
  const std::vector<std::pair<int, int>> targets = testing_support::TargetsOf(2);
  std::string gestures = "await \"Touch calibration\" 30000\nawait \"target seen\" 30000\n";
  for (const auto &[x, y] : targets)
    gestures += "hold " + std::to_string(testing_support::ScreenPointOf(x, 800)) + " " +
                std::to_string(testing_support::ScreenPointOf(y, 480)) + " 9\nlift\nwait 60\n";
  testing_support::WriteFile(root_.path() + "/gestures.txt", gestures);
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root_.path(), "--port", "COM1:", "--baud", "9600",
                                                     "--panel", "noise=0", root_.path() + "/gestures.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);

  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  EXPECT_EQ(GeometryOf(window), (Geometry{131, 107, 538, 266}));
  ASSERT_TRUE(Shows(window, 4, 4, kCaptionColour)) << "the main dialog's caption is not drawn";
  Picture("calvex-main-dialog");

  ASSERT_TRUE(ClickIn(window, kTouchSettingX, kTouchSettingY));
  std::string settings = WindowNamed("^Touch  Settings$");
  ASSERT_FALSE(settings.empty());
  EXPECT_EQ(GeometryOf(settings), (Geometry{149, 54, 501, 372}));
  ASSERT_TRUE(Shows(settings, 4, 4, kCaptionColour)) << "the Touch Settings caption is not drawn";
  Picture("calvex-touch-settings");
  ASSERT_TRUE(ClickIn(settings, 501 - 13, 13));
  ASSERT_TRUE(WindowGone("^Touch  Settings$")) << "the close box did not close Touch Settings";

  ASSERT_TRUE(ClickIn(window, kCalibrate2X, kCalibrate2Y));
  std::string screen = WindowNamed("^Touch calibration$");
  ASSERT_FALSE(screen.empty());
  EXPECT_EQ(GeometryOf(screen), (Geometry{0, 0, 800, 480}));
  // The first target's cross is black at its centre.
  ASSERT_TRUE(Shows(screen, targets[0].first, targets[0].second, 0x000000)) << "the first target is not drawn";
  Picture("calvex-calibration-screen");
  HWND seen = CreateWindowExW(0, u"BUTTON", u"target seen", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  std::string result = WindowNamed("^Calibration result$");
  DestroyWindow(seen);
  ASSERT_FALSE(result.empty()) << "no result page:\n" << touchsim.Output(Stream::kStderr);
  Picture("calvex-result-page");
  ASSERT_TRUE(ClickIn(result, 400, 420));  // its OK

  std::string prompt = WindowNamed("^ 2 Point Calibration$");
  ASSERT_FALSE(prompt.empty()) << "no prompt after the result page";
  // " 2 Point Calibration Finished!, Calibrate again? ": 49 characters of 8 pixels between 12-pixel
  // margins, over a row of Yes and No.
  EXPECT_EQ(GeometryOf(prompt), (Geometry{192, 189, 416, 102}));
  ASSERT_TRUE(Shows(prompt, 4, 4, kCaptionColour)) << "the prompt's caption is not drawn";
  Picture("calvex-prompt");
  ASSERT_TRUE(ClickIn(prompt, 416 - 13, 13));  // the close box: No
  ASSERT_TRUE(WindowGone("^ 2 Point Calibration$"));

  ASSERT_TRUE(ClickIn(window, kDrawTestX, kDrawTestY));
  std::string canvas = WindowNamed("^Draw test$");
  ASSERT_FALSE(canvas.empty());
  EXPECT_EQ(GeometryOf(canvas), (Geometry{0, 0, 800, 480}));
  ASSERT_TRUE(Xdotool({"mousemove", "250", "320", "mousedown", "1", "mousemove", "350", "320", "mousemove", "450",
                       "320", "mousemove", "550", "320", "mouseup", "1"}));
  // The line, black and two pixels thick, crosses x = 400 within three pixels of y = 320.
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] {
        Pixels band = PixelsOf(canvas, 400, 317, 1, 7);
        return std::count(band.rgb.begin(), band.rgb.end(), 0ul) > 0;
      },
      kBound))
      << "the drag left no line";
  Picture("calvex-draw-test");
  ASSERT_TRUE(ClickIn(canvas, 400, 480 - 44 + 18));
  ASSERT_TRUE(WindowGone("^Draw test$"));

  ASSERT_TRUE(ClickIn(window, kOkBoxX, kBoxY));
  auto exit = calvex->WaitForExit(kBound);
  ASSERT_TRUE(exit) << "the caption's OK box did not end calvex";
  EXPECT_EQ(exit->code, 0) << calvex->Output(Stream::kStderr);
}

// calvex --calibrate 5 and --check on the display, without the main dialog: touchsim alone does
// the run, whose result page ends calvex with status 0; the check run's page then shows its
// errors within a pixel, and its OK ends calvex with status 0.
TEST_F(CalvexOnDevicesScreen, CalibrateAndCheckRunWithoutTheMainDialog) {
  testing_support::WriteFile(root_.path() + "/gestures.txt",
                             testing_support::CalibrationRound(testing_support::TargetsOf(5)) +
                                 testing_support::CalibrationRound(testing_support::CheckTargetsOf()));
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root_.path(), "--port", "COM1:", "--baud", "9600",
                                                     "--panel", "left=900,right=15200,bottom=700,top=15900,noise=4",
                                                     root_.path() + "/gestures.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);
  struct Run {
    std::vector<std::string> arguments;
    const char *page;
    const char *picture;  // empty: none
  };
  const Run runs[] = {{{"--calibrate", "5"}, "^Calibration result$", ""},
                      {{"--check"}, "^Calibration check$", "calvex-check-page"}};
  for (const Run &run : runs) {
    SCOPED_TRACE(run.arguments[0]);
    std::unique_ptr<ChildProcess> calvex = StartCalvex(run.arguments);
    std::string page = WindowNamed(run.page);
    ASSERT_FALSE(page.empty()) << calvex->Output(Stream::kStderr) << touchsim.Output(Stream::kStderr);
    EXPECT_EQ(GeometryOf(page), (Geometry{0, 0, 800, 480}));
    if (*run.picture != 0) Picture(run.picture);
    ASSERT_TRUE(ClickIn(page, 400, 420));  // its OK
    auto exit = calvex->WaitForExit(kBound);
    ASSERT_TRUE(exit) << "calvex did not end with its run";
    EXPECT_EQ(exit->code, 0) << calvex->Output(Stream::kStderr);
  }
}

// Two monitors side by side, as RandR names them, and the registry naming the right one.
class CalvexOnTwoMonitors : public CalvexOnDevicesScreen {
 protected:
  CalvexOnTwoMonitors() { screen_ = "1600x480x24"; }
  void SetUp() override {
    CalvexOnDevicesScreen::SetUp();
    Display *display = Connection();
    ASSERT_NE(display, nullptr);
    for (auto [name, x] : {std::pair{"LEFT", 0}, std::pair{"RIGHT", 800}}) {
      XRRMonitorInfo monitor{};
      monitor.name = XInternAtom(display, name, False);
      monitor.x = x;
      monitor.width = 800;
      monitor.height = 480;
      monitor.mwidth = 200;
      monitor.mheight = 120;
      XRRSetMonitor(display, DefaultRootWindow(display), &monitor);
    }
    XSync(display, False);
    ASSERT_TRUE(root_.StoreString(u"Platform\\Display", u"Output", u"RIGHT"));
  }
};

// calvex's windows stand on the monitor the registry names, and the calibration it stores maps
// the panel over that monitor onto its part of the X screen, which the pointer's positions span.
TEST_F(CalvexOnTwoMonitors, WindowsStandOnTheNamedMonitorAndTheCalibrationLandsThere) {
  const std::vector<std::pair<int, int>> targets = testing_support::TargetsOf(2);
  testing_support::WriteFile(root_.path() + "/gestures.txt", testing_support::CalibrationRound(targets));
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root_.path(), "--port", "COM1:", "--baud", "9600",
                                                     "--panel", "noise=0", root_.path() + "/gestures.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);
  std::unique_ptr<ChildProcess> calvex;
  std::string window = StartAndFindWindow(&calvex);
  ASSERT_FALSE(window.empty());
  EXPECT_TRUE(calvex->WaitForLine(Stream::kStderr, "gwes: the device's screen is the monitor \"RIGHT\"", kBound));
  EXPECT_EQ(GeometryOf(window), (Geometry{800 + 131, 107, 538, 266}));
  ASSERT_TRUE(ClickIn(window, kCalibrate2X, kCalibrate2Y));
  std::string screen = WindowNamed("^Touch calibration$");
  ASSERT_FALSE(screen.empty());
  EXPECT_EQ(GeometryOf(screen), (Geometry{800, 0, 800, 480}));
  auto stored = calvex->WaitForLine(Stream::kStderr, "calibkit: Do2PtsCalibration: stored", kBound);
  ASSERT_TRUE(stored) << touchsim.Output(Stream::kStderr);
  CalibrationCorners corners{};
  ASSERT_EQ(std::sscanf(stored->c_str() + stored->find("LLX="), "LLX=%d LLY=%d URX=%d URY=%d", &corners.LLX,
                        &corners.LLY, &corners.URX, &corners.URY),
            4);
  // The ideal panel reads a quarter of the screen point; its left edge is the X screen's middle.
  for (auto [point, pixel] : {std::pair{0, 800}, std::pair{32768, 1200}, std::pair{65535, 1599}}) {
    DWORD x = static_cast<DWORD>(point / 4 * 4), y = 32768;
    MapThroughCorners(corners, x, y);
    EXPECT_NEAR(x * 1600.0 / 65536, pixel, 1.0) << point;
  }
  std::string result = WindowNamed("^Calibration result$");
  ASSERT_FALSE(result.empty());
  ASSERT_TRUE(ClickIn(result, 400, 420));
  std::string prompt = WindowNamed("^ 2 Point Calibration$");
  ASSERT_FALSE(prompt.empty());
  EXPECT_EQ(GeometryOf(prompt), (Geometry{800 + 192, 189, 416, 102}));
  ASSERT_TRUE(ClickIn(prompt, 416 - 13, 13));
  ASSERT_TRUE(WindowGone("^ 2 Point Calibration$"));
  QuitAndExpectStatus0(*calvex, window, "calvex did not end");
}

TEST(CalvexWithoutDisplay, SaysHowToRunAndExits2) {
  testing_support::TempDeviceRoot root;
  struct Case {
    const char *name;
    std::optional<std::string> display;
    const char *says;
  };
  const Case cases[] = {
      {"no DISPLAY", std::nullopt, "DISPLAY is not set"},
      {"no server behind DISPLAY", ":32767", "cannot connect to the X11 display :32767"},
  };
  for (const Case &c : cases) {
    ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--root", root.path()}, {{"DISPLAY", c.display}});
    auto exit = calvex.WaitForExit(kBound);
    ASSERT_TRUE(exit) << c.name;
    EXPECT_EQ(exit->code, 2) << c.name;
    std::string errors = calvex.Output(Stream::kStderr);
    EXPECT_NE(errors.find(c.says), std::string::npos) << c.name << ": " << errors;
    EXPECT_NE(errors.find("--headless --script FILE"), std::string::npos) << c.name << ": " << errors;
  }
}

}  // namespace
