// calvex's own arguments, after the framework has taken its (--root, --headless, --script):
// none for the main dialog, --check for a check run, --calibrate 2|5|25 for a calibration run
// started at once, without the main dialog.
#pragma once

#include <string>

#include <windows.h>

struct CalvexCommand {
  enum class Kind { kDialog, kCheck, kCalibrate, kError };
  Kind kind = Kind::kDialog;
  int points = 0;      // kCalibrate: 2, 5 or 25
  std::string error;   // kError: what is wrong, and what to do
};

// Parses the command line the framework passes (arguments separated by single spaces).
CalvexCommand ParseCalvexCommand(LPCWSTR commandLine);
