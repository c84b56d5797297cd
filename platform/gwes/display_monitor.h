// The device's screen on an X display: the whole X screen, or one RandR monitor of it.
#pragma once

#include <X11/Xlib.h>

#include <string>

#include "screen_size.h"

namespace platform::gwes {

// The screen of `display` that the device's windows use when HKLM\Platform\Display "Output" is
// `output` (empty: the whole X screen). A monitor of that name that cannot be found is said
// in one line on standard error, and the whole X screen is used. Under a Wayland compositor
// (WAYLAND_DISPLAY set), which puts an absolute device on one output of its own, the pointer
// spans the device's screen alone.
DisplayScreen FindDisplayScreen(Display *display, const std::string &output);

}  // namespace platform::gwes
