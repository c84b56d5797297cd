// A dialog's controls by id: GetDlgItem, GetDlgCtrlID, SetDlgItemTextW, GetDlgItemTextW,
// CheckRadioButton and SendDlgItemMessageW. A control's id is the one its template item (or the
// hMenu of CreateWindowExW) gave it.
#include <mutex>

#include "window_table.h"

namespace platform::gwes {
namespace {

int ControlId(const WindowPtr &window) {
  std::lock_guard lock(window->stateMutex);
  return window->id;
}

}  // namespace
}  // namespace platform::gwes

using platform::gwes::WindowPtr;

extern "C" HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  if (!platform::gwes::LookupWindow(hDlg)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (const WindowPtr &child : platform::gwes::ChildWindows(hDlg)) {
    if ((child->style & WS_CHILD) != 0 && platform::gwes::ControlId(child) == nIDDlgItem) return child->hwnd;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

extern "C" int WINAPI GetDlgCtrlID(HWND hWnd) {
  WindowPtr window = platform::gwes::LookupWindow(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // A top-level window has no control id.
  return (window->style & WS_CHILD) != 0 ? platform::gwes::ControlId(window) : 0;
}

extern "C" BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item != nullptr ? SetWindowTextW(item, lpString) : FALSE;
}

extern "C" UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item != nullptr ? static_cast<UINT>(GetWindowTextW(item, lpString, cchMax)) : 0;
}

extern "C" BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
  if (!platform::gwes::LookupWindow(hDlg)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  for (const WindowPtr &child : platform::gwes::ChildWindows(hDlg)) {
    int id = platform::gwes::ControlId(child);
    if ((child->style & WS_CHILD) == 0 || id < nIDFirstButton || id > nIDLastButton) continue;
    SendMessageW(child->hwnd, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  return TRUE;
}

extern "C" LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item != nullptr ? SendMessageW(item, Msg, wParam, lParam) : 0;
}
