// What the modal loops ask of the FLTK rendering: whether it is active, one turn of its event loop
// for a dialog (draw the model, wait for input or a timeout, turn input into messages), and
// forgetting a dialog that has ended.
#pragma once

#include <windows.h>

namespace platform::gwes {

// True on the thread where platform::fltk::OpenDisplay has succeeded.
bool FltkActive();
// Brings the dialog's FLTK window in step with its window model (text size `labelSize` pixels),
// waits for an X11 event or a short while, and turns what the user did into the messages the
// headless script's actions produce. The caller handles queued messages between turns.
void FltkTurn(HWND dialog, int labelSize);
// The dialog has ended: its FLTK window goes.
void FltkForget(HWND dialog);

}  // namespace platform::gwes
