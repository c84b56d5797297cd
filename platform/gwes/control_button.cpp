// The predefined "BUTTON" class: push buttons, radio buttons (an automatic one checks itself and
// clears the others of its group) and group boxes. A click (BM_CLICK, or the left button lifted
// over the button) tells the parent with WM_COMMAND and BN_CLICKED; a group box is only a frame
// and takes no clicks. A button the left button went down on shows pushed while the pointer
// stays over it, and takes the dialog's keyboard focus.
#include <windows.h>

#include "control_state.h"
#include "dialog_keys.h"
#include "window_table.h"

namespace platform::gwes {
namespace {

struct ButtonState {
  WPARAM check = BST_UNCHECKED;
  bool tracking = false;  // the left button went down on it and is not up yet
  bool pushed = false;    // tracking, with the pointer over it
};

ControlStates<ButtonState> &Buttons() {
  static auto *states = new ControlStates<ButtonState>;  // outlives static destructors that still destroy windows
  return *states;
}

DWORD ButtonType(const Window &button) { return button.style & BS_TYPEMASK; }

bool IsRadio(const Window &button) {
  return ButtonType(button) == BS_AUTORADIOBUTTON || ButtonType(button) == BS_RADIOBUTTON;
}

// An automatic radio button's group: its siblings in creation order, from the nearest WS_GROUP
// control at or before it up to (not including) the next WS_GROUP control after it.
void ClearGroupOthers(const WindowPtr &button) {
  std::vector<WindowPtr> siblings = ChildWindows(button->parent);
  size_t at = 0;
  while (at < siblings.size() && siblings[at] != button) ++at;
  if (at == siblings.size()) return;
  size_t first = at;
  while (first > 0 && (siblings[first]->style & WS_GROUP) == 0) --first;
  for (size_t i = first; i < siblings.size(); ++i) {
    if (i > first && (siblings[i]->style & WS_GROUP) != 0) break;
    if (i != at && IsRadio(*siblings[i]) && siblings[i]->className == u"BUTTON")
      SendMessageW(siblings[i]->hwnd, BM_SETCHECK, BST_UNCHECKED, 0);
  }
}

void Click(HWND hwnd) {
  WindowPtr button = LookupWindow(hwnd);
  if (!button || ButtonType(*button) == BS_GROUPBOX) return;
  switch (ButtonType(*button)) {
    case BS_AUTORADIOBUTTON:
      SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
      ClearGroupOthers(button);
      break;
    case BS_AUTOCHECKBOX: {
      WPARAM check = static_cast<WPARAM>(SendMessageW(hwnd, BM_GETCHECK, 0, 0));
      SendMessageW(hwnd, BM_SETCHECK, check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
      break;
    }
    default:
      break;
  }
  int id;
  {
    std::lock_guard lock(button->stateMutex);
    id = button->id;
  }
  SendMessageW(button->parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
}

// Whether a mouse message's point lies on the button.
bool Over(HWND hwnd, LPARAM lParam) {
  RECT client{};
  GetClientRect(hwnd, &client);
  const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
  return x >= 0 && y >= 0 && x < client.right && y < client.bottom;
}

LRESULT CALLBACK ButtonProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      Buttons().Add(hwnd, ButtonState{});
      return 0;
    case WM_DESTROY:
      Buttons().Remove(hwnd);
      return 0;
    case BM_GETCHECK:
      return static_cast<LRESULT>(Buttons().Get(hwnd).value_or(ButtonState{}).check);
    case BM_GETSTATE: {
      ButtonState state = Buttons().Get(hwnd).value_or(ButtonState{});
      return static_cast<LRESULT>(state.check | (state.pushed ? BST_PUSHED : 0));
    }
    case BM_SETCHECK:
      Buttons().Update(hwnd, [&](ButtonState &state) { return state.check = wParam; });
      return 0;
    case BM_CLICK:
      if (TakesClicks(hwnd)) Click(hwnd);
      return 0;
    case WM_LBUTTONDOWN:
      if (!TakesClicks(hwnd) || !Buttons().Update(hwnd, [](ButtonState &state) {
            state.tracking = state.pushed = true;
            return true;
          }))
        return 0;
      TakeFocus(hwnd);
      return 0;
    case WM_MOUSEMOVE: {
      const bool over = Over(hwnd, lParam) && (wParam & MK_LBUTTON) != 0;
      Buttons().Update(hwnd, [&](ButtonState &state) { return state.pushed = state.tracking && over; });
      return 0;
    }
    case WM_LBUTTONUP:
      Buttons().Update(hwnd, [](ButtonState &state) { return state.tracking = state.pushed = false; });
      // A touch that slides off the button before it lifts is no click.
      if (TakesClicks(hwnd) && Over(hwnd, lParam)) Click(hwnd);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

[[maybe_unused]] const ATOM kButtonClass = [] {
  WNDCLASSW buttonClass{};
  buttonClass.lpfnWndProc = ButtonProcedure;
  buttonClass.lpszClassName = u"BUTTON";
  return RegisterClassW(&buttonClass);
}();

}  // namespace
}  // namespace platform::gwes
