// A message box as a modal dialog of the window model: its caption with a close box, its text and
// a row of buttons, centred on the screen. The displays draw it as they draw any dialog.
#pragma once

#include <windows.h>

#include <string_view>

namespace platform::gwes {

// Shows the box, owned by `owner`, and returns the button chosen (IDOK, IDYES...). Escape and the
// close box back out: Cancel, No or Abort, or OK for a box with only OK; Return presses the first
// button. 0 when the dialog could not run.
int MessageBoxDialog(HWND owner, std::u16string_view caption, std::u16string_view text, UINT type);

}  // namespace platform::gwes
