// Creating, destroying and finding windows: CreateWindowExW, DestroyWindow, IsWindow, FindWindowW
// and DefWindowProcW. A window belongs to the thread that creates it; only that thread destroys
// it, and its procedure hears WM_CREATE first and WM_DESTROY last.
#include <optional>
#include <string>

#include "window_classes.h"
#include "window_drawing.h"
#include "window_handle.h"
#include "window_publication.h"
#include "window_state.h"
#include "window_table.h"
#include "window_thread.h"
#include "window_timers.h"

using platform::gwes::WindowPtr;

extern "C" HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                                       int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam) {
  auto windowClass = platform::gwes::FindWindowClass(lpClassName);
  if (!windowClass) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if ((dwStyle & WS_CHILD) != 0 && hWndParent == nullptr) {
    SetLastError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }
  auto queue = platform::gwes::CurrentThreadQueue();
  if (hWndParent != nullptr) {
    WindowPtr parent = platform::gwes::LookupWindow(hWndParent);
    if (!parent) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    // A window goes with its parent, on the parent's thread; so both must have the same one.
    if (parent->queue != queue) {
      SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
      return nullptr;
    }
  }
  auto window = std::make_shared<platform::gwes::Window>();
  window->hwnd = platform::gwes::NewWindowHandle();
  window->className = windowClass->name;
  window->name = lpWindowName != nullptr ? lpWindowName : u"";
  window->procedure = windowClass->procedure;
  window->style = dwStyle;
  window->exStyle = dwExStyle;
  window->parent = hWndParent;
  window->queue = queue;
  // A position or size left to the system starts at 0: there is no screen layout to choose from.
  auto given = [](int value) { return value == CW_USEDEFAULT ? 0 : value; };
  window->rect = RECT{given(X), given(Y), given(X) + given(nWidth), given(Y) + given(nHeight)};
  window->visible = (dwStyle & WS_VISIBLE) != 0;
  window->enabled = (dwStyle & WS_DISABLED) == 0;
  window->topmost = (dwExStyle & WS_EX_TOPMOST) != 0;
  if ((dwStyle & WS_CHILD) != 0) window->id = static_cast<int>(reinterpret_cast<intptr_t>(hMenu));
  if (DWORD error = platform::gwes::AddWindow(window)) {
    SetLastError(error);
    return nullptr;
  }
  HWND hwnd = window->hwnd;
  CREATESTRUCTW create{.lpCreateParams = lpParam,
                       .hInstance = hInstance,
                       .hMenu = hMenu,
                       .hwndParent = hWndParent,
                       .cy = nHeight,
                       .cx = nWidth,
                       .y = Y,
                       .x = X,
                       .style = static_cast<LONG>(dwStyle),
                       .lpszName = lpWindowName,
                       .lpszClass = lpClassName,
                       .dwExStyle = dwExStyle};
  if (window->procedure(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  // The procedure may have destroyed the window while handling WM_CREATE.
  return platform::gwes::IsLocalWindow(hwnd) ? hwnd : nullptr;
}

extern "C" BOOL WINAPI DestroyWindow(HWND hWnd) {
  WindowPtr window = platform::gwes::LookupWindow(hWnd);
  if (!window) {
    bool foreign = platform::gwes::IsOtherProcessWindow(hWnd) && platform::gwes::IsPublishedWindow(hWnd);
    SetLastError(foreign ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (window->queue != platform::gwes::CurrentThreadQueue()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A procedure that calls DestroyWindow again while handling WM_DESTROY asks for what is
  // already under way.
  if (window->destroying.exchange(true)) return TRUE;
  window->procedure(hWnd, WM_DESTROY, 0, 0);
  for (const WindowPtr &child : platform::gwes::ChildWindows(hWnd)) DestroyWindow(child->hwnd);
  platform::gwes::RemoveWindow(window);
  platform::gwes::KillWindowTimers(hWnd);
  platform::gwes::ForgetDrawing(hWnd);
  return TRUE;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd) {
  if (hWnd == nullptr) return FALSE;
  if (platform::gwes::IsOtherProcessWindow(hWnd)) return platform::gwes::IsPublishedWindow(hWnd) ? TRUE : FALSE;
  return platform::gwes::IsLocalWindow(hWnd) ? TRUE : FALSE;
}

extern "C" HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  std::optional<std::u16string> className;
  if (lpClassName != nullptr) {
    if (platform::gwes::IsClassAtom(lpClassName)) {
      // An atom names a class of this process; other processes know their classes by name.
      auto windowClass = platform::gwes::FindWindowClass(lpClassName);
      if (!windowClass) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
      }
      className = windowClass->name;
    } else {
      className = lpClassName;
    }
  }
  std::optional<std::u16string> name;
  if (lpWindowName != nullptr) name = lpWindowName;
  if (WindowPtr window = platform::gwes::FindLocalWindow(className, name)) return window->hwnd;
  if (HWND remote = platform::gwes::FindPublishedWindow(className, name)) return remote;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

extern "C" LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (Msg == WM_CLOSE) {
    DestroyWindow(hWnd);
    return 0;
  }
  return platform::gwes::DefaultWindowState(hWnd, Msg, wParam, lParam);
}
