// Finds a RandR monitor by name (an output's, or one made with xrandr --setmonitor) and its
// rectangle of the X screen, so that the
// device's windows, calibration screens included, stand on that monitor alone while the pointer's
// absolute positions still span the X screen, as X spreads an absolute device and the xtest
// output's moves over all of it.
#include "display_monitor.h"

#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace platform::gwes {
namespace {

struct Found {
  std::optional<RECT> shown;  // the monitor's rectangle on the X screen
  std::string names;          // the names of the monitors there are, for the message
};

// RandR's monitors: one for each output that shows a picture, named after it, and those made with
// xrandr --setmonitor, which can split one output's picture.
Found LookUp(Display *display, const std::string &output) {
  Found found;
  int count = 0;
  XRRMonitorInfo *monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  for (int i = 0; i < count; ++i) {
    const XRRMonitorInfo &monitor = monitors[i];
    char *atom = XGetAtomName(display, monitor.name);
    const std::string name = atom != nullptr ? atom : "";
    if (atom != nullptr) XFree(atom);
    found.names += (found.names.empty() ? "" : ", ") + name;
    if (name == output && monitor.width > 0 && monitor.height > 0) {
      found.shown = RECT{monitor.x, monitor.y, monitor.x + monitor.width, monitor.y + monitor.height};
    }
  }
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  return found;
}

}  // namespace

DisplayScreen FindDisplayScreen(Display *display, const std::string &output) {
  const int screen = DefaultScreen(display);
  const int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
  DisplayScreen whole{POINT{0, 0}, ScreenSize{width, height}, RECT{0, 0, width, height}};
  if (output.empty()) return whole;
  const char *name = DisplayString(display);
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XRRQueryExtension(display, &event, &error) || !XRRQueryVersion(display, &major, &minor) ||
      major * 100 + minor < 105) {
    std::fprintf(stderr,
                 "gwes: HKLM\\Platform\\Display \"Output\" is \"%s\" but the X display %s has no RandR 1.5, which "
                 "names its monitors; the windows cover the whole X screen\n",
                 output.c_str(), name);
    return whole;
  }
  const Found found = LookUp(display, output);
  if (!found.shown) {
    std::fprintf(stderr,
                 "gwes: HKLM\\Platform\\Display \"Output\" is \"%s\" but the X display %s shows no such monitor "
                 "(its monitors: %s); the windows cover the whole X screen: connect it, or correct the value with "
                 "nrvctl init --force --output NAME\n",
                 output.c_str(), name, found.names.empty() ? "none" : found.names.c_str());
    return whole;
  }
  const RECT &shown = *found.shown;
  DisplayScreen monitor{POINT{shown.left, shown.top},
                        ScreenSize{static_cast<int>(shown.right - shown.left), static_cast<int>(shown.bottom - shown.top)},
                        RECT{-shown.left, -shown.top, width - shown.left, height - shown.top}};
  const char *wayland = std::getenv("WAYLAND_DISPLAY");
  const bool compositor = wayland != nullptr && *wayland != '\0';
  if (compositor) monitor.pointer = RECT{0, 0, monitor.size.width, monitor.size.height};
  std::fprintf(stderr,
               "gwes: the device's screen is the monitor \"%s\" of the X display %s, %dx%d at (%ld,%ld) of its "
               "%dx%d; the pointer spans %s\n",
               output.c_str(), name, monitor.size.width, monitor.size.height, static_cast<long>(shown.left),
               static_cast<long>(shown.top), width, height,
               compositor ? "that output alone (WAYLAND_DISPLAY is set)" : "the whole X screen");
  return monitor;
}

}  // namespace platform::gwes
