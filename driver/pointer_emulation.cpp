// Pointer emulation. The settings are read afresh where each is needed, so a change made through
// the device takes effect within the report being handled or from the next one. The sound and the
// tray notice come before the mouse event of the same report.
#include "pointer_emulation.h"

#include <cstdint>

#include "driver_settings.h"
#include "driver_state.h"
#include "pointer_state.h"
#include "touch_feedback.h"

PointerState pointerState;

namespace {

DWORD longPressMs = 0;
DWORD reportTick = 0;  // when the report being handled came

const DWORD kMove = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;

bool RightClickPending() { return (driverState.settings.MouseMod & MOUSEMOD_RIGHT_CLICK_PENDING) != 0; }

// The pending right click lasts one touch: it is cleared after every report that is not touching,
// with one atomic and-not so that a settings write landing at the same moment is not undone.
void EndRightClickIfLifted(const TouchReport &report) {
  if (!report.touching) driverState.settings.MouseMod.fetch_and(~MOUSEMOD_RIGHT_CLICK_PENDING);
}

DWORD Press() {
  if (RightClickPending()) return kMove | MOUSEEVENTF_RIGHTDOWN;
  if (!pointerState.pressLatch) {
    DWORD sound = driverState.settings.TouSound;
    if (sound == 1 || sound == 2) PlayTouchSound();
    pointerState.pressLatch = true;
  }
  return kMove | MOUSEEVENTF_LEFTDOWN;
}

DWORD Release(bool notifyTray) {
  if (RightClickPending()) {
    if (notifyTray) NotifyTray();
    return kMove | MOUSEEVENTF_RIGHTUP;
  }
  if (pointerState.pressLatch) {
    if (driverState.settings.TouSound == 2) PlayTouchSound();
    pointerState.pressLatch = false;
  }
  return kMove | MOUSEEVENTF_LEFTUP;
}

// Strict on both sides: a difference equal to the tolerance is not in place.
bool InPlace(const TouchReport &report, int64_t x, int64_t y) {
  const int64_t dx = static_cast<int64_t>(report.x) - x;
  const int64_t dy = static_cast<int64_t>(report.y) - y;
  const int64_t xTolerance = driverState.settings.XInplace;
  const int64_t yTolerance = driverState.settings.YInplace;
  return dx < xTolerance && -dx < xTolerance && dy < yTolerance && -dy < yTolerance;
}

// The hold count saturates: wrapping back to 0 in the middle of a long touch would release a
// held Drawing button or click a second time in Button mode.
DWORD NextHoldCount(const TouchReport &report) {
  const DWORD count = pointerState.holdCount;
  const DWORD grown = count == MAXDWORD ? count : count + 1;
  if (!report.touching) return 0;
  if (InPlace(report, pointerState.lastX, pointerState.lastY)) return grown;
  return count >= driverState.settings.SelDelay ? grown : 0;
}

// The shared steps of Drawing and Button: count the hold, send the transition to the wanted
// button state (never with the tray notice), remember the position.
void HandleHoldReport(const TouchReport &report, bool &pressed, bool (*wanted)(const TouchReport &, DWORD)) {
  pointerState.holdCount = NextHoldCount(report);
  bool want = wanted(report, pointerState.holdCount);
  DWORD flags = kMove;
  if (want != pressed) {
    flags = want ? Press() : Release(false);
    pressed = want;
  }
  mouse_event(flags, report.x, report.y, 0, 0);
  pointerState.lastX = static_cast<LONG>(report.x);
  pointerState.lastY = static_cast<LONG>(report.y);
  EndRightClickIfLifted(report);
}

// A Desktop touch with the long press on. It comes down with a move only, its left press waiting:
// the press goes out where the touch came down once the finger leaves the in-place box, or with
// its release when the finger lifts first, and the touch then goes on as any other; a finger held
// in place for the long press gives a right click there instead, and the rest of that touch only
// moves the pointer.
void HandleLongPressReport(const TouchReport &report) {
  PointerState &p = pointerState;
  if (report.touching && !p.lastTouch) {
    p.lastTouch = p.pressWaits = true;
    p.downX = report.x;
    p.downY = report.y;
    p.downTick = reportTick;
    mouse_event(kMove, report.x, report.y, 0, 0);
    return;
  }
  if (p.moveOnly) {
    mouse_event(kMove, report.x, report.y, 0, 0);
    if (!report.touching) p.lastTouch = p.moveOnly = false;
    EndRightClickIfLifted(report);
    return;
  }
  if (!report.touching) {
    // A tap: its press and release, where it came down.
    mouse_event(Press(), p.downX, p.downY, 0, 0);
    mouse_event(Release(true), p.downX, p.downY, 0, 0);
    p.lastTouch = p.pressWaits = false;
    EndRightClickIfLifted(report);
    return;
  }
  if (!InPlace(report, p.downX, p.downY)) {
    mouse_event(Press(), p.downX, p.downY, 0, 0);
    mouse_event(kMove, report.x, report.y, 0, 0);
    p.pressWaits = false;
    return;
  }
  if (reportTick - p.downTick >= longPressMs) {
    mouse_event(kMove | MOUSEEVENTF_RIGHTDOWN, p.downX, p.downY, 0, 0);
    mouse_event(kMove | MOUSEEVENTF_RIGHTUP, p.downX, p.downY, 0, 0);
    p.pressWaits = false;
    p.moveOnly = true;
    return;
  }
  mouse_event(kMove, report.x, report.y, 0, 0);
}

}  // namespace

void ConfigureLongPress(DWORD milliseconds) { longPressMs = milliseconds; }

void HandleDesktopReport(const TouchReport &report) {
  const PointerState &p = pointerState;
  // An armed right click is pressed at once, as without the long press.
  if (longPressMs != 0 &&
      (p.pressWaits || p.moveOnly || (report.touching && !p.lastTouch && !RightClickPending()))) {
    HandleLongPressReport(report);
    return;
  }
  DWORD flags = kMove;
  if (report.touching != pointerState.lastTouch) {
    flags = report.touching ? Press() : Release(true);
    pointerState.lastTouch = report.touching;
  }
  mouse_event(flags, report.x, report.y, 0, 0);
  EndRightClickIfLifted(report);
}

void HandleDrawingReport(const TouchReport &report) {
  HandleHoldReport(report, pointerState.drawingPressed, [](const TouchReport &r, DWORD holdCount) {
    return r.touching && holdCount >= driverState.settings.SelDelay;
  });
}

void HandleButtonReport(const TouchReport &report) {
  HandleHoldReport(report, pointerState.buttonPressed, [](const TouchReport &r, DWORD holdCount) {
    return r.touching && holdCount == driverState.settings.SelDelay;
  });
}

void EmulatePointer(const TouchReport &report, DWORD tick) {
  reportTick = tick;
  switch (driverState.settings.MouseMod & MOUSEMOD_TOUCH_MODE_MASK) {
    case TOUCH_MODE_DESKTOP:
      HandleDesktopReport(report);
      break;
    case TOUCH_MODE_DRAWING:
      HandleDrawingReport(report);
      break;
    case TOUCH_MODE_BUTTON:
      HandleButtonReport(report);
      break;
    default:
      break;  // no pointer output: the report was counted, nothing more
  }
}
