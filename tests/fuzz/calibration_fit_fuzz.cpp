// Fuzzes the calibration fit: readings of any values for the 2, 5 or 25 targets of any screen from
// 1 x 1 to 8192 x 8192 pixels. Built to trap on any division by zero, integer or floating. Fitted
// corners must be a calibration the driver applies, with the orientation they stand for, and the
// driver's own mapping (ApplyCalibration on the live settings) must put every target's reading
// inside the screen, exactly where the fit's reported errors say. The check of each touch against
// the readings before it runs on every prefix of the readings as well.
//
// Input: a byte choosing the number of targets (2, 5, 25 by its value modulo 3), the width and
// the height as little-endian 32-bit words (each modulo 8192, plus 1), then a 32-bit x and y for
// each target in turn; missing bytes read as 0.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "calibration.h"
#include "calibration_fit.h"
#include "calibration_targets.h"
#include "driver_state.h"
#include "fuzz_input.h"

namespace {

constexpr int kPoints[] = {2, 5, 25};
constexpr DWORD kLargestSide = 8192;

[[noreturn]] void Violation(const char *what, int points, int width, int height, const CalibrationCorners &corners) {
  std::fprintf(stderr, "calibration_fit_fuzz: %s (%d targets on %dx%d, LLX=%d LLY=%d URX=%d URY=%d)\n", what, points,
               width, height, static_cast<int>(corners.LLX), static_cast<int>(corners.LLY),
               static_cast<int>(corners.URX), static_cast<int>(corners.URY));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  const int points = kPoints[input.Byte() % 3];
  const int width = static_cast<int>(input.Word() % kLargestSide + 1);
  const int height = static_cast<int>(input.Word() % kLargestSide + 1);
  const std::vector<ScreenPoint> targets = CalibrationTargets(points, width, height);
  std::vector<RawReading> readings;
  for (size_t i = 0; i < targets.size(); ++i) {
    const DWORD x = input.Word();
    readings.push_back(RawReading{x, input.Word()});
  }

  for (size_t taken = 0; taken < readings.size(); ++taken) {
    const std::vector<RawReading> accepted(readings.begin(), readings.begin() + static_cast<long>(taken));
    TouchAgrees(targets, accepted, targets[taken], readings[taken], width, height);
  }

  const CalibrationFit fit = FitCalibration(targets, readings, width, height);
  if (fit.result != CalibrationFit::Result::kFitted) return 0;
  const CalibrationCorners &corners = fit.corners;
  auto violation = [&](const char *what) { Violation(what, points, width, height, corners); };
  if (!HasCalibration(corners)) violation("fitted corners that the driver takes for no calibration");
  const bool quarterTurn = fit.orientation == PanelOrientation::kQuarterTurnLeft ||
                           fit.orientation == PanelOrientation::kQuarterTurnRight;
  if (ExchangesAxes(corners) != quarterTurn) violation("corners that exchange the axes for another orientation");
  if (fit.errors.size() != targets.size()) violation("not one error per target");

  driverState.settings.LLX = corners.LLX;
  driverState.settings.LLY = corners.LLY;
  driverState.settings.URX = corners.URX;
  driverState.settings.URY = corners.URY;
  double largest = 0;
  for (size_t i = 0; i < targets.size(); ++i) {
    DWORD x = readings[i].x, y = readings[i].y;
    ApplyCalibration(x, y);
    if (x > 65535 || y > 65535) violation("a target's reading mapped outside the pointer space");
    const double pixelX = PointerToPixel(x, width), pixelY = PointerToPixel(65535 - y, height);
    if (!(pixelX >= 0 && pixelX <= width - 1 && pixelY >= 0 && pixelY <= height - 1))
      violation("a target's reading mapped outside the screen");
    const double error = std::hypot(pixelX - targets[i].x, pixelY - targets[i].y);
    if (!(std::fabs(fit.errors[i] - error) <= 1e-6 * (1 + error)))
      violation("a target's error other than where the driver puts its reading");
    largest = std::max(largest, error);
  }
  if (!(std::fabs(fit.largestError - largest) <= 1e-6 * (1 + largest))) violation("a largest error that is not one");
  return 0;
}
