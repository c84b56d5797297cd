// The predefined "msctls_trackbar32" class: a slider with a range and a position inside it. A
// click moves the position to the clicked point and tells the parent with WM_NOTIFY and NM_CLICK.
#pragma once

#include <windows.h>

namespace platform::gwes {

// The user clicks the trackbar at `position` (clamped to its range). False, with nothing done,
// when the window is not a trackbar or takes no clicks (disabled or hidden).
bool ClickTrackbar(HWND trackbar, LONG position);

}  // namespace platform::gwes
