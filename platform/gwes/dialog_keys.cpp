// Keys in a dialog: Escape is the dialog's cancel command (WM_COMMAND IDCANCEL), Return clicks
// its default push button, space clicks the focused button, Tab and Shift+Tab move the focus to
// the next or previous control that takes it (buttons other than group boxes, and trackbars,
// enabled and visible, in creation order, round the end), and the arrows move it likewise, but
// step a focused trackbar by one position instead, which clicks it there. A letter or digit
// clicks the button whose text underlines it ("&Start": S). A disabled or hidden dialog takes no
// keys.
#include "dialog_keys.h"

#include <map>
#include <mutex>
#include <vector>

#include "control_state.h"
#include "control_trackbar.h"
#include "platform/text.h"
#include "window_table.h"

namespace platform::gwes {
namespace {

struct Focus {
  std::mutex mutex;
  std::map<HWND, HWND> byDialog;  // the control that took the focus last; handles are never reused
};

Focus &State() {
  static auto *focus = new Focus;
  return *focus;
}

bool IsButton(const Window &window) {
  return EqualsIgnoreCase(window.className, u"BUTTON") && (window.style & BS_TYPEMASK) != BS_GROUPBOX;
}

bool IsTrackbar(const Window &window) { return EqualsIgnoreCase(window.className, TRACKBAR_CLASSW); }

bool TakesFocus(const WindowPtr &window) {
  return window && (window->style & WS_CHILD) != 0 && (IsButton(*window) || IsTrackbar(*window)) &&
         TakesClicks(window->hwnd);
}

// The controls of `dialog` that can take the focus now, in creation order.
std::vector<WindowPtr> FocusOrder(HWND dialog) {
  std::vector<WindowPtr> order;
  for (const WindowPtr &child : ChildWindows(dialog))
    if (TakesFocus(child)) order.push_back(child);
  return order;
}

void SetFocusOf(HWND dialog, HWND control) {
  Focus &focus = State();
  std::lock_guard lock(focus.mutex);
  focus.byDialog[dialog] = control;
}

// Moves the focus `step` controls on (-1: back), round the end.
void MoveFocus(HWND dialog, int step) {
  std::vector<WindowPtr> order = FocusOrder(dialog);
  if (order.empty()) return;
  const HWND current = FocusOf(dialog);
  size_t at = 0;
  while (at < order.size() && order[at]->hwnd != current) ++at;
  const size_t count = order.size();
  SetFocusOf(dialog, order[step > 0 ? (at + 1) % count : (at + count - 1) % count]->hwnd);
}

// The character a button's text marks with '&' ("&&" is a plain '&'), upper case; 0 for none.
char16_t Mnemonic(std::u16string_view text) {
  for (size_t at = 0; at + 1 < text.size(); ++at) {
    if (text[at] != u'&') continue;
    const char16_t marked = text[at + 1];
    if (marked != u'&') return marked >= u'a' && marked <= u'z' ? static_cast<char16_t>(marked - u'a' + u'A') : marked;
    ++at;
  }
  return 0;
}

void ClickMnemonic(HWND dialog, UINT key) {
  for (const WindowPtr &control : FocusOrder(dialog)) {
    std::u16string text;
    {
      std::lock_guard lock(control->stateMutex);
      text = control->name;
    }
    if (!IsButton(*control) || Mnemonic(text) != static_cast<char16_t>(key)) continue;
    SetFocusOf(dialog, control->hwnd);
    SendMessageW(control->hwnd, BM_CLICK, 0, 0);
    return;
  }
}

HWND DefaultButton(HWND dialog) {
  for (const WindowPtr &child : ChildWindows(dialog))
    if ((child->style & WS_CHILD) != 0 && IsButton(*child) && (child->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
      return child->hwnd;
  return nullptr;
}

}  // namespace

HWND FocusOf(HWND dialog) {
  HWND stored = nullptr;
  {
    Focus &focus = State();
    std::lock_guard lock(focus.mutex);
    auto it = focus.byDialog.find(dialog);
    if (it != focus.byDialog.end()) stored = it->second;
  }
  if (WindowPtr control = LookupWindow(stored); TakesFocus(control) && control->parent == dialog) return stored;
  std::vector<WindowPtr> order = FocusOrder(dialog);
  return order.empty() ? nullptr : order.front()->hwnd;
}

void TakeFocus(HWND control) {
  WindowPtr window = LookupWindow(control);
  if (TakesFocus(window)) SetFocusOf(window->parent, control);
}

void DeliverKeyInput(HWND top, UINT key, bool shift) {
  if (!TakesClicks(top)) return;
  const HWND focus = FocusOf(top);
  const WindowPtr focused = LookupWindow(focus);
  const bool onTrackbar = focused && IsTrackbar(*focused);
  switch (key) {
    case VK_ESCAPE:
      PostMessageW(top, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(top, IDCANCEL)));
      return;
    case VK_RETURN:
      if (HWND button = DefaultButton(top)) SendMessageW(button, BM_CLICK, 0, 0);
      return;
    case VK_SPACE:
      if (focused && IsButton(*focused)) SendMessageW(focus, BM_CLICK, 0, 0);
      return;
    case VK_TAB:
      MoveFocus(top, shift ? -1 : 1);
      return;
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN: {
      const int step = key == VK_LEFT || key == VK_UP ? -1 : 1;
      if (!onTrackbar) {
        MoveFocus(top, step);
        return;
      }
      const auto position = static_cast<LONG>(SendMessageW(focus, TBM_GETPOS, 0, 0));
      ClickTrackbar(focus, position + step);
      return;
    }
    default:
      if ((key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9')) ClickMnemonic(top, key);
      return;
  }
}

}  // namespace platform::gwes
