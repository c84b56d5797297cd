// MessageBoxW. There is no screen to show a message box on, so one can only be answered by a
// headless script: the box is recorded (caption, text, buttons) and the script's answer returned.
// The owner is disabled while the box waits, as for any modal window.
#include "headless_driver.h"

extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  if (hWnd != nullptr && !IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!platform::gwes::HeadlessActive()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  bool disabledOwner = hWnd != nullptr && !EnableWindow(hWnd, FALSE);
  int answer = platform::gwes::HeadlessAnswer(lpCaption != nullptr ? lpCaption : u"Error",
                                              lpText != nullptr ? lpText : u"", uType);
  if (disabledOwner) EnableWindow(hWnd, TRUE);
  if (answer == 0) SetLastError(ERROR_OPERATION_ABORTED);
  return answer;
}
