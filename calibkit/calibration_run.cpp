// The 2-, 5- and 25-point calibrations. A run reads the driver's settings, starts a guard process,
// stops the driver (which frees the controller's port), reads the controller's raw reports itself
// while the screen asks for each target, fits the corners, stores them into the settings as they
// are at that moment, closes the port and starts the driver again, then shows the result. However
// a run ends, the driver is started again (by the guard when this program itself ends) and the
// corners are changed only by a run that finished; the window that asked is told which it was.
// After the fitted targets a run asks for a check point, which the fit does not use: when the new
// corners put it further off than the bound, nothing is stored and the run has not finished. A
// check run asks for three check points alone and stores nothing.
#include <algorithm>
#include <cstdio>
#include <string>

#include "ascii_text.h"
#include "calibkit.h"
#include "calibration_fit.h"
#include "calibration_screen.h"
#include "check_points.h"
#include "device_call.h"
#include "driver_guard.h"
#include "norvik_device.h"
#include "touch_reader.h"

namespace {

// How long the screen waits for a touch, unless HKLM\Software\Calibkit "TouchTimeout" (in ms)
// says otherwise.
constexpr DWORD kDefaultTimeout = 30000;
constexpr DWORD kShortestTimeout = 100, kLongestTimeout = 3600000;

DWORD TouchTimeout() {
  DWORD timeout = kDefaultTimeout;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\Calibkit"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return timeout;
  DWORD value = 0, type = 0, size = sizeof value;
  if (RegQueryValueExW(key, TEXT("TouchTimeout"), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) ==
      ERROR_SUCCESS) {
    if (type == REG_DWORD && value >= kShortestTimeout && value <= kLongestTimeout) {
      timeout = value;
    } else {
      NKDbgPrintfW(TEXT("calibkit: HKLM\\Software\\Calibkit \"TouchTimeout\" is not a dword from %u to %u (ms); ")
                       TEXT("the screens wait %u ms for a touch\r\n"),
                   kShortestTimeout, kLongestTimeout, timeout);
    }
  }
  RegCloseKey(key);
  return timeout;
}

const char *OrientationName(PanelOrientation orientation) {
  switch (orientation) {
    case PanelOrientation::kAsMounted: return "as mounted";
    case PanelOrientation::kHalfTurn: return "turned half round";
    case PanelOrientation::kQuarterTurnLeft: return "turned a quarter to the left";
    case PanelOrientation::kQuarterTurnRight: return "turned a quarter to the right";
  }
  return "";
}

std::string Pixels(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// How far a check point may be off, in pixels: HKLM\Software\Calibkit "CheckBound" (a dword;
// 0 turns a run's check point off), else 2 % of the screen's diagonal, at least 8 pixels.
constexpr DWORD kLargestBound = 65535;

double CheckBound(int width, int height) {
  const double fallback = DefaultCheckBound(width, height);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\Calibkit"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return fallback;
  double bound = fallback;
  DWORD value = 0, type = 0, size = sizeof value;
  if (RegQueryValueExW(key, TEXT("CheckBound"), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) ==
      ERROR_SUCCESS) {
    if (type == REG_DWORD && size == sizeof value && value <= kLargestBound)
      bound = value;
    else
      NKDbgPrintfW(TEXT("calibkit: HKLM\\Software\\Calibkit \"CheckBound\" is not a dword from 0 to %u (pixels); ")
                       TEXT("a check point may be %a pixels off\r\n"),
                   kLargestBound, Pixels(fallback).c_str());
  }
  RegCloseKey(key);
  return bound;
}

// A list of targets and their errors, five to a line.
std::string ErrorLines(const std::vector<ScreenPoint> &targets, const std::vector<double> &errors) {
  std::string lines;
  for (size_t i = 0; i < targets.size(); ++i) {
    lines += "(" + std::to_string(targets[i].x) + "," + std::to_string(targets[i].y) + ") " + Pixels(errors[i]);
    lines += (i % 5 == 4 || i + 1 == targets.size()) ? "\n" : "    ";
  }
  return lines;
}

class CalibrationRun {
 public:
  // points: 2, 5 or 25 for a calibration, 0 for a check run.
  CalibrationRun(const char *name, int points, HINSTANCE instance, LPCWSTR port, HWND owner)
      : name_(name),
        points_(points),
        instance_(instance),
        owner_(owner),
        port_(Narrow(port != nullptr ? port : u"")),
        portName_(port) {}

  // The whole run; true when new corners were stored (a check run: when its errors are within the
  // bound).
  bool Execute() {
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    bound_ = CheckBound(width, height);
    std::vector<ScreenPoint> targets;
    if (points_ == 0) {
      targets = CheckRunTargets(width, height);
      // A check run is a check whatever the runs do: without a bound it takes the default one.
      if (bound_ == 0) bound_ = DefaultCheckBound(width, height);
    } else {
      targets = CalibrationTargets(points_, width, height);
      if (bound_ > 0) targets.push_back(RunCheckPoint(width, height));
    }
    CalibrationScreen screen(targets, width, height, TouchTimeout(), owner_);
    if (!GetDevicePanelParameter(&settings_)) {
      screen.ShowPage(instance_, NotStarted("The driver's settings cannot be read: nothing was changed",
                                            "Its device NRV1: stays busy or fails, or neither it nor the driver's "
                                            "registry key exists; the debug output says which. Calibrate again "
                                            "once the driver runs."));
      return false;
    }
    // Started before the stop, so that no moment of the run leaves a stopped driver unwatched.
    guard_.Start(name_);
    switch (CallDriver(name_, IOCTL_NRV_STOP, "IOCTL_NRV_STOP", nullptr, 0, nullptr, 0)) {
      case DeviceOutcome::kDone:
        driverStopped_ = true;
        break;
      case DeviceOutcome::kNotPublished:
        guard_.Stop();
        break;  // the driver is not loaded, so the port is free and there is nothing to restart
      case DeviceOutcome::kFailed:
        guard_.Stop();
        screen.ShowPage(instance_, NotStarted("The driver cannot be stopped: nothing was changed",
                                              "It must let go of the controller's port during a calibration; the "
                                              "debug output says why it did not. Calibrate again."));
        return false;
    }
    const char *failedCall = "";
    DWORD error = 0;
    if (portName_ == nullptr || portName_[0] == 0 ||
        !reader_.Open(portName_, settings_.BaudRate, &failedCall, &error)) {
      NKDbgPrintfW(TEXT("calibkit: %a: the controller's port %a cannot be used: %a failed with error %u\r\n"), name_,
                   port_.c_str(), failedCall, error);
      StartDriver();
      screen.ShowPage(instance_,
                      NotStarted("The controller's port " + port_ + " cannot be used: nothing was changed",
                                 std::string(failedCall) + " on \"" + port_ + "\" failed with error " +
                                     std::to_string(error) +
                                     ".\nThe port's name is \"COMM\" in HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik: "
                                     "correct it, or connect the controller, then calibrate again.\nThe driver was "
                                     "started again."));
      return false;
    }
    // The pointer's absolute positions span the virtual screen, of which this screen may be one
    // monitor: the targets are fitted where they lie on it.
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    std::vector<ScreenPoint> onVirtualScreen;
    for (const ScreenPoint &target : targets) onVirtualScreen.push_back(ScreenPoint{target.x - left, target.y - top});
    screen.RunTargets(instance_, reader_, [&](const std::vector<RawReading> &readings) {
      return points_ == 0 ? ConcludeCheck(readings, targets, onVirtualScreen)
                          : Conclude(readings, targets, onVirtualScreen);
    });
    // Left, timed out, or ended with the program: the port goes back to the driver all the same.
    reader_.Close();
    StartDriver();
    return finished_;
  }

 private:
  CalibrationPage NotStarted(const std::string &title, const std::string &body) {
    return CalibrationPage{u"Calibration not finished", Widen(title), Widen(body)};
  }

  // The port goes back to the driver before the result shows.
  void GiveBack() {
    reader_.Close();
    StartDriver();
  }

  // A check run's end: the errors of its points through the stored corners; nothing is changed.
  CalibrationPage ConcludeCheck(const std::vector<RawReading> &readings, const std::vector<ScreenPoint> &targets,
                                const std::vector<ScreenPoint> &onVirtualScreen) {
    GiveBack();
    const CalibrationCorners corners{settings_.LLX, settings_.LLY, settings_.URX, settings_.URY};
    if (!HasCalibration(corners)) {
      NKDbgPrintfW(TEXT("calibkit: %a: there is no calibration to check\r\n"), name_);
      return CalibrationPage{u"Calibration check", Widen("There is no calibration to check"),
                             Widen("The driver has no calibration corners stored: touches land where the "
                                   "controller's raw position puts them.\nCalibrate.")};
    }
    std::vector<double> errors;
    double largest = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
      errors.push_back(CheckError(corners, readings[i], onVirtualScreen[i], GetSystemMetrics(SM_CXVIRTUALSCREEN),
                                  GetSystemMetrics(SM_CYVIRTUALSCREEN)));
      largest = std::max(largest, errors.back());
    }
    finished_ = largest <= bound_;
    NKDbgPrintfW(TEXT("calibkit: %a: checked the stored corners: largest error %a pixels (bound %a)\r\n"), name_,
                 Pixels(largest).c_str(), Pixels(bound_).c_str());
    const std::string body = "Error at each check point, in pixels:\n" + ErrorLines(targets, errors) +
                             "Largest error: " + Pixels(largest) + " pixels; the bound is " + Pixels(bound_) +
                             " pixels.\nNothing was changed.";
    return CalibrationPage{u"Calibration check",
                           Widen(finished_ ? "The calibration is right: the touches land on their targets"
                                           : "The touch is " + Pixels(largest) + " pixels off: calibrate again"),
                           Widen(body)};
  }

  CalibrationPage Conclude(const std::vector<RawReading> &readings, const std::vector<ScreenPoint> &targets,
                           const std::vector<ScreenPoint> &onVirtualScreen) {
    const int virtualWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN), virtualHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    const size_t fitted = static_cast<size_t>(points_);
    const CalibrationFit fit =
        FitCalibration(std::vector<ScreenPoint>(onVirtualScreen.begin(), onVirtualScreen.begin() + fitted),
                       std::vector<RawReading>(readings.begin(), readings.begin() + fitted), virtualWidth,
                       virtualHeight);
    auto giveBack = [&] { GiveBack(); };
    if (fit.result == CalibrationFit::Result::kMirrored) {
      NKDbgPrintfW(TEXT("calibkit: %a: the panel is mirrored; nothing was stored\r\n"), name_);
      giveBack();
      return NotStarted("The panel is mirrored: nothing was stored",
                        "One axis of the panel runs the other way on its own, which the driver's calibration cannot "
                        "represent: it holds a panel as mounted, turned half round or turned a quarter.\nThe corners "
                        "were left as they were. Correct the panel's mounting or wiring, then calibrate again.");
    }
    if (fit.result != CalibrationFit::Result::kFitted) {
      NKDbgPrintfW(TEXT("calibkit: %a: the touches did not move with the targets; nothing was stored\r\n"), name_);
      giveBack();
      return NotStarted("The touches did not move with the targets: nothing was stored",
                        "On at least one axis the readings stayed the same from target to target, so no "
                        "calibration fits them.\nThe corners were left as they were. Check the panel and its cable, "
                        "then calibrate again.");
    }
    const std::vector<ScreenPoint> fittedTargets(targets.begin(), targets.begin() + fitted);
    std::string errorLines = "Error at each target after the fit, in pixels:\n" + ErrorLines(fittedTargets, fit.errors);
    // The check point, which the fit did not use, through the new corners.
    if (targets.size() > fitted) {
      const double error =
          CheckError(fit.corners, readings[fitted], onVirtualScreen[fitted], virtualWidth, virtualHeight);
      const std::string where = "(" + std::to_string(targets[fitted].x) + "," + std::to_string(targets[fitted].y) + ")";
      errorLines += "Check point " + where + ": " + Pixels(error) + " pixels; the bound is " + Pixels(bound_) +
                    " pixels.\n";
      if (error > bound_) {
        NKDbgPrintfW(TEXT("calibkit: %a: the check point is %a pixels off, more than %a; nothing was stored\r\n"),
                     name_, Pixels(error).c_str(), Pixels(bound_).c_str());
        giveBack();
        return NotStarted("The check point is " + Pixels(error) + " pixels off: nothing was stored",
                          errorLines + "Largest error at the fitted targets: " + Pixels(fit.largestError) +
                              " pixels.\nThe corners were left as they were. Calibrate again, touching the "
                              "centre of each target.");
      }
    }
    // Settings changed while the targets were up (another program, nrvctl) are kept: the record
    // is read again now and only its corners change.
    tagParameter updated = settings_;
    if (!GetDevicePanelParameter(&updated)) {
      NKDbgPrintfW(TEXT("calibkit: %a: the driver's settings cannot be read again before storing; nothing was ")
                       TEXT("stored\r\n"),
                   name_);
      giveBack();
      return NotStarted("The driver's settings cannot be read again: nothing was stored",
                        "The new corners are stored into the settings as they are when the run ends, and reading "
                        "them failed; the debug output says why.\nThe corners were left as they were. Calibrate "
                        "again.");
    }
    updated.LLX = fit.corners.LLX;
    updated.LLY = fit.corners.LLY;
    updated.URX = fit.corners.URX;
    updated.URY = fit.corners.URY;
    const bool stored = SetDevicePanelParameter(&updated) != 0;
    giveBack();
    if (!stored) {
      return NotStarted("The new corners could not be stored",
                        "The driver did not take them; the debug output says why.\nThe corners were left as they "
                        "were. Calibrate again.");
    }
    finished_ = true;
    std::string body = errorLines;
    body += "Largest error: " + Pixels(fit.largestError) + " pixels.\nStored corners: LLX=" +
            std::to_string(fit.corners.LLX) + " LLY=" + std::to_string(fit.corners.LLY) +
            " URX=" + std::to_string(fit.corners.URX) + " URY=" + std::to_string(fit.corners.URY) + ", the panel " +
            OrientationName(fit.orientation) + ".";
    NKDbgPrintfW(TEXT("calibkit: %a: stored LLX=%d LLY=%d URX=%d URY=%d, largest error %a pixels\r\n"), name_,
                 static_cast<int>(fit.corners.LLX), static_cast<int>(fit.corners.LLY),
                 static_cast<int>(fit.corners.URX), static_cast<int>(fit.corners.URY),
                 Pixels(fit.largestError).c_str());
    return CalibrationPage{u"Calibration result", Widen("Calibration finished: the new corners are stored"),
                           Widen(body)};
  }

  // Starts the driver again when this run stopped it, once.
  void StartDriver() {
    if (!driverStopped_) return;
    driverStopped_ = false;
    if (CallDriver(name_, IOCTL_NRV_START, "IOCTL_NRV_START", nullptr, 0, nullptr, 0) != DeviceOutcome::kDone) {
      // The driver stays stopped for now (its device busy, say): the guard stays too, and tries
      // again once this program ends, so the touch comes back at the latest then.
      NKDbgPrintfW(TEXT("calibkit: %a: the driver could not be started again; calguard starts it when this ")
                       TEXT("program ends, or \"nrvctl start\" does now\r\n"),
                   name_);
      guard_.Detach();
      return;
    }
    // Stopped only after the start: a guard that outlives a killed program by this much starts
    // a running driver once more, which is harmless; the other order could leave it stopped.
    guard_.Stop();
  }

  const char *name_;
  int points_;
  HINSTANCE instance_;
  HWND owner_;
  std::string port_;
  LPCWSTR portName_;
  tagParameter settings_{};
  TouchReader reader_;
  DriverGuard guard_;
  bool driverStopped_ = false;
  double bound_ = 0;       // how far a check point may be off; 0: a run has none
  bool finished_ = false;  // new corners stored, or a check run's errors within the bound
};

int Calibrate(const char *name, int points, HINSTANCE instance, LPCWSTR port, HWND notify, UINT doneMessage) {
  bool finished = false;
  {
    CalibrationRun run(name, points, instance, port, notify);
    finished = run.Execute();
  }
  // A run that the program's end cut short (a WM_QUIT waits) tells nobody: there is no one left
  // to ask whether to calibrate again.
  MSG quit;
  const bool ending = PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
  if (doneMessage != 0 && notify != nullptr && !ending) PostMessageW(notify, doneMessage, finished ? 1 : 0, 0);
  return finished ? 1 : 0;
}

}  // namespace

extern "C" int Do2PtsCalibration(HINSTANCE instance, LPCWSTR port, DWORD, int, HWND notify, UINT doneMessage) {
  return Calibrate("Do2PtsCalibration", 2, instance, port, notify, doneMessage);
}

extern "C" int Do5PtsCalibration(HINSTANCE instance, LPCWSTR port, DWORD, int, HWND notify, UINT doneMessage) {
  return Calibrate("Do5PtsCalibration", 5, instance, port, notify, doneMessage);
}

extern "C" int Do25PtsCalibration(HINSTANCE instance, LPCWSTR port, DWORD, int, HWND notify, UINT doneMessage) {
  return Calibrate("Do25PtsCalibration", 25, instance, port, notify, doneMessage);
}

extern "C" int DoCalibrationCheck(HINSTANCE instance, LPCWSTR port, DWORD, int, HWND notify, UINT doneMessage) {
  return Calibrate("DoCalibrationCheck", 0, instance, port, notify, doneMessage);
}
