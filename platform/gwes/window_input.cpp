// The window under the point is the deepest visible child that contains it, the first created
// among siblings (dialog controls lie in creation order, the first on top); group boxes and
// statics let the pointer through to what lies beneath, as on the device. A press on a disabled
// window is dropped with the rest of its touch. The window that took a press keeps the pointer
// until the release, even when the touch moves off it; when it is gone by then, the rest of the
// touch goes nowhere, so no other window sees half a click. A press and release on the same box
// of a window's caption is its click: the OK box posts WM_COMMAND IDOK, the close box WM_CLOSE.
#include "window_input.h"

#include <mutex>

#include "control_state.h"
#include "platform/text.h"
#include "window_frame.h"
#include "window_table.h"

namespace platform::gwes {
namespace {

struct Capture {
  std::mutex mutex;
  HWND window = nullptr;  // took the press; gets the touch until the release
  bool dropping = false;  // the press was dropped: so is the rest of the touch
  bool right = false;     // the right button is down
  FramePart part = FramePart::kClient;  // the caption part the press was on, for a press on a caption
  POINT last{-1, -1};
};

Capture &State() {
  static auto *capture = new Capture;
  return *capture;
}

bool LetsThrough(const Window &window) {
  if (EqualsIgnoreCase(window.className, u"STATIC")) return true;
  return EqualsIgnoreCase(window.className, u"BUTTON") && (window.style & BS_TYPEMASK) == BS_GROUPBOX;
}

// The deepest visible window at (x, y) in the client coordinates of `window`, children first.
HWND Under(const WindowPtr &window, int x, int y) {
  for (const WindowPtr &child : ChildWindows(window->hwnd)) {
    if ((child->style & WS_CHILD) == 0 || LetsThrough(*child)) continue;
    RECT rect;
    bool visible;
    {
      std::lock_guard lock(child->stateMutex);
      rect = child->rect;
      visible = child->visible;
    }
    if (!visible || x < rect.left || x >= rect.right || y < rect.top || y >= rect.bottom) continue;
    return Under(child, x - rect.left, y - rect.top);
  }
  return window->hwnd;
}

void Post(HWND target, UINT message, WPARAM keys, int x, int y) {
  WindowPtr window = LookupWindow(target);
  if (!window) return;
  POINT origin = ClientOrigin(window);
  PostMessageW(target, message, keys, MAKELPARAM(x - origin.x, y - origin.y));
}

// The part of top-level window `top` at screen point (x, y), or kClient when it is gone.
FramePart PartUnder(HWND top, int x, int y) {
  WindowPtr window = LookupWindow(top);
  if (!window) return FramePart::kClient;
  RECT rect;
  {
    std::lock_guard lock(window->stateMutex);
    rect = window->rect;
  }
  return PartAt(*window, x - rect.left, y - rect.top);
}

// The release of a touch that began on a caption: a click when it ends on the box it began on.
void ReleaseOnCaption(Capture &capture, int x, int y) {
  if (capture.part == PartUnder(capture.window, x, y)) ClickCaptionBox(capture.window, capture.part);
  capture.window = nullptr;
  capture.part = FramePart::kClient;
}

}  // namespace

void DeliverPointerInput(HWND top, DWORD flags, int x, int y) {
  Capture &capture = State();
  std::lock_guard lock(capture.mutex);
  const bool press = (flags & (MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_RIGHTDOWN)) != 0;
  const bool release = (flags & (MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTUP)) != 0;
  const bool moved = (flags & MOUSEEVENTF_MOVE) != 0 && (capture.last.x != x || capture.last.y != y);
  capture.last = POINT{x, y};
  if (capture.dropping) {
    if (release) capture.dropping = false;
    return;
  }
  if (capture.window != nullptr && capture.part != FramePart::kClient) {
    if (release) ReleaseOnCaption(capture, x, y);
    return;
  }
  HWND target = capture.window;
  FramePart part = FramePart::kClient;
  if (target == nullptr) {
    WindowPtr window = LookupWindow(top);
    if (!window) return;
    RECT rect;
    {
      std::lock_guard windowLock(window->stateMutex);
      rect = window->rect;
    }
    part = PartAt(*window, x - rect.left, y - rect.top);
    POINT offset = ClientOffset(window->style);
    target = part == FramePart::kClient ? Under(window, x - rect.left - offset.x, y - rect.top - offset.y) : top;
  }
  // Only a press of the left button begins something on a caption; the rest goes nowhere.
  if (part != FramePart::kClient && (flags & MOUSEEVENTF_LEFTDOWN) == 0) return;
  if (press && capture.window == nullptr) {
    // The window and all it lies within must take input: a disabled one, such as the owner of a
    // modal dialog, does not.
    bool enabled = true;
    for (WindowPtr at = LookupWindow(target); at && enabled;) {
      enabled = IsWindowEnabled(at->hwnd) != FALSE;
      if ((at->style & WS_CHILD) == 0) break;
      at = LookupWindow(at->parent);
    }
    if (!enabled) {
      capture.dropping = !release;
      return;
    }
    capture.window = target;
    capture.right = (flags & MOUSEEVENTF_RIGHTDOWN) != 0;
    if (part != FramePart::kClient) {
      capture.part = part;
      if (release) ReleaseOnCaption(capture, x, y);
      return;
    }
  }
  if (!IsWindow(target)) {
    // The window that took the press has gone: the rest of the touch is nobody's.
    if (release) capture.window = nullptr;
    return;
  }
  const WPARAM held = capture.window == nullptr ? 0 : capture.right ? MK_RBUTTON : MK_LBUTTON;
  if (moved) Post(target, WM_MOUSEMOVE, held, x, y);
  if ((flags & MOUSEEVENTF_LEFTDOWN) != 0) Post(target, WM_LBUTTONDOWN, MK_LBUTTON, x, y);
  if ((flags & MOUSEEVENTF_RIGHTDOWN) != 0) Post(target, WM_RBUTTONDOWN, MK_RBUTTON, x, y);
  if ((flags & MOUSEEVENTF_LEFTUP) != 0) Post(target, WM_LBUTTONUP, 0, x, y);
  if ((flags & MOUSEEVENTF_RIGHTUP) != 0) Post(target, WM_RBUTTONUP, 0, x, y);
  if (release) capture.window = nullptr;
}

FramePart CaptionBoxHeld(HWND top) {
  Capture &capture = State();
  std::lock_guard lock(capture.mutex);
  return capture.window == top ? capture.part : FramePart::kClient;
}

void DeliverCloseRequest(HWND top) {
  if (TakesClicks(top)) ClickCaptionBox(top, FramePart::kCloseBox);
}

}  // namespace platform::gwes
