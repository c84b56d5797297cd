// PointerState: what pointer emulation remembers from one report to the next. Written only by
// the read thread; neither a stop and start nor a change of mode resets it.
#pragma once

#include <windows.h>

struct PointerState {
  bool lastTouch = false;      // Desktop: touching of the previous Desktop report
  LONG lastX = 0;              // Drawing, Button: position of the previous report
  LONG lastY = 0;
  DWORD holdCount = 0;         // Drawing, Button: length of the current hold, in reports
  bool drawingPressed = false;  // Drawing: button state last sent
  bool buttonPressed = false;   // Button: button state last sent
  bool pressLatch = false;      // set by a left press, cleared by a left release: gates the sounds
  // Desktop with a long press: where and when the touch came down, while its left press waits,
  // and whether the long press gave it a right click (the rest of the touch only moves).
  bool pressWaits = false;
  bool moveOnly = false;
  DWORD downX = 0;
  DWORD downY = 0;
  DWORD downTick = 0;
};

extern PointerState pointerState;
