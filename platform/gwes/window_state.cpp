// Window text and icons, rectangles, visibility, enabled state and the topmost mark. The rectangle
// is the window's whole area; its client area is what the caption leaves of it (window_frame).
#include "window_state.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

#include "window_frame.h"
#include "window_publication.h"
#include "window_table.h"

namespace platform::gwes {
namespace {

// The window a call names, or null with ERROR_INVALID_WINDOW_HANDLE.
WindowPtr Named(HWND hwnd) {
  WindowPtr window = LookupWindow(hwnd);
  if (!window) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return window;
}

// The screen position of a window's top-left corner: a child lies in its parent's client area.
POINT ScreenOrigin(const WindowPtr &window) {
  POINT origin{0, 0};
  {
    std::lock_guard lock(window->stateMutex);
    origin = POINT{window->rect.left, window->rect.top};
  }
  if ((window->style & WS_CHILD) == 0) return origin;
  WindowPtr parent = LookupWindow(window->parent);
  if (!parent) return origin;
  POINT client = ClientOrigin(parent);
  return POINT{origin.x + client.x, origin.y + client.y};
}

}  // namespace

uint64_t FrontStamp() {
  // The steady clock is the system's monotonic clock, the same in every process.
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

void Republish(const WindowPtr &window) {
  if (!window || (window->style & WS_CHILD) != 0) return;
  ScreenState state;
  {
    std::lock_guard lock(window->stateMutex);
    state.name = window->name;
    state.rect = window->rect;
    state.visible = window->visible;
    state.enabled = window->enabled;
    state.topmost = window->topmost;
    state.z = window->z;
  }
  // An owned window stays above its owner: the owned window of a topmost one is topmost too.
  for (WindowPtr owner = LookupWindow(window->parent); owner && !state.topmost; owner = LookupWindow(owner->parent)) {
    std::lock_guard lock(owner->stateMutex);
    state.topmost = owner->topmost;
  }
  RepublishWindow(window->hwnd, state);
}

LRESULT DefaultWindowState(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowPtr window = LookupWindow(hwnd);
  if (!window) return 0;
  if (message == WM_SETTEXT) {
    {
      std::lock_guard lock(window->stateMutex);
      window->name = lParam != 0 ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string();
    }
    Republish(window);
    return TRUE;
  }
  std::lock_guard lock(window->stateMutex);
  switch (message) {
    case WM_GETTEXT: {
      // wParam counts the terminator; the text is cut to fit, as the device does.
      auto *buffer = reinterpret_cast<LPWSTR>(lParam);
      if (buffer == nullptr || wParam == 0) return 0;
      size_t count = std::min<size_t>(window->name.size(), wParam - 1);
      std::copy_n(window->name.data(), count, buffer);
      buffer[count] = 0;
      return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(window->name.size());
    case WM_SETICON: {
      HICON &slot = window->icons[wParam == ICON_BIG ? ICON_BIG : ICON_SMALL];
      HICON previous = slot;
      slot = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_GETICON:
      return reinterpret_cast<LRESULT>(window->icons[wParam == ICON_BIG ? ICON_BIG : ICON_SMALL]);
    default:
      return 0;
  }
}

}  // namespace platform::gwes

using platform::gwes::WindowPtr;

extern "C" int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator) {
  if (nDenominator == 0) return -1;
  // Rounds half away from zero, in 64 bits so the product cannot overflow; -1 when the result
  // does not fit.
  int64_t product = static_cast<int64_t>(nNumber) * nNumerator;
  int64_t half = (nDenominator < 0 ? -static_cast<int64_t>(nDenominator) : nDenominator) / 2;
  bool negative = (product < 0) != (nDenominator < 0);
  int64_t magnitude = (product < 0 ? -product : product) + half;
  int64_t quotient = magnitude / (nDenominator < 0 ? -static_cast<int64_t>(nDenominator) : nDenominator);
  if (negative) quotient = -quotient;
  if (quotient > INT32_MAX || quotient < INT32_MIN) return -1;
  return static_cast<int>(quotient);
}

extern "C" BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
  (void)bRepaint;  // nothing is painted
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  {
    std::lock_guard lock(window->stateMutex);
    window->rect = RECT{X, Y, X + nWidth, Y + nHeight};
  }
  platform::gwes::Republish(window);
  return TRUE;
}

extern "C" BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  {
    std::lock_guard lock(window->stateMutex);
    RECT &rect = window->rect;
    if ((uFlags & SWP_NOMOVE) == 0) {
      LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
      rect = RECT{X, Y, X + width, Y + height};
    }
    if ((uFlags & SWP_NOSIZE) == 0) {
      rect.right = rect.left + cx;
      rect.bottom = rect.top + cy;
    }
    if ((uFlags & SWP_NOZORDER) == 0) {
      if (hWndInsertAfter == HWND_TOPMOST) window->topmost = true;
      if (hWndInsertAfter == HWND_NOTOPMOST) window->topmost = false;
      window->z = platform::gwes::FrontStamp();
    }
    if ((uFlags & SWP_SHOWWINDOW) != 0) window->visible = true;
    if ((uFlags & SWP_HIDEWINDOW) != 0) window->visible = false;
  }
  platform::gwes::Republish(window);
  return TRUE;
}

extern "C" BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  if (lpRect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  POINT offset = platform::gwes::ClientOffset(window->style);
  std::lock_guard lock(window->stateMutex);
  LONG width = window->rect.right - window->rect.left - offset.x;
  LONG height = window->rect.bottom - window->rect.top - offset.y;
  *lpRect = RECT{0, 0, width > 0 ? width : 0, height > 0 ? height : 0};
  return TRUE;
}

extern "C" BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  if (lpRect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  POINT origin = platform::gwes::ScreenOrigin(window);
  std::lock_guard lock(window->stateMutex);
  *lpRect = RECT{origin.x, origin.y, origin.x + window->rect.right - window->rect.left,
                 origin.y + window->rect.bottom - window->rect.top};
  return TRUE;
}

extern "C" BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  bool was;
  {
    std::lock_guard lock(window->stateMutex);
    was = window->visible;
    window->visible = nCmdShow != SW_HIDE;
    // A window that appears comes to the front.
    if (!was && window->visible) window->z = platform::gwes::FrontStamp();
  }
  if (was != (nCmdShow != SW_HIDE)) platform::gwes::Republish(window);
  if (was != (nCmdShow != SW_HIDE)) SendMessageW(hWnd, WM_SHOWWINDOW, nCmdShow != SW_HIDE, 0);
  return was ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsWindowVisible(HWND hWnd) {
  // Visible only when the window and every window it lies within are shown.
  for (WindowPtr at = platform::gwes::LookupWindow(hWnd); at;) {
    std::lock_guard lock(at->stateMutex);
    if (!at->visible) return FALSE;
    if ((at->style & WS_CHILD) == 0) return TRUE;
    at = platform::gwes::LookupWindow(at->parent);
  }
  return FALSE;
}

extern "C" BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  bool wasEnabled;
  {
    std::lock_guard lock(window->stateMutex);
    wasEnabled = window->enabled;
    window->enabled = bEnable != FALSE;
  }
  if (wasEnabled != (bEnable != FALSE)) platform::gwes::Republish(window);
  if (wasEnabled != (bEnable != FALSE)) SendMessageW(hWnd, WM_ENABLE, bEnable != FALSE, 0);
  return wasEnabled ? FALSE : TRUE;  // nonzero when the window was disabled before
}

extern "C" BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return FALSE;
  std::lock_guard lock(window->stateMutex);
  return window->enabled ? TRUE : FALSE;
}

extern "C" HWND WINAPI GetParent(HWND hWnd) {
  WindowPtr window = platform::gwes::Named(hWnd);
  if (!window) return nullptr;
  return window->parent;
}

extern "C" BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  if (!platform::gwes::Named(hWnd)) return FALSE;
  return SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE : FALSE;
}

extern "C" int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  if (lpString != nullptr && nMaxCount > 0) lpString[0] = 0;
  if (!platform::gwes::Named(hWnd)) return 0;
  if (lpString == nullptr || nMaxCount <= 0) return 0;
  return static_cast<int>(
      SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

extern "C" int WINAPI GetWindowTextLengthW(HWND hWnd) {
  if (!platform::gwes::Named(hWnd)) return 0;
  return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0));
}
