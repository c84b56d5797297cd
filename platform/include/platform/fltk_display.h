// Rendering on an X11 display through FLTK: once opened, every modal dialog of the process shows as
// a real window drawn from its window model, user input on it becomes the messages the dialog
// would get on the device, and message boxes show as modal choice windows.
#pragma once

#include <string>

namespace platform::fltk {

// Connects to the display DISPLAY names and renders the calling thread's dialogs on it from then on.
// False, with the reason and what to do in `error`, when there is no display to connect to.
bool OpenDisplay(std::string *error);

}  // namespace platform::fltk
