// What a window shows of itself after creation: its text and icons (through WM_SETTEXT, WM_GETTEXT,
// WM_SETICON and WM_GETICON, answered by DefWindowProcW), its rectangle, visibility, enabled state
// and whether it stays on top.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

namespace platform::gwes {

// DefWindowProcW's answer to the messages about a window's text and icons; 0 to any other.
LRESULT DefaultWindowState(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// A top-level window's text, rectangle, visibility, enabled state or stacking has changed: its
// published record follows, so that pointer input from other processes finds it where it is.
// Nothing for a child window.
void Republish(const std::shared_ptr<struct Window> &window);
// Now, on the clock that orders windows coming to the front across the device's processes.
uint64_t FrontStamp();

}  // namespace platform::gwes
