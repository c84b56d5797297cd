// Modal dialogs: DialogBoxFromTemplate makes the dialog window (class "#32770", whose procedure is
// DefDlgProcW) and its controls from a template, runs the modal loop until EndDialog, and hands
// back EndDialog's result. DefDlgProcW gives each message to the dialog procedure first; the
// close box's WM_CLOSE becomes WM_COMMAND IDCANCEL, as on the device. A dialog with an owner
// opens centred on it. With a display open, the modal loop runs FLTK's event loop between messages.
#include "platform/dialog_box.h"

#include <string>

#include "control_state.h"
#include "fltk_driver.h"
#include "headless_driver.h"
#include "window_frame.h"
#include "platform/text.h"
#include "window_table.h"
#include "window_thread.h"

namespace platform::gwes {
namespace {

struct DialogState {
  DLGPROC procedure = nullptr;
  DialogBaseUnits units;
  bool ended = false;
  INT_PTR result = 0;
};

ControlStates<DialogState> &Dialogs() {
  static auto *states = new ControlStates<DialogState>;  // outlives static destructors that still destroy windows
  return *states;
}

constexpr char16_t kDialogClass[] = u"#32770";

[[maybe_unused]] const ATOM kDialogClassAtom = [] {
  WNDCLASSW dialogClass{};
  dialogClass.lpfnWndProc = DefDlgProcW;
  dialogClass.lpszClassName = kDialogClass;
  return RegisterClassW(&dialogClass);
}();

// The predefined control classes a template names by ordinal.
std::u16string ItemClassName(const NameOrOrdinal &windowClass) {
  if (!windowClass.isOrdinal) return windowClass.name;
  switch (windowClass.ordinal) {
    case 0x0080:
      return u"BUTTON";
    case 0x0081:
      return u"EDIT";
    case 0x0082:
      return u"STATIC";
    case 0x0083:
      return u"LISTBOX";
    case 0x0084:
      return u"SCROLLBAR";
    case 0x0085:
      return u"COMBOBOX";
    default:
      return u"#" + ToUtf16(std::to_string(windowClass.ordinal));
  }
}

// An image named by resource ordinal travels to the control as the text 0xFFFF, ordinal.
std::u16string ItemText(const NameOrOrdinal &title) {
  if (!title.isOrdinal) return title.name;
  return std::u16string{char16_t{0xFFFF}, static_cast<char16_t>(title.ordinal)};
}

// Ends a dialog that cannot be made, keeping the reason for the caller.
INT_PTR Abandon(HWND dialog) {
  DWORD error = GetLastError();
  DestroyWindow(dialog);
  SetLastError(error);
  return -1;
}

bool Ended(HWND dialog, INT_PTR *result) {
  auto state = Dialogs().Get(dialog);
  if (!state) {
    *result = -1;  // the dialog procedure destroyed its own window
    return true;
  }
  *result = state->result;
  return state->ended;
}

// Handles one message taken by the modal loop. False for WM_QUIT, which ends the loop and is
// posted again so that the thread's own loop sees it too.
bool Handle(const MSG &message) {
  if (message.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(message.wParam));
    return false;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
  return true;
}

INT_PTR RunModalLoop(HWND dialog) {
  INT_PTR result = 0;
  while (!Ended(dialog, &result)) {
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (!Handle(message)) return 0;
      continue;
    }
    if (HeadlessActive()) {
      // The script lets real time pass: the dialog handles what arrives meanwhile.
      std::chrono::steady_clock::time_point until;
      if (HeadlessWaiting(&until)) {
        CurrentThreadQueue()->WaitForInput(until);
        continue;
      }
      // Nothing is queued, so the dialog waits for its user: the script acts.
      if (!HeadlessStep(dialog)) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return -1;
      }
      continue;
    }
    if (FltkActive()) {
      // Nothing is queued: the display draws the dialog and waits a moment for its user.
      auto state = Dialogs().Get(dialog);
      FltkTurn(dialog, state ? state->units.cy : DialogBaseUnits{}.cy);
      continue;
    }
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == -1) return -1;
    if (got == 0 || !Handle(message)) {
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
      return 0;
    }
  }
  return result;
}

}  // namespace
}  // namespace platform::gwes

namespace platform {

using gwes::Abandon;
using gwes::Dialogs;
using gwes::DialogState;
using gwes::Ended;
using gwes::ItemClassName;
using gwes::ItemText;
using gwes::kDialogClass;
using gwes::RunModalLoop;

DialogBaseUnits BaseUnitsOf(const DialogTemplate &dialogTemplate) {
  // The headless renderer draws every face alike: a character is as high as the point size at
  // 96 pixels per inch and half as wide. Without a font the system font's 8 x 16 applies.
  if ((dialogTemplate.style & DS_SETFONT) == 0 || dialogTemplate.pointSize == 0) return DialogBaseUnits{};
  int height = MulDiv(dialogTemplate.pointSize, 96, 72);
  return DialogBaseUnits{height / 2, height};
}

INT_PTR DialogBoxFromTemplate(HINSTANCE instance, const DialogTemplate &dialogTemplate, HWND owner, DLGPROC dialogProc,
                              LPARAM initParam) {
  if (owner != nullptr && !IsWindow(owner)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  DialogBaseUnits units = BaseUnitsOf(dialogTemplate);
  auto toX = [&](int x) { return MulDiv(x, units.cx, 4); };
  auto toY = [&](int y) { return MulDiv(y, units.cy, 8); };
  std::u16string className = dialogTemplate.windowClass.name.empty() || dialogTemplate.windowClass.isOrdinal
                                 ? std::u16string(kDialogClass)
                                 : dialogTemplate.windowClass.name;
  // The template sizes the client area; the window is larger by its caption.
  const DWORD style = dialogTemplate.style & ~static_cast<DWORD>(WS_VISIBLE);
  RECT frame{0, 0, toX(dialogTemplate.cx), toY(dialogTemplate.cy)};
  AdjustWindowRectEx(&frame, style, FALSE, dialogTemplate.exStyle);
  HWND dialog = CreateWindowExW(dialogTemplate.exStyle, className.c_str(), dialogTemplate.title.c_str(), style,
                                toX(dialogTemplate.x), toY(dialogTemplate.y), frame.right - frame.left,
                                frame.bottom - frame.top, owner, nullptr, instance, nullptr);
  if (dialog == nullptr) return -1;
  // A dialog with an owner opens centred on it, wholly on the screen; the dialog procedure may
  // place it elsewhere while it initialises.
  RECT placed{}, ownerRect{};
  if (owner != nullptr && GetWindowRect(dialog, &placed) && GetWindowRect(owner, &ownerRect)) {
    POINT at = gwes::CentredOn(placed, ownerRect);
    SetWindowPos(dialog, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  Dialogs().Add(dialog, DialogState{dialogProc, units, false, 0});

  HWND firstTabStop = nullptr;
  for (const DialogItemTemplate &item : dialogTemplate.items) {
    std::u16string itemClass = ItemClassName(item.windowClass);
    std::u16string text = ItemText(item.title);
    HWND control = CreateWindowExW(item.exStyle, itemClass.c_str(), text.c_str(), item.style | WS_CHILD, toX(item.x),
                                   toY(item.y), toX(item.cx), toY(item.cy), dialog,
                                   reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), instance, nullptr);
    if (control == nullptr) return Abandon(dialog);
    if (firstTabStop == nullptr && (item.style & WS_TABSTOP) != 0) firstTabStop = control;
  }

  SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), initParam);
  INT_PTR result = 0;
  if (Ended(dialog, &result) && !IsWindow(dialog)) return -1;
  if (!Ended(dialog, &result)) ShowWindow(dialog, SW_SHOW);

  // The owner takes no input while its modal dialog runs; one that was disabled already stays so.
  bool disabledOwner = owner != nullptr && !EnableWindow(owner, FALSE);
  result = RunModalLoop(dialog);
  DWORD error = GetLastError();
  gwes::FltkForget(dialog);
  if (disabledOwner) EnableWindow(owner, TRUE);
  if (IsWindow(dialog)) DestroyWindow(dialog);
  if (result == -1) SetLastError(error);
  return result;
}

}  // namespace platform

extern "C" LRESULT WINAPI DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
  auto state = platform::gwes::Dialogs().Get(hDlg);
  if (state && state->procedure != nullptr) {
    // A dialog procedure that handles a message returns nonzero, and that is the answer.
    if (INT_PTR handled = state->procedure(hDlg, Msg, wParam, lParam)) {
      if (Msg == WM_DESTROY) platform::gwes::Dialogs().Remove(hDlg);
      return handled;
    }
  }
  switch (Msg) {
    case WM_CLOSE:
      PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
      return 0;
    case WM_DESTROY:
      platform::gwes::Dialogs().Remove(hDlg);
      return 0;
    case WM_INITDIALOG:
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_TIMER:
      return 0;
    default:
      return DefWindowProcW(hDlg, Msg, wParam, lParam);
  }
}

extern "C" INT_PTR WINAPI DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW hDialogTemplate, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (hDialogTemplate == nullptr || lpDialogFunc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // An in-memory template comes without its size, as on the device: the parser reads only as far
  // as the template's own fields lead, within the largest template the format can describe.
  constexpr size_t kLargestTemplate = 0x10000;
  platform::DialogTemplate parsed;
  std::string error;
  if (!platform::ParseDialogTemplate(hDialogTemplate, kLargestTemplate, &parsed, &error)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return platform::DialogBoxFromTemplate(hInstance, parsed, hWndParent, lpDialogFunc, dwInitParam);
}

extern "C" BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  bool known = platform::gwes::Dialogs()
                   .Update(hDlg,
                           [&](platform::gwes::DialogState &state) {
                             state.ended = true;
                             state.result = nResult;
                             return true;
                           })
                   .has_value();
  if (!known) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  // The dialog disappears at once; the modal loop destroys it when control returns to it.
  ShowWindow(hDlg, SW_HIDE);
  return TRUE;
}

extern "C" BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
  auto state = platform::gwes::Dialogs().Get(hDlg);
  if (!state) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (lpRect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpRect->left = MulDiv(lpRect->left, state->units.cx, 4);
  lpRect->right = MulDiv(lpRect->right, state->units.cx, 4);
  lpRect->top = MulDiv(lpRect->top, state->units.cy, 8);
  lpRect->bottom = MulDiv(lpRect->bottom, state->units.cy, 8);
  return TRUE;
}
