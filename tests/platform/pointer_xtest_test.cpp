// The xtest pointer output against a real X server (Xvfb, 1024x768): where the pointer lands,
// which buttons are down, the bell, and what happens without a display or when it goes away.
// The server's state is read through Xlib on a connection of the test's own.
#include <gtest/gtest.h>
#include <windows.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "platform/debug_output.h"
#include "platform/pointer_output.h"
#include "platform/text.h"
#include "process.h"
#include "test_root.h"
#include "x_server.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;
using testing_support::FindProgram;
using testing_support::TempDeviceRoot;
using testing_support::XServer;

const DWORD kMoveTo = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;

using testing_support::DebugCapture;

struct PointerState {
  int x = -1;
  int y = -1;
  unsigned int mask = 0;
};

class PointerXTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<std::string> xvfb = FindProgram("Xvfb");
    ASSERT_TRUE(xvfb) << "Xvfb is not installed: run scripts/setup, which installs it";
    server_ = std::make_unique<XServer>(*xvfb);
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start:\n" << server_->Errors();
    setenv("DISPLAY", server_->display().c_str(), 1);
    viewer_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(viewer_, nullptr) << "cannot open " << server_->display();
    root_.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"xtest\"\n");
    platform::ResetPointerOutput();
  }

  void TearDown() override {
    platform::ResetPointerOutput();
    if (viewer_ != nullptr) XCloseDisplay(viewer_);
    server_.reset();
    unsetenv("DISPLAY");
  }

  PointerState Pointer() const {
    PointerState state;
    Window root = 0, child = 0;
    int windowX = 0, windowY = 0;
    XQueryPointer(viewer_, DefaultRootWindow(viewer_), &root, &child, &state.x, &state.y, &windowX, &windowY,
                  &state.mask);
    return state;
  }

  // The next event of the given type on the viewer's connection, waiting up to 10 s for it.
  std::optional<XEvent> WaitForEvent(int type) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      while (XPending(viewer_) > 0) {
        XEvent event;
        XNextEvent(viewer_, &event);
        if (event.type == type) return event;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd readable{ConnectionNumber(viewer_), POLLIN, 0};
      poll(&readable, 1, static_cast<int>(left.count()));
    }
  }

  TempDeviceRoot root_;
  std::unique_ptr<XServer> server_;
  Display *viewer_ = nullptr;
};

struct MoveStep {
  DWORD flags, dx, dy;
  int x, y;  // where the pointer is afterwards
};

// Absolute: x = dx * 1023 / 65535 and y = dy * 767 / 65535, rounded, with anything beyond 65535
// at the screen's edge. Relative: signed pixels. Without MOUSEEVENTF_MOVE: no move at all.
const MoveStep kMoveSteps[] = {
    {kMoveTo, 32768, 16384, 512, 192},
    {kMoveTo, 0, 0, 0, 0},
    {kMoveTo, 65535, 65535, 1023, 767},
    {kMoveTo, 100, 65000, 2, 761},
    {kMoveTo, 70000, 1, 1023, 0},
    {MOUSEEVENTF_MOVE, static_cast<DWORD>(-10), 5, 1013, 5},
    {MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN, 0, 0, 1013, 5},
    {MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP, 0, 0, 1013, 5},
};

TEST_F(PointerXTestTest, PointerLandsWhereTheFlagsAndCoordinatesSay) {
  for (const MoveStep &step : kMoveSteps) {
    mouse_event(step.flags, step.dx, step.dy, 0, 0);
    PointerState state = Pointer();
    EXPECT_EQ(state.x, step.x) << "flags 0x" << std::hex << step.flags << std::dec << " dx=" << step.dx;
    EXPECT_EQ(state.y, step.y) << "flags 0x" << std::hex << step.flags << std::dec << " dy=" << step.dy;
  }
}

struct ButtonStep {
  DWORD flags;
  unsigned int buttonsDown;  // of Button1Mask, Button2Mask, Button3Mask
};

const ButtonStep kButtonSteps[] = {
    {MOUSEEVENTF_LEFTDOWN, Button1Mask},
    {MOUSEEVENTF_RIGHTDOWN, Button1Mask | Button3Mask},
    {MOUSEEVENTF_LEFTUP, Button3Mask},
    {MOUSEEVENTF_MIDDLEDOWN, Button2Mask | Button3Mask},
    {MOUSEEVENTF_RIGHTUP | MOUSEEVENTF_MIDDLEUP, 0},
    {MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP, 0},
};

TEST_F(PointerXTestTest, EachButtonFlagPressesOrReleasesItsXButton) {
  const unsigned int kButtons = Button1Mask | Button2Mask | Button3Mask;
  for (const ButtonStep &step : kButtonSteps) {
    mouse_event(kMoveTo | step.flags, 32768, 32768, 0, 0);
    EXPECT_EQ(Pointer().mask & kButtons, step.buttonsDown) << "after flags 0x" << std::hex << step.flags;
  }
}

TEST_F(PointerXTestTest, PressIsSeenAtThePositionItCameWith) {
  XSelectInput(viewer_, DefaultRootWindow(viewer_), ButtonPressMask);
  XSync(viewer_, False);
  mouse_event(kMoveTo, 0, 0, 0, 0);
  mouse_event(kMoveTo | MOUSEEVENTF_LEFTDOWN, 32768, 16384, 0, 0);
  std::optional<XEvent> press = WaitForEvent(ButtonPress);
  ASSERT_TRUE(press) << "no ButtonPress within 10 s";
  EXPECT_EQ(press->xbutton.button, static_cast<unsigned int>(Button1));
  EXPECT_EQ(press->xbutton.x_root, 512);
  EXPECT_EQ(press->xbutton.y_root, 192);
  mouse_event(kMoveTo | MOUSEEVENTF_LEFTUP, 32768, 16384, 0, 0);
}

TEST_F(PointerXTestTest, MessageBeepRingsTheDisplaysBell) {
  int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  ASSERT_TRUE(XkbQueryExtension(viewer_, &opcode, &event, &error, &major, &minor)) << "Xvfb without XKB";
  XkbSelectEvents(viewer_, XkbUseCoreKbd, XkbBellNotifyMask, XkbBellNotifyMask);
  XSync(viewer_, False);
  EXPECT_TRUE(MessageBeep(MB_OK));
  std::optional<XEvent> bell = WaitForEvent(event);
  ASSERT_TRUE(bell) << "no bell within 10 s";
  EXPECT_EQ(reinterpret_cast<XkbEvent &>(*bell).any.xkb_type, XkbBellNotify);
}

TEST_F(PointerXTestTest, LostDisplayIsReportedOnceAndTheProcessCarriesOn) {
  mouse_event(kMoveTo, 100, 100, 0, 0);
  std::string display = server_->display();
  XCloseDisplay(viewer_);
  viewer_ = nullptr;
  server_->Stop();
  DebugCapture capture;
  mouse_event(kMoveTo, 200, 200, 0, 0);
  mouse_event(kMoveTo | MOUSEEVENTF_LEFTDOWN, 200, 200, 0, 0);
  EXPECT_FALSE(MessageBeep(MB_OK));
  ASSERT_EQ(capture.messages.size(), 1u);
  EXPECT_EQ(capture.messages[0], "gwes: lost the connection to the X display \"" + display +
                                     "\": start the X server again and restart this program; mouse_event and "
                                     "MessageBeep calls are dropped until then\n");
}

struct NoDisplayCase {
  const char *display;  // null: DISPLAY unset
  std::string message;
};

TEST(PointerXTestWithoutServer, DisplayThatCannotBeUsedIsReportedOnceAndTheCallsDropped) {
  const std::string kUseLog = ", or set HKLM\\Platform\\Input \"Pointer\" to \"log\"; mouse_event and MessageBeep "
                              "calls are dropped until it starts (tried again every 2 s)\n";
  const NoDisplayCase cases[] = {
      {nullptr, "gwes: Pointer is \"xtest\" but DISPLAY is not set: start an X server and set DISPLAY" + kUseLog},
      {"", "gwes: Pointer is \"xtest\" but DISPLAY is not set: start an X server and set DISPLAY" + kUseLog},
      {"/nonexistent/socket:0", "gwes: Pointer is \"xtest\" but the X display \"/nonexistent/socket:0\" cannot be "
                                "opened: start that X server or correct DISPLAY" + kUseLog},
  };
  TempDeviceRoot root;
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"xtest\"\n");
  for (const NoDisplayCase &c : cases) {
    SCOPED_TRACE(c.display != nullptr ? c.display : "(unset)");
    if (c.display != nullptr) setenv("DISPLAY", c.display, 1);
    else unsetenv("DISPLAY");
    platform::ResetPointerOutput();
    DebugCapture capture;
    mouse_event(kMoveTo, 1, 2, 0, 0);
    mouse_event(kMoveTo, 3, 4, 0, 0);
    EXPECT_FALSE(MessageBeep(MB_OK));
    EXPECT_EQ(capture.messages, std::vector<std::string>{c.message});
  }
  unsetenv("DISPLAY");
  platform::ResetPointerOutput();
}

}  // namespace
