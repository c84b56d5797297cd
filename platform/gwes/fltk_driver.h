// What the modal loops ask of the FLTK rendering: whether it is active, one turn of its event loop
// for a dialog (draw the model, wait for input or a timeout, turn input into messages), forgetting
// a dialog that has ended, and message boxes as modal choice windows.
#pragma once

#include <windows.h>

#include <string_view>

namespace platform::gwes {

// True on the thread where platform::fltk::OpenDisplay has succeeded.
bool FltkActive();
// Brings the dialog's FLTK window in step with its window model (text size `labelSize` pixels),
// waits for an X11 event or a short while, and turns what the user did into the messages the
// headless script's actions produce. The caller handles queued messages between turns.
void FltkTurn(HWND dialog, int labelSize);
// The dialog has ended: its FLTK window goes.
void FltkForget(HWND dialog);
// Shows a modal message box and returns the button chosen (IDOK, IDYES...), or 0 when a quit
// request (WM_QUIT) closed it unanswered.
int FltkMessageBox(std::u16string_view caption, std::u16string_view text, UINT type);

}  // namespace platform::gwes
