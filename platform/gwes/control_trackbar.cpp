// "msctls_trackbar32" windows: the range 0..100 at first, TBM_SETRANGEMIN, TBM_SETRANGEMAX and
// TBM_SETRANGE change it and pull the position into it, TBM_SETPOS clamps to it. There is nothing
// to redraw, so the redraw flag has no effect. The pointer moves the knob to where it presses and
// drags, its width spanning the range, and the release is a click there; a press gives it the
// dialog's keyboard focus.
#include "control_trackbar.h"

#include <algorithm>
#include <cstdint>

#include "control_state.h"
#include "dialog_keys.h"
#include "window_table.h"

namespace platform::gwes {
namespace {

struct TrackbarState {
  LONG minimum = 0;
  LONG maximum = 100;
  LONG position = 0;

  LONG Clamp(LONG value) const { return std::clamp(value, minimum, std::max(minimum, maximum)); }
};

ControlStates<TrackbarState> &Trackbars() {
  static auto *states = new ControlStates<TrackbarState>;  // outlives static destructors that still destroy windows
  return *states;
}

// The position under x, a point in the trackbar's client area: its width spans the range.
LONG PositionAt(HWND hwnd, int x) {
  TrackbarState state = Trackbars().Get(hwnd).value_or(TrackbarState{});
  RECT client{};
  GetClientRect(hwnd, &client);
  const LONG span = std::max<LONG>(1, client.right - 1);
  const int64_t range = static_cast<int64_t>(state.maximum) - state.minimum;
  const int64_t offset = (static_cast<int64_t>(std::clamp<LONG>(x, 0, span)) * range + span / 2) / span;
  return state.Clamp(static_cast<LONG>(state.minimum + offset));
}

LRESULT CALLBACK TrackbarProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto &trackbars = Trackbars();
  auto value = static_cast<LONG>(lParam);
  switch (message) {
    case WM_CREATE:
      trackbars.Add(hwnd, TrackbarState{});
      return 0;
    case WM_DESTROY:
      trackbars.Remove(hwnd);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_MOUSEMOVE:
      // The knob follows a press and a drag; the release is the click that tells the parent.
      if (message == WM_MOUSEMOVE && (wParam & MK_LBUTTON) == 0) return 0;
      if (TakesClicks(hwnd)) {
        LONG at = PositionAt(hwnd, GET_X_LPARAM(lParam));
        trackbars.Update(hwnd, [&](TrackbarState &state) { return state.position = state.Clamp(at); });
        if (message == WM_LBUTTONDOWN) TakeFocus(hwnd);
      }
      return 0;
    case WM_LBUTTONUP:
      ClickTrackbar(hwnd, PositionAt(hwnd, GET_X_LPARAM(lParam)));
      return 0;
    case TBM_GETPOS:
      return trackbars.Get(hwnd).value_or(TrackbarState{}).position;
    case TBM_GETRANGEMIN:
      return trackbars.Get(hwnd).value_or(TrackbarState{}).minimum;
    case TBM_GETRANGEMAX:
      return trackbars.Get(hwnd).value_or(TrackbarState{}).maximum;
    case TBM_SETPOS:
      trackbars.Update(hwnd, [&](TrackbarState &state) { return state.position = state.Clamp(value); });
      return 0;
    case TBM_SETRANGEMIN:
      trackbars.Update(hwnd, [&](TrackbarState &state) {
        state.minimum = value;
        return state.position = state.Clamp(state.position);
      });
      return 0;
    case TBM_SETRANGEMAX:
      trackbars.Update(hwnd, [&](TrackbarState &state) {
        state.maximum = value;
        return state.position = state.Clamp(state.position);
      });
      return 0;
    case TBM_SETRANGE:
      trackbars.Update(hwnd, [&](TrackbarState &state) {
        state.minimum = static_cast<short>(LOWORD(lParam));
        state.maximum = static_cast<short>(HIWORD(lParam));
        return state.position = state.Clamp(state.position);
      });
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

[[maybe_unused]] const ATOM kTrackbarClass = [] {
  WNDCLASSW trackbarClass{};
  trackbarClass.lpfnWndProc = TrackbarProcedure;
  trackbarClass.lpszClassName = TRACKBAR_CLASSW;
  return RegisterClassW(&trackbarClass);
}();

}  // namespace

bool ClickTrackbar(HWND trackbar, LONG position) {
  WindowPtr window = LookupWindow(trackbar);
  if (!window || !TakesClicks(trackbar)) return false;
  if (!Trackbars().Update(trackbar, [&](TrackbarState &state) { return state.position = state.Clamp(position); }))
    return false;
  NMHDR header{};
  header.hwndFrom = trackbar;
  {
    std::lock_guard lock(window->stateMutex);
    header.idFrom = static_cast<UINT_PTR>(window->id);
  }
  header.code = NM_CLICK;
  SendMessageW(window->parent, WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
  return true;
}

}  // namespace platform::gwes
