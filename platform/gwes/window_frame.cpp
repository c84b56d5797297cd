// The non-client area of top-level windows with a caption, and the calls that convert between a
// window's rectangle and its client area: AdjustWindowRectEx, ClientToScreen and ScreenToClient;
// and what a click on a caption box does.
// A caption is the only frame: a window has no border around its client area.
#include "window_frame.h"

#include <algorithm>
#include <mutex>

#include "screen_size.h"

namespace platform::gwes {
namespace {

bool Contains(const RECT &rect, int x, int y) {
  return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

}  // namespace

bool HasCaption(DWORD style) { return (style & WS_CHILD) == 0 && (style & WS_CAPTION) == WS_CAPTION; }

CaptionLayout CaptionOf(DWORD style, DWORD exStyle, int width) {
  CaptionLayout layout;
  if (!HasCaption(style)) return layout;
  layout.bar = RECT{0, 0, width, kCaptionHeight};
  // The boxes stand at the caption's right end, the close box outermost.
  LONG right = width;
  if ((style & WS_SYSMENU) != 0) {
    layout.close = RECT{right - kCaptionHeight, 0, right, kCaptionHeight};
    right -= kCaptionHeight;
  }
  if ((exStyle & WS_EX_CAPTIONOKBTN) != 0) layout.ok = RECT{right - kCaptionHeight, 0, right, kCaptionHeight};
  return layout;
}

POINT ClientOffset(DWORD style) { return HasCaption(style) ? POINT{0, kCaptionHeight} : POINT{0, 0}; }

FramePart PartAt(const Window &window, int x, int y) {
  LONG width;
  {
    std::lock_guard lock(window.stateMutex);
    width = window.rect.right - window.rect.left;
  }
  CaptionLayout caption = CaptionOf(window.style, window.exStyle, static_cast<int>(width));
  if (Contains(caption.ok, x, y)) return FramePart::kOkBox;
  if (Contains(caption.close, x, y)) return FramePart::kCloseBox;
  if (Contains(caption.bar, x, y)) return FramePart::kCaption;
  return FramePart::kClient;
}

void ClickCaptionBox(HWND window, FramePart box) {
  if (box == FramePart::kOkBox) PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  if (box == FramePart::kCloseBox) PostMessageW(window, WM_CLOSE, 0, 0);
}

POINT ClientOrigin(const WindowPtr &window) {
  // A child lies in its parent's client area, so the offsets add up to the top-level window.
  POINT origin{0, 0};
  for (WindowPtr at = window; at;) {
    POINT offset = ClientOffset(at->style);
    std::lock_guard lock(at->stateMutex);
    origin.x += at->rect.left + offset.x;
    origin.y += at->rect.top + offset.y;
    if ((at->style & WS_CHILD) == 0) break;
    at = LookupWindow(at->parent);
  }
  return origin;
}

POINT CentredOn(const RECT &window, const RECT &area) {
  const LONG width = window.right - window.left, height = window.bottom - window.top;
  LONG left = area.left + (area.right - area.left - width) / 2;
  LONG top = area.top + (area.bottom - area.top - height) / 2;
  ScreenSize screen = CurrentScreenSize();
  left = std::max<LONG>(0, std::min<LONG>(left, screen.width - width));
  top = std::max<LONG>(0, std::min<LONG>(top, screen.height - height));
  return POINT{left, top};
}

}  // namespace platform::gwes

extern "C" BOOL WINAPI AdjustWindowRectEx(LPRECT lpRect, DWORD dwStyle, BOOL bMenu, DWORD dwExStyle) {
  (void)bMenu;       // windows of the device have no menu bar
  (void)dwExStyle;   // the caption's boxes do not change its height
  if (lpRect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  POINT offset = platform::gwes::ClientOffset(dwStyle);
  lpRect->left -= offset.x;
  lpRect->top -= offset.y;
  return TRUE;
}

namespace {

// Moves a point by the window's client origin, `sign` +1 to the screen and -1 from it.
BOOL MoveByClientOrigin(HWND hWnd, LPPOINT lpPoint, int sign) {
  platform::gwes::WindowPtr window = platform::gwes::LookupWindow(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (lpPoint == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  POINT origin = platform::gwes::ClientOrigin(window);
  lpPoint->x += sign * origin.x;
  lpPoint->y += sign * origin.y;
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI ClientToScreen(HWND hWnd, LPPOINT lpPoint) { return MoveByClientOrigin(hWnd, lpPoint, 1); }

extern "C" BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT lpPoint) { return MoveByClientOrigin(hWnd, lpPoint, -1); }
