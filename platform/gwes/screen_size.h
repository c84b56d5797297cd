// The device's screen, as the window manager and the pointer outputs use it: once a display is open
// in the process, the X screen, or the part of it one RandR output shows when HKLM\Platform\Display
// "Output" names one; otherwise the device root's HKLM\Platform\Display "Width" and "Height".
#pragma once

#include <windows.h>

#include <string>

namespace platform::gwes {

struct ScreenSize {
  int width;
  int height;
};

// Where the device's screen lies on an open display, and what the pointer's absolute 0..65535
// span, in the device screen's pixels: the whole X screen, which is where X puts an absolute
// device's range and the xtest output's moves.
struct DisplayScreen {
  POINT origin;  // the device screen's top left on the X screen
  ScreenSize size;
  RECT pointer;
};

ScreenSize CurrentScreenSize();
// The device screen's top left on the display; (0, 0) with no display open.
POINT ScreenOrigin();
// What the pointer's absolute positions span, in the device screen's pixels: the screen itself
// with no display open.
RECT PointerSpan();
// A display has been opened: its screen is the device's from now on.
void SetDisplayScreen(const DisplayScreen &screen);
// HKLM\Platform\Display "Output" of the device root's registry, empty when it is missing; a value
// that is not a string is reported once and taken as missing.
std::string DisplayOutputName();

}  // namespace platform::gwes
