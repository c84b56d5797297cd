// The device's screen size, as the window manager and the pointer outputs use it: the X screen's
// once a display is open in the process, otherwise the device root's HKLM\Platform\Display.
#pragma once

namespace platform::gwes {

struct ScreenSize {
  int width;
  int height;
};

ScreenSize CurrentScreenSize();
// A display has been opened: its screen's size is the device's from now on.
void SetDisplayScreenSize(int width, int height);

}  // namespace platform::gwes
