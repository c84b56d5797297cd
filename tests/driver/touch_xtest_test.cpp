// Touches moving and clicking the real X pointer: the driver reads reports from a pseudo-terminal
// and its mouse events go to an X server (Xvfb) through XTest. Where the pointer is and which
// buttons are down is read from X itself.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cmath>
#include <memory>

#include "driver_fixture.h"
#include "platform/pointer_output.h"
#include "x_server.h"

namespace {

struct XPointer {
  int x = -1, y = -1;
  unsigned int mask = 0;
};

class TouchXTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    auto xvfb = testing_support::FindProgram("Xvfb");
    ASSERT_TRUE(xvfb) << "Xvfb is not installed: run scripts/setup, which installs it";
    server_ = std::make_unique<testing_support::XServer>(*xvfb);
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start:\n" << server_->Errors();
    setenv("DISPLAY", server_->display().c_str(), 1);
    viewer_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(viewer_, nullptr);
    WriteRegistry();
    testing_support::WriteFile(root.registryPath(),
                               root.ReadHive() + "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"xtest\"\n");
    platform::ResetPointerOutput();
  }

  void TearDown() override {
    StopDriver();
    platform::ResetPointerOutput();
    if (viewer_ != nullptr) XCloseDisplay(viewer_);
    server_.reset();
    unsetenv("DISPLAY");
    DriverFixture::TearDown();
  }

  XPointer Pointer() const {
    XPointer state;
    Window root = 0, child = 0;
    int windowX = 0, windowY = 0;
    XQueryPointer(viewer_, DefaultRootWindow(viewer_), &root, &child, &state.x, &state.y, &windowX, &windowY,
                  &state.mask);
    return state;
  }

  // Waits (10 s at most) until the X pointer is where `wanted` says, asking X each time.
  bool WaitForPointer(int x, int y, bool button1) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      XPointer now = Pointer();
      if (now.x == x && now.y == y && ((now.mask & Button1Mask) != 0) == button1) return true;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "pointer at " << now.x << "," << now.y << " mask " << now.mask << ", wanted " << x << ","
                      << y << (button1 ? " with" : " without") << " button 1";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // The screen pixel of a controller reading on the uncalibrated 1024x768 screen.
  static int ScreenX(int raw) { return static_cast<int>(std::lround(raw * 4 * 1023.0 / 65535.0)); }
  static int ScreenY(int raw) { return static_cast<int>(std::lround((65535 - raw * 4) * 767.0 / 65535.0)); }

  static std::string Report(bool touching, int x, int y) {
    return {static_cast<char>(touching ? 0x90 : 0x80), static_cast<char>(x >> 7), static_cast<char>(x & 0x7F),
            static_cast<char>(y >> 7), static_cast<char>(y & 0x7F)};
  }

  std::unique_ptr<testing_support::XServer> server_;
  Display *viewer_ = nullptr;
};

TEST_F(TouchXTest, DesktopTouchDragsWithButtonOneAndReleasesOnLift) {
  ASSERT_TRUE(StartDriver());
  pty.Send(Report(true, 2048, 12288));
  ASSERT_TRUE(WaitForPointer(ScreenX(2048), ScreenY(12288), true));
  std::string drag;
  for (int step = 1; step <= 10; ++step) drag += Report(true, 2048 + step * 1024, 12288 - step * 819);
  pty.Send(drag);
  ASSERT_TRUE(WaitForPointer(ScreenX(12288), ScreenY(12288 - 8190), true));
  pty.Send(Report(false, 12288, 4098));
  EXPECT_TRUE(WaitForPointer(ScreenX(12288), ScreenY(4098), false));
}

}  // namespace
