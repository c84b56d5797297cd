// The calibration screen, made of the window manager's own controls so that both renderings show
// it: the cross is two thin filled statics, the texts are statics, the page's button a push
// button. The texts stand between the targets' rows: the prompt and the counter below the top
// row, the misclick message and how to leave above the bottom row.
#include "calibration_screen.h"

#include <utility>

#include "ascii_text.h"
#include "screen_template.h"
#include "touch_reader.h"

namespace {

constexpr UINT kTouchMessage = WM_USER + 100;
constexpr UINT kReportMessage = WM_USER + 101;
constexpr UINT_PTR kTimeoutTimer = 1;

// How the dialog ends: every target touched and the page closed, or left.
constexpr INT_PTR kCompleted = 1;
constexpr INT_PTR kLeft = 2;

enum ControlId : int {
  kCrossAcross = 101,
  kCrossDown,
  kPrompt,
  kCounter,
  kMisclick,
  kHowToLeave,
  kTitle,
  kBody,
};

constexpr int kArm = 20;        // the cross's arms, in pixels from its centre
constexpr int kLine = 20;       // a line of text
constexpr int kClearance = 24;  // between a row of targets and the text beside it

}  // namespace

const char16_t CalibrationScreen::kCaption[] = u"Touch calibration";

CalibrationScreen::CalibrationScreen(std::vector<ScreenPoint> targets, int width, int height, DWORD timeout,
                                     HWND owner)
    : targets_(std::move(targets)), width_(width), height_(height), timeout_(timeout),
      owner_(owner != nullptr && IsWindow(owner) ? owner : nullptr) {}

bool CalibrationScreen::RunTargets(HINSTANCE instance, TouchReader &reader, const Finish &finish) {
  reader_ = &reader;
  finish_ = &finish;
  page_ = nullptr;
  readings_.clear();
  pageShown_ = false;
  INT_PTR result = Run(instance);
  reader_ = nullptr;
  finish_ = nullptr;
  return result == kCompleted;
}

void CalibrationScreen::ShowPage(HINSTANCE instance, const CalibrationPage &page) {
  reader_ = nullptr;
  finish_ = nullptr;
  page_ = &page;
  Run(instance);
  page_ = nullptr;
}

INT_PTR CalibrationScreen::Run(HINSTANCE instance) {
  instance_ = instance;
  std::vector<WORD> dialogTemplate = ScreenTemplate(kCaption);
  return DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()), owner_, Procedure,
                                 reinterpret_cast<LPARAM>(this));
}

// One screen runs at a time on a thread; its procedure finds it here.
thread_local CalibrationScreen *runningScreen = nullptr;

INT_PTR CALLBACK CalibrationScreen::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) runningScreen = reinterpret_cast<CalibrationScreen *>(lParam);
  if (runningScreen == nullptr) return FALSE;
  INT_PTR handled = runningScreen->Handle(dialog, message, wParam, lParam);
  if (message == WM_DESTROY) runningScreen = nullptr;
  return handled;
}

void CalibrationScreen::Build(HWND dialog) {
  MoveWindow(dialog, 0, 0, width_, height_, FALSE);
  SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const int upper = height_ / 8 + kClearance;
  const int lower = 11 * height_ / 16 + kClearance;
  struct Item {
    int id;
    const char16_t *className;
    DWORD style;
    int x, y, w, h;
  };
  const Item items[] = {
      {kCrossAcross, u"STATIC", SS_BLACKRECT, 0, 0, 2 * kArm + 1, 3},
      {kCrossDown, u"STATIC", SS_BLACKRECT, 0, 0, 3, 2 * kArm + 1},
      {kPrompt, u"STATIC", SS_CENTER, 0, upper, width_, kLine},
      {kCounter, u"STATIC", SS_CENTER, 0, upper + kLine, width_, kLine},
      {kMisclick, u"STATIC", SS_CENTER, 0, lower, width_, kLine},
      {kHowToLeave, u"STATIC", SS_CENTER, 0, lower + kLine, width_, kLine},
      {kTitle, u"STATIC", SS_CENTER, 0, height_ / 8, width_, kLine},
      {kBody, u"STATIC", SS_LEFT, width_ / 8, height_ / 8 + 2 * kLine, 3 * width_ / 4, height_ / 2},
      {IDOK, u"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, width_ / 2 - 50, 7 * height_ / 8 - 15, 100, 30},
  };
  for (const Item &item : items)
    CreateWindowExW(0, item.className, u"", WS_CHILD | item.style, item.x, item.y, item.w, item.h, dialog,
                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), instance_, nullptr);
  SetDlgItemTextW(dialog, IDOK, u"OK");
  SetDlgItemTextW(dialog, kPrompt, u"Touch the centre of the target");
  SetDlgItemTextW(dialog, kMisclick, u"Misclick: that touch was too far from the target. Touch its centre again.");
  std::u16string howToLeave = Widen("Press Escape to leave. Without a touch for " + std::to_string(timeout_ / 1000) +
                                    " s the calibration ends by itself.");
  SetDlgItemTextW(dialog, kHowToLeave, howToLeave.c_str());
}

void CalibrationScreen::ShowTarget(HWND dialog) {
  const ScreenPoint target = targets_[readings_.size()];
  MoveWindow(GetDlgItem(dialog, kCrossAcross), target.x - kArm, target.y - 1, 2 * kArm + 1, 3, FALSE);
  MoveWindow(GetDlgItem(dialog, kCrossDown), target.x - 1, target.y - kArm, 3, 2 * kArm + 1, FALSE);
  std::u16string counter = Widen(std::to_string(readings_.size() + 1) + " of " + std::to_string(targets_.size()));
  SetDlgItemTextW(dialog, kCounter, counter.c_str());
  for (int id : {kCrossAcross, kCrossDown, kPrompt, kCounter, kHowToLeave}) ShowWindow(GetDlgItem(dialog, id), SW_SHOW);
}

void CalibrationScreen::Show(HWND dialog, const CalibrationPage &page) {
  pageShown_ = true;
  for (int id : {kCrossAcross, kCrossDown, kPrompt, kCounter, kMisclick, kHowToLeave})
    ShowWindow(GetDlgItem(dialog, id), SW_HIDE);
  SetWindowTextW(dialog, page.caption.c_str());
  SetDlgItemTextW(dialog, kTitle, page.title.c_str());
  SetDlgItemTextW(dialog, kBody, page.body.c_str());
  for (int id : {static_cast<int>(kTitle), static_cast<int>(kBody), static_cast<int>(IDOK)}) ShowWindow(GetDlgItem(dialog, id), SW_SHOW);
  RestartTimeout(dialog);
}

void CalibrationScreen::RestartTimeout(HWND dialog) { SetTimer(dialog, kTimeoutTimer, timeout_, nullptr); }

INT_PTR CalibrationScreen::Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      Build(dialog);
      ShowWindow(dialog, SW_SHOW);
      if (page_ != nullptr) {
        Show(dialog, *page_);
      } else {
        ShowTarget(dialog);
        RestartTimeout(dialog);
        if (reader_ != nullptr) reader_->Start(dialog, kTouchMessage, kReportMessage);
      }
      return TRUE;
    case kReportMessage:
      // A touch held is someone at the screen: only a screen nobody touches times out.
      if (reader_ != nullptr) reader_->ReportsSeen();
      if (!pageShown_ && finish_ != nullptr) RestartTimeout(dialog);
      return TRUE;
    case kTouchMessage: {
      // Touches that come after the last target belong to no target.
      if (pageShown_ || finish_ == nullptr) return TRUE;
      const RawReading reading{static_cast<DWORD>(wParam), static_cast<DWORD>(lParam)};
      const ScreenPoint target = targets_[readings_.size()];
      RestartTimeout(dialog);
      if (!TouchAgrees(targets_, readings_, target, reading, width_, height_)) {
        NKDbgPrintfW(TEXT("calibkit: the touch for target %u of %u was refused as a misclick; it is asked again\r\n"),
                     static_cast<unsigned>(readings_.size() + 1), static_cast<unsigned>(targets_.size()));
        ShowWindow(GetDlgItem(dialog, kMisclick), SW_SHOW);
        return TRUE;
      }
      ShowWindow(GetDlgItem(dialog, kMisclick), SW_HIDE);
      readings_.push_back(reading);
      if (readings_.size() < targets_.size()) {
        ShowTarget(dialog);
      } else {
        Show(dialog, (*finish_)(readings_));
      }
      return TRUE;
    }
    case WM_TIMER:
      if (wParam != kTimeoutTimer) return FALSE;
      EndDialog(dialog, pageShown_ && page_ == nullptr ? kCompleted : kLeft);
      return TRUE;
    case WM_COMMAND:
      // OK, and Escape on a page, close the page; Escape on the targets leaves the run.
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, pageShown_ && page_ == nullptr ? kCompleted : kLeft);
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      KillTimer(dialog, kTimeoutTimer);
      return FALSE;
    default:
      return FALSE;
  }
}
