// Xvfb for graphical tests, and the wait for a window to take input.
#include "x_server.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace testing_support {

std::optional<std::string> FindProgram(const std::string &name) {
  const char *path = getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

namespace {

// A window that went away before it could be read is no error here: the wait goes on to its bound.
int IgnoreError(Display *, XErrorEvent *) { return 0; }

// The window's _GWES_TAKES_INPUT value, or -1 while it has none.
long TakesInput(Display *display, Window window, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, left = 0;
  unsigned char *data = nullptr;
  long value = -1;
  if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format, &count, &left, &data) ==
          Success &&
      type == XA_CARDINAL && format == 32 && count == 1)
    value = *reinterpret_cast<long *>(data);
  if (data != nullptr) XFree(data);
  return value;
}

}  // namespace

bool WaitUntilTakesInput(const std::string &display, const std::string &window, std::chrono::milliseconds bound) {
  Display *connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return false;
  XErrorHandler previous = XSetErrorHandler(IgnoreError);
  const Window id = std::strtoul(window.c_str(), nullptr, 10);
  const Atom property = XInternAtom(connection, "_GWES_TAKES_INPUT", False);
  // Changes are watched before the value is first read, so that none falls between the two.
  XSelectInput(connection, id, PropertyChangeMask);
  XSync(connection, False);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  bool takes = TakesInput(connection, id, property) == 1;
  while (!takes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (XPending(connection) == 0) {
      pollfd ready{ConnectionNumber(connection), POLLIN, 0};
      poll(&ready, 1, static_cast<int>(left.count()));
      continue;
    }
    XEvent event;
    XNextEvent(connection, &event);
    if (event.type == PropertyNotify && event.xproperty.atom == property)
      takes = TakesInput(connection, id, property) == 1;
  }
  XCloseDisplay(connection);
  XSetErrorHandler(previous);
  return takes;
}

XServer::XServer(const std::string &program, const std::string &screen)
    : process_(program, {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"}) {
  std::optional<std::string> number = process_.WaitForLine(Stream::kStdout, "", std::chrono::seconds(20));
  if (number) display_ = ":" + *number;
}

void XServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  process_.Signal(SIGTERM);
  process_.WaitForExit(std::chrono::seconds(20));
}

}  // namespace testing_support
