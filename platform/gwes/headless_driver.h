// What the modal loops ask of a headless script running on their thread: the next user action for
// a dialog, or the answer to a message box. A failed or exhausted script makes every modal loop
// on the thread end, so a run never waits for a user who is not there.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <string_view>

namespace platform::gwes {

// True while a script runs on the calling thread.
bool HeadlessActive();
// Performs the script's next action on the modal dialog `dialog`. False when the script has
// failed or has no action left; the reason is recorded in the script's session.
bool HeadlessStep(HWND dialog);
// True while the script lets real time pass (a wait or an await): the modal loop handles messages
// until `*until` instead of asking for the next action.
bool HeadlessWaiting(std::chrono::steady_clock::time_point *until);
// Records a message box and returns the script's answer to it, or 0 when the script's next action
// is not a fitting answer (recorded as the script's failure), or when a quit request (WM_QUIT)
// waits.
int HeadlessAnswer(std::u16string_view caption, std::u16string_view text, UINT type);

// The dump's lines of the message box a script is to answer: its rectangle on the screen, then
// its caption and client area, as a window with a caption has them.
std::string DumpMessageBox(std::u16string_view caption, std::u16string_view text, UINT type);

// Text as the transcript writes it: in double quotes, UTF-8, with \\, \" and \n escaped.
std::string Quoted(std::u16string_view text);
// A window's text, quoted.
std::string QuotedWindowText(HWND hwnd);

}  // namespace platform::gwes
