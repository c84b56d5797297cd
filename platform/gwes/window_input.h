// Pointer input within a process: one event for a top-level window of this process, routed there
// by the pointer output (a touch) or read by the X11 rendering from its window (the mouse),
// becomes the standard mouse messages of the window under the point, in its client coordinates,
// or a click of a caption box. A press makes that window capture the pointer until the button
// goes up.
#pragma once

#include <windows.h>

#include "window_frame.h"

namespace platform::gwes {

// mouse_event's flags (moves, presses and releases of the left and right buttons) at screen point
// (x, y), for top-level window `top`.
void DeliverPointerInput(HWND top, DWORD flags, int x, int y);
// The part of the caption of `top` that a press holds down now (a box, or the bar), or kClient.
FramePart CaptionBoxHeld(HWND top);
// A window manager's request to close `top`: its close box's click, when `top` takes input.
void DeliverCloseRequest(HWND top);

}  // namespace platform::gwes
