// MessageBoxW: a headless script records the box (caption, text, buttons) and answers it; with a
// display open, the box shows as a modal dialog centred on the screen and the user answers. The
// owner is disabled while the box waits, as for any modal window. Like every modal loop, the box
// ends without an answer when the thread is asked to quit (WM_QUIT), and leaves the request for
// the loops outside it.
#include "fltk_driver.h"
#include "headless_driver.h"
#include "message_box_dialog.h"

extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  if (hWnd != nullptr && !IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  bool headless = platform::gwes::HeadlessActive();
  if (!headless && !platform::gwes::FltkActive()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  MSG quit;
  if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return 0;
  }
  bool disabledOwner = hWnd != nullptr && !EnableWindow(hWnd, FALSE);
  std::u16string_view caption = lpCaption != nullptr ? lpCaption : u"Error";
  std::u16string_view text = lpText != nullptr ? lpText : u"";
  int answer = headless ? platform::gwes::HeadlessAnswer(caption, text, uType)
                        : platform::gwes::MessageBoxDialog(hWnd, caption, text, uType);
  if (disabledOwner) EnableWindow(hWnd, TRUE);
  if (answer == 0) SetLastError(ERROR_OPERATION_ABORTED);
  return answer;
}
