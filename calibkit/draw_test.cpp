// The draw test: a full-screen canvas that draws the touches it receives through the pointer,
// where the driver's calibration puts them: a dot at each press, a line along each drag. Grey
// crosses mark the calibration targets (the 25-point grid, which holds the 2- and 5-point
// targets), so the user sees how near the touches land. "Done", touched, or Escape ends it; it
// tells no window, as the utility asks for no message.
#include <string>
#include <vector>

#include "calibkit.h"
#include "calibration_targets.h"
#include "screen_template.h"

namespace {

constexpr int kArm = 10;     // a reference cross's arms
constexpr int kDot = 4;      // a press's dot, radius
constexpr int kLine = 20;    // a line of text
constexpr int kHintId = 200;
constexpr int kFirstCrossId = 300;

const char16_t kCaption[] = u"Draw test";

struct DrawTest {
  HINSTANCE instance = nullptr;
  int width = 0, height = 0;
  bool drawing = false;  // a touch is down
};

thread_local DrawTest *running = nullptr;

void Build(HWND dialog, const DrawTest &test) {
  MoveWindow(dialog, 0, 0, test.width, test.height, FALSE);
  SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  auto make = [&](const char16_t *className, const char16_t *text, DWORD style, int id, int x, int y, int w, int h) {
    CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, dialog,
                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), test.instance, nullptr);
  };
  int id = kFirstCrossId;
  for (const ScreenPoint &target : CalibrationTargets(25, test.width, test.height)) {
    make(u"STATIC", u"", SS_GRAYRECT, id++, target.x - kArm, target.y, 2 * kArm + 1, 1);
    make(u"STATIC", u"", SS_GRAYRECT, id++, target.x, target.y - kArm, 1, 2 * kArm + 1);
  }
  // Between the targets' first two rows, out of the way of the crosses.
  make(u"STATIC", u"Draw with your finger: each touch leaves a dot, each drag a line. Touch Done, or press Escape, to finish.",
       SS_CENTER, kHintId, 0, test.height / 8 + 2 * kArm, test.width, kLine);
  // Below the last row of crosses, clear of their arms.
  make(u"BUTTON", u"Done", BS_DEFPUSHBUTTON, IDOK, test.width / 2 - 50, test.height - 44, 100, 36);
}

INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    running = reinterpret_cast<DrawTest *>(lParam);
    Build(dialog, *running);
    ShowWindow(dialog, SW_SHOW);
    return TRUE;
  }
  if (running == nullptr) return FALSE;
  const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
  switch (message) {
    case WM_LBUTTONDOWN: {
      HDC dc = GetDC(dialog);
      Ellipse(dc, x - kDot, y - kDot, x + kDot + 1, y + kDot + 1);
      MoveToEx(dc, x, y, nullptr);
      ReleaseDC(dialog, dc);
      running->drawing = true;
      return TRUE;
    }
    case WM_MOUSEMOVE:
      if (running->drawing && (wParam & MK_LBUTTON) != 0) {
        HDC dc = GetDC(dialog);
        LineTo(dc, x, y);
        ReleaseDC(dialog, dc);
      }
      return TRUE;
    case WM_LBUTTONUP:
      running->drawing = false;
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      running = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

extern "C" int DoDrawTest(HINSTANCE instance, LPCWSTR, DWORD, int, HWND notify, UINT doneMessage) {
  DrawTest test;
  test.instance = instance;
  test.width = GetSystemMetrics(SM_CXSCREEN);
  test.height = GetSystemMetrics(SM_CYSCREEN);
  std::vector<WORD> dialogTemplate = ScreenTemplate(kCaption);
  INT_PTR result = DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()),
                                           notify != nullptr && IsWindow(notify) ? notify : nullptr, Procedure,
                                           reinterpret_cast<LPARAM>(&test));
  // The utility asks for no message; a caller that does learns that the test has ended.
  if (doneMessage != 0 && notify != nullptr) PostMessageW(notify, doneMessage, result == IDOK ? 1 : 0, 0);
  return result == IDOK || result == IDCANCEL ? 1 : 0;
}
