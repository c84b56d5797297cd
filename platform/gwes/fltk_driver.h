// What the modal loops ask of the FLTK rendering: whether it is active, one turn of its event loop
// for a dialog (paint the model, wait for input or a timeout, hand the input to the window
// system), and forgetting a dialog that has ended.
#pragma once

#include <windows.h>

namespace platform::gwes {

// True on the thread where platform::fltk::OpenDisplay has succeeded.
bool FltkActive();
// Brings the FLTK windows of the dialog and of those beneath it in step with their window models
// (the dialog's text size `labelSize` pixels), waits for an X11 event or a short while, and hands
// the mouse and the keys to the window system's pointer input and dialog keyboard, as a touch and
// a headless script reach them. The caller handles queued messages between turns.
void FltkTurn(HWND dialog, int labelSize);
// The dialog has ended: its FLTK window goes.
void FltkForget(HWND dialog);

}  // namespace platform::gwes
