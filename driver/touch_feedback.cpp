// Touch sound and tray notice. Neither result is used: the touch goes on whatever they do.
#include "touch_feedback.h"

#include <windows.h>

void PlayTouchSound() { MessageBeep(MB_OK); }

void NotifyTray() {
  HWND tray = FindWindowW(TEXT("TOUCHTRAY"), TEXT("TOUCHTRAY"));
  if (IsWindow(tray)) PostMessageW(tray, WM_RBUTTONDOWN, 0, 0);
}
