// The keyboard of a dialog, as the device's dialog manager answers it: the control that has the
// focus, and what each key does there. Every key a user presses, on a display or in a headless
// script, comes here.
#pragma once

#include <windows.h>

namespace platform::gwes {

// A key (VK_ESCAPE, VK_RETURN, VK_TAB, VK_SPACE, an arrow, or a letter or digit 'A'..'Z',
// '0'..'9') pressed while top-level window `top` has the keyboard; `shift` with Shift held.
void DeliverKeyInput(HWND top, UINT key, bool shift);
// `control` takes its dialog's keyboard focus, as a press on it gives it.
void TakeFocus(HWND control);
// The control of `dialog` that has the focus: the one that took it last while it can still take
// it, else the first that can; null when none can.
HWND FocusOf(HWND dialog);

}  // namespace platform::gwes
