// The "xtest" pointer output: moves the pointer and presses its buttons on the X display named by
// DISPLAY through the XTest extension, as a real pointing device would, and rings the display's
// bell for MessageBeep.
//
// Each call ends with a round trip to the server, so when mouse_event returns the server has
// acted on it. A lost connection must not end the process (Xlib's default on an I/O error is to
// exit, which would take the device manager and its drivers down with the display): it is
// reported once and later calls are dropped.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "pointer_backend.h"

namespace platform {
namespace {

const char kUseLogInstead[] = ", or set HKLM\\Platform\\Input \"Pointer\" to \"log\"";

// In the order the device reports them: presses and releases after the move, left before right
// before middle.
struct ButtonAction {
  DWORD flag;
  unsigned int button;
  Bool press;
};
constexpr ButtonAction kButtonActions[] = {
    {MOUSEEVENTF_LEFTDOWN, Button1, True},
    {MOUSEEVENTF_LEFTUP, Button1, False},
    {MOUSEEVENTF_RIGHTDOWN, Button3, True},
    {MOUSEEVENTF_RIGHTUP, Button3, False},
    {MOUSEEVENTF_MIDDLEDOWN, Button2, True},
    {MOUSEEVENTF_MIDDLEUP, Button2, False},
};

// 0..65535 onto 0..size-1, rounded to the nearest pixel.
int ScaleToScreen(DWORD position, unsigned int size) {
  uint64_t clamped = position > kAbsoluteMax ? kAbsoluteMax : position;
  uint64_t span = size > 0 ? size - 1 : 0;
  return static_cast<int>((clamped * span + kAbsoluteMax / 2) / kAbsoluteMax);
}

// Xlib's I/O error handler is process-wide and its default exits before a display's own exit
// handler is reached, so one that returns is put in front of it, for this output's display only:
// the connections of other code in the process keep the handler they had.
std::atomic<Display *> outputDisplay{nullptr};
XIOErrorHandler previousIOErrorHandler = nullptr;

int OnIOError(Display *display) {
  if (display == outputDisplay.load()) return 0;
  return previousIOErrorHandler != nullptr ? previousIOErrorHandler(display) : 0;
}

void TakeIOErrors(Display *display) {
  static std::once_flag installed;
  std::call_once(installed, [] { previousIOErrorHandler = XSetIOErrorHandler(&OnIOError); });
  outputDisplay.store(display);
}

// Displays whose server went away, kept open for the life of the process.
std::vector<Display *> &LostDisplays() {
  static auto *displays = new std::vector<Display *>;
  return *displays;
}

class PointerXTest : public PointerBackend {
 public:
  PointerXTest(Display *display, std::string name) : display_(display), name_(std::move(name)) {
    TakeIOErrors(display_);
    XSetIOErrorExitHandler(display_, &PointerXTest::OnConnectionLost, this);
  }
  ~PointerXTest() override {
    // Closing a dead connection would send the closing requests into it and go through Xlib's
    // I/O error path once more; the display is kept instead, a few kilobytes once per lost server.
    if (lost_) LostDisplays().push_back(display_);
    else XCloseDisplay(display_);
    outputDisplay.store(nullptr);
  }
  PointerXTest(const PointerXTest &) = delete;
  PointerXTest &operator=(const PointerXTest &) = delete;

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD) override {
    if (!Usable()) return;
    // Without MOUSEEVENTF_MOVE the coordinates carry nothing: a button alone does not move the
    // pointer.
    if ((flags & MOUSEEVENTF_MOVE) != 0) {
      if ((flags & MOUSEEVENTF_ABSOLUTE) != 0) MoveTo(dx, dy);
      else XTestFakeRelativeMotionEvent(display_, static_cast<int32_t>(dx), static_cast<int32_t>(dy), CurrentTime);
    }
    for (const ButtonAction &action : kButtonActions) {
      if (!lost_ && (flags & action.flag) != 0) XTestFakeButtonEvent(display_, action.button, action.press, CurrentTime);
    }
    if (!lost_) XSync(display_, False);
  }

  BOOL Beep(UINT) override {
    if (Usable()) {
      XBell(display_, 0);
      XSync(display_, False);
    }
    if (!lost_) return TRUE;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }

 private:
  // The root window's size is asked for each time, so that a screen resized while the program
  // runs is still spanned exactly.
  void MoveTo(DWORD dx, DWORD dy) {
    int screen = DefaultScreen(display_);
    Window root = 0;
    int x = 0, y = 0;
    unsigned int width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display_, RootWindow(display_, screen), &root, &x, &y, &width, &height, &border, &depth)) {
      width = static_cast<unsigned int>(DisplayWidth(display_, screen));
      height = static_cast<unsigned int>(DisplayHeight(display_, screen));
    }
    if (lost_) return;
    XTestFakeMotionEvent(display_, screen, ScaleToScreen(dx, width), ScaleToScreen(dy, height), CurrentTime);
  }

  // A server that went away between calls shows as a hang-up on the socket. Found here, the loss
  // never reaches Xlib's I/O error path, which leaves the display's lock unbalanced.
  bool Usable() {
    if (lost_) return false;
    pollfd connection{ConnectionNumber(display_), POLLRDHUP, 0};
    if (poll(&connection, 1, 0) > 0 && (connection.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) ReportLost();
    return !lost_;
  }

  // Called by Xlib when a call finds the connection broken, in that call's thread (which holds the
  // output lock); returning keeps the process alive, and Xlib then treats the display as dead.
  static void OnConnectionLost(Display *, void *self) { static_cast<PointerXTest *>(self)->ReportLost(); }

  void ReportLost() {
    if (lost_) return;
    lost_ = true;
    NKDbgPrintfW(u"gwes: lost the connection to the X display \"%a\": start the X server again and restart this "
                 u"program; mouse_event and MessageBeep calls are dropped until then\n",
                 name_.c_str());
  }

  Display *display_;
  std::string name_;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<PointerBackend> StartPointerXTest(std::string *problem) {
  const char *name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    *problem = std::string("Pointer is \"xtest\" but DISPLAY is not set: start an X server and set DISPLAY") +
               kUseLogInstead;
    return nullptr;
  }
  // mouse_event may come from any thread of the process.
  XInitThreads();
  Display *display = XOpenDisplay(name);
  if (display == nullptr) {
    *problem = "Pointer is \"xtest\" but the X display \"" + std::string(name) +
               "\" cannot be opened: start that X server or correct DISPLAY" + kUseLogInstead;
    return nullptr;
  }
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
    XCloseDisplay(display);
    *problem = "Pointer is \"xtest\" but the X display \"" + std::string(name) +
               "\" has no XTEST extension: start the X server with XTEST enabled" + kUseLogInstead;
    return nullptr;
  }
  return std::make_unique<PointerXTest>(display, name);
}

}  // namespace platform
