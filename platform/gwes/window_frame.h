// A top-level window's non-client area, as the device's window system lays it out: a window with
// WS_CAPTION has a caption bar across its top, carrying its text, the OK box (WS_EX_CAPTIONOKBTN)
// and the close box (WS_SYSMENU) at its right end; its client area is the rest of the window.
#pragma once

#include <windows.h>

#include "window_table.h"

namespace platform::gwes {

// The caption bar's height, and the width of each of its square boxes, in pixels.
constexpr int kCaptionHeight = 26;

// Where a point of a window lies.
enum class FramePart { kClient, kCaption, kOkBox, kCloseBox };

// The caption and its boxes in the window's own coordinates (0, 0 at its top-left corner); an
// empty rectangle for what the window lacks.
struct CaptionLayout {
  RECT bar{};
  RECT ok{};
  RECT close{};
};

// Whether a window of these styles has a caption: a top-level window with WS_CAPTION.
bool HasCaption(DWORD style);
// The caption of a window `width` pixels wide with these styles.
CaptionLayout CaptionOf(DWORD style, DWORD exStyle, int width);
// The offset of the client area's top-left corner from the window's.
POINT ClientOffset(DWORD style);
// The part of window `window` at (x, y) in its own coordinates.
FramePart PartAt(const Window &window, int x, int y);
// What a click on a caption box does: the OK box posts WM_COMMAND IDOK to the window, the close
// box WM_CLOSE. The pointer, a window manager's close request and a headless script click them here.
void ClickCaptionBox(HWND window, FramePart box);
// The screen position of the client area's top-left corner of a window.
POINT ClientOrigin(const WindowPtr &window);
// Where a window of rectangle `window` stands centred on `area` (screen coordinates), moved as
// needed to lie wholly on the screen; one larger than the screen keeps its top-left corner on it.
POINT CentredOn(const RECT &window, const RECT &area);

}  // namespace platform::gwes
