// What a window shows of itself after creation: its text and icons (through WM_SETTEXT, WM_GETTEXT,
// WM_SETICON and WM_GETICON, answered by DefWindowProcW), its rectangle, visibility, enabled state
// and whether it stays on top.
#pragma once

#include <windows.h>

namespace platform::gwes {

// DefWindowProcW's answer to the messages about a window's text and icons; 0 to any other.
LRESULT DefaultWindowState(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace platform::gwes
