// MessageBoxW: a headless script records the box (caption, text, buttons) and answers it; with a
// display open, the box shows as a modal dialog built from a template made in memory (the text's
// lines in a static, the box's buttons in a row beneath, the first the default one), centred on
// the screen and wholly on it wherever its owner stands, and the user answers. The owner is
// disabled while the box waits, as for any modal window. Like every modal loop, the box ends
// without an answer when the thread is asked to quit (WM_QUIT), and leaves the request for the
// loops outside it.
#include "message_box.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fltk_driver.h"
#include "headless_driver.h"
#include "platform/dialog_box.h"
#include "screen_size.h"
#include "window_frame.h"

namespace platform::gwes {
namespace {

struct Choice {
  std::vector<std::pair<int, const char16_t *>> buttons;  // answer and label, in the row's order
  int backOut;                                             // Escape's and the close box's answer
};

Choice ChoiceOf(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {{{IDOK, u"OK"}, {IDCANCEL, u"Cancel"}}, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {{{IDABORT, u"Abort"}, {IDRETRY, u"Retry"}, {IDIGNORE, u"Ignore"}}, IDABORT};
    case MB_YESNOCANCEL:
      return {{{IDYES, u"Yes"}, {IDNO, u"No"}, {IDCANCEL, u"Cancel"}}, IDCANCEL};
    case MB_YESNO:
      return {{{IDYES, u"Yes"}, {IDNO, u"No"}}, IDNO};
    case MB_RETRYCANCEL:
      return {{{IDRETRY, u"Retry"}, {IDCANCEL, u"Cancel"}}, IDCANCEL};
    default:
      return {{{IDOK, u"OK"}}, IDOK};
  }
}

// The open boxes of this thread, by window, for the dialog procedure.
thread_local std::map<HWND, const Choice *> openBoxes;

INT_PTR CALLBACK BoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    openBoxes[box] = reinterpret_cast<const Choice *>(lParam);
    RECT window{};
    GetWindowRect(box, &window);
    ScreenSize screen = CurrentScreenSize();
    POINT at = CentredOn(window, RECT{0, 0, screen.width, screen.height});
    SetWindowPos(box, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    return TRUE;
  }
  if (message == WM_DESTROY) {
    openBoxes.erase(box);
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  auto it = openBoxes.find(box);
  if (it == openBoxes.end()) return FALSE;
  const Choice &choice = *it->second;
  const int id = LOWORD(wParam);
  for (const auto &[answer, label] : choice.buttons)
    if (answer == id) return EndDialog(box, answer);
  // Escape and the close box come as IDCANCEL; a box without a Cancel button backs out instead.
  if (id == IDCANCEL) return EndDialog(box, choice.backOut);
  return FALSE;
}

// The template's layout in pixels of the 12-point system font (8 x 16, two pixels a dialog unit).
constexpr int kMargin = 12, kLine = 16, kChar = 8, kButtonWidth = 72, kButtonHeight = 24, kGap = 8;

DialogItemTemplate Item(WORD classOrdinal, int id, std::u16string text, DWORD style, int x, int y, int cx, int cy) {
  DialogItemTemplate item;
  item.style = WS_CHILD | WS_VISIBLE | style;
  item.x = static_cast<short>(x / 2), item.y = static_cast<short>(y / 2);
  item.cx = static_cast<short>(cx / 2), item.cy = static_cast<short>(cy / 2);
  item.id = static_cast<DWORD>(id);
  item.windowClass.isOrdinal = true;
  item.windowClass.ordinal = classOrdinal;
  item.title.name = std::move(text);
  return item;
}

DialogTemplate BoxTemplate(std::u16string_view caption, std::u16string_view text, const Choice &choice) {
  int lines = 1, longest = 0;
  for (size_t start = 0;;) {
    size_t end = text.find(u'\n', start);
    size_t length = (end == std::u16string_view::npos ? text.size() : end) - start;
    longest = std::max(longest, static_cast<int>(length));
    if (end == std::u16string_view::npos) break;
    ++lines;
    start = end + 1;
  }
  // The box is as wide as its text or its buttons, whichever is wider, and fits the screen.
  ScreenSize screen = CurrentScreenSize();
  const int count = static_cast<int>(choice.buttons.size());
  const int row = count * kButtonWidth + (count - 1) * kGap;
  const int width = std::min(std::max(longest * kChar, row) + 2 * kMargin, std::max(screen.width, row + 2 * kMargin));
  const int textHeight = lines * kLine;
  const int height = kMargin + textHeight + kMargin + kButtonHeight + kMargin;

  DialogTemplate box;
  box.style = kMessageBoxStyle;
  box.title = std::u16string(caption);
  box.cx = static_cast<short>(width / 2), box.cy = static_cast<short>(height / 2);
  box.pointSize = 12;
  box.typeface = u"System";
  box.items.push_back(Item(0x0082, 0xFFFF, std::u16string(text), SS_LEFT, kMargin, kMargin, width - 2 * kMargin,
                           textHeight));
  int x = (width - row) / 2;
  for (int i = 0; i < count; ++i) {
    const auto &[answer, label] = choice.buttons[static_cast<size_t>(i)];
    box.items.push_back(Item(0x0080, answer, label, (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP, x,
                             kMargin + textHeight + kMargin, kButtonWidth, kButtonHeight));
    x += kButtonWidth + kGap;
  }
  return box;
}

// Shows the box, owned by `owner`, and returns the button chosen; 0 when the dialog could not run.
int MessageBoxDialog(HWND owner, std::u16string_view caption, std::u16string_view text, UINT type) {
  const Choice choice = ChoiceOf(type);
  INT_PTR answer = DialogBoxFromTemplate(nullptr, BoxTemplate(caption, text, choice), owner, BoxProcedure,
                                         reinterpret_cast<LPARAM>(&choice));
  return answer > 0 ? static_cast<int>(answer) : 0;
}

}  // namespace

RECT MessageBoxRect(std::u16string_view caption, std::u16string_view text, UINT type) {
  const DialogTemplate box = BoxTemplate(caption, text, ChoiceOf(type));
  const DialogBaseUnits units = BaseUnitsOf(box);
  RECT client{0, 0, MulDiv(box.cx, units.cx, 4), MulDiv(box.cy, units.cy, 8)};
  AdjustWindowRectEx(&client, box.style, FALSE, box.exStyle);
  const LONG width = client.right - client.left, height = client.bottom - client.top;
  ScreenSize screen = CurrentScreenSize();
  POINT at = CentredOn(RECT{0, 0, width, height}, RECT{0, 0, screen.width, screen.height});
  return RECT{at.x, at.y, at.x + width, at.y + height};
}

}  // namespace platform::gwes

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
