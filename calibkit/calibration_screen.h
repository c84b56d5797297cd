// The calibration screen: a full-screen topmost dialog that shows one target at a time (a cross,
// "Touch the centre of the target", which point of how many, and how to leave), takes the touches
// the TouchReader reports, refuses a misclick with a visible message and asks for the same target
// again, and at the end shows a page of text with an OK button (the result, or why the run could
// not finish). Escape, or a time-out with no report from the panel (a touch held keeps it up),
// leaves it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "calibration_fit.h"
#include "calibration_targets.h"

class TouchReader;

struct CalibrationPage {
  std::u16string caption;  // the window's caption while the page shows
  std::u16string title;
  std::u16string body;  // lines separated by '\n'
};

class CalibrationScreen {
 public:
  // Called once every target has its touch, with the readings in the targets' order: does what
  // the run does with them and returns the page to show.
  using Finish = std::function<CalibrationPage(const std::vector<RawReading> &readings)>;

  // `owner`, when given, takes no input while the screen is up.
  CalibrationScreen(std::vector<ScreenPoint> targets, int width, int height, DWORD timeout, HWND owner);

  // Shows the targets, reading touches from `reader` (already open), until every target has its
  // touch and the page that `finish` returns has been closed: true. False when the user left
  // (Escape, the time-out) or the program was ended before that.
  bool RunTargets(HINSTANCE instance, TouchReader &reader, const Finish &finish);
  // Shows a page alone, until OK, Escape or the time-out.
  void ShowPage(HINSTANCE instance, const CalibrationPage &page);

  // The caption of the screen while it shows targets, by which scripts and tools find it.
  static const char16_t kCaption[];

 private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Run(HINSTANCE instance);
  void Build(HWND dialog);
  void ShowTarget(HWND dialog);
  void Show(HWND dialog, const CalibrationPage &page);
  void RestartTimeout(HWND dialog);

  std::vector<ScreenPoint> targets_;
  int width_, height_;
  DWORD timeout_;
  HWND owner_;
  HINSTANCE instance_ = nullptr;
  TouchReader *reader_ = nullptr;
  const Finish *finish_ = nullptr;
  const CalibrationPage *page_ = nullptr;  // a page shown alone
  std::vector<RawReading> readings_;
  bool pageShown_ = false;
};
