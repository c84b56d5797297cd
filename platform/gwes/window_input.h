// Pointer input within a process: one event that the pointer output routed to a top-level window
// of this process becomes the standard mouse messages of the window under the point, in its client
// coordinates. A press makes that window capture the pointer until the button goes up.
#pragma once

#include <windows.h>

namespace platform::gwes {

// mouse_event's flags (moves, presses and releases of the left and right buttons) at screen point
// (x, y), for top-level window `top`.
void DeliverPointerInput(HWND top, DWORD flags, int x, int y);

}  // namespace platform::gwes
