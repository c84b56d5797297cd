// The fit. The driver maps each axis as pointer = 8192 + 49152 * (u - LL) / (UR - LL), with u the
// raw reading / 32 and integer arithmetic, then inverts y; so each screen axis is a straight line
// in one raw axis, and the corners follow from a line's slope a and intercept b as
// UR - LL = 49152 / a and LL = (8192 - b) / a. Lines are fitted in the pointer space before the
// inversion of y. The real-valued corners are then rounded, each to the neighbouring integer
// that puts the readings nearest their targets through the driver's own arithmetic.
#include "calibration_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using calibration_mapping::kScaleShift;
using calibration_mapping::kTargetSpan;

// Corners further out than this mean a slope near zero, not a panel.
constexpr double kLargestCorner = 1e6;

struct Line {
  bool valid = false;
  double slope = 0, intercept = 0;
  double squaredError = std::numeric_limits<double>::infinity();
};

Line FitLine(const std::vector<double> &u, const std::vector<double> &target) {
  const size_t n = u.size();
  double meanU = 0, meanT = 0;
  for (size_t i = 0; i < n; ++i) meanU += u[i], meanT += target[i];
  meanU /= static_cast<double>(n), meanT /= static_cast<double>(n);
  double varU = 0, cov = 0;
  for (size_t i = 0; i < n; ++i) {
    varU += (u[i] - meanU) * (u[i] - meanU);
    cov += (u[i] - meanU) * (target[i] - meanT);
  }
  Line line;
  if (varU <= 0 || cov == 0) return line;
  line.slope = cov / varU;
  line.intercept = meanT - line.slope * meanU;
  line.squaredError = 0;
  for (size_t i = 0; i < n; ++i) {
    double miss = line.slope * u[i] + line.intercept - target[i];
    line.squaredError += miss * miss;
  }
  line.valid = true;
  return line;
}

// The integer corner pair of one axis nearest the line, checked through the driver's arithmetic.
bool AxisCorners(const Line &line, const std::vector<double> &u, const std::vector<double> &target, LONG *low,
                 LONG *high) {
  const double span = 49152.0 / line.slope;
  const double first = (8192.0 - line.intercept) / line.slope;
  const double second = first + span;
  if (!std::isfinite(first) || !std::isfinite(second) || std::fabs(first) > kLargestCorner ||
      std::fabs(second) > kLargestCorner)
    return false;
  double best = std::numeric_limits<double>::infinity();
  for (double lo = std::floor(first) - 1; lo <= std::ceil(first) + 1; ++lo) {
    for (double hi = std::floor(second) - 1; hi <= std::ceil(second) + 1; ++hi) {
      const int64_t d = static_cast<int64_t>(hi) - static_cast<int64_t>(lo);
      if (d == 0 || (d > 0) != (span > 0)) continue;
      double squared = 0;
      for (size_t i = 0; i < u.size(); ++i) {
        const int64_t t = (static_cast<int64_t>(u[i]) - static_cast<int64_t>(lo)) * kTargetSpan;
        double miss = static_cast<double>(calibration_mapping::MapAxis(t, d)) - target[i];
        squared += miss * miss;
      }
      if (squared < best) {
        best = squared;
        *low = static_cast<LONG>(lo);
        *high = static_cast<LONG>(hi);
      }
    }
  }
  return std::isfinite(best);
}

}  // namespace

void MappedPixel(const CalibrationCorners &corners, RawReading reading, int width, int height, double *x, double *y) {
  DWORD px = reading.x, py = reading.y;
  MapThroughCorners(corners, px, py);
  py = 65535 - py;
  *x = PointerToPixel(px, width);
  *y = PointerToPixel(py, height);
}

CalibrationFit FitCalibration(const std::vector<ScreenPoint> &targets, const std::vector<RawReading> &readings,
                              int width, int height) {
  CalibrationFit fit;
  if (targets.size() < 2 || readings.size() != targets.size()) return fit;
  // Readings in the driver's scale (raw / 32), targets in the pointer space before y is inverted.
  std::vector<double> ux, uy, tx, ty;
  for (size_t i = 0; i < targets.size(); ++i) {
    ux.push_back(static_cast<double>(readings[i].x >> kScaleShift));
    uy.push_back(static_cast<double>(readings[i].y >> kScaleShift));
    tx.push_back(PixelToPointer(targets[i].x, width));
    ty.push_back(65535.0 - PixelToPointer(targets[i].y, height));
  }
  // Along: the screen's x follows the controller's x. Exchanged: it follows the controller's y.
  const Line alongX = FitLine(ux, tx), alongY = FitLine(uy, ty);
  const Line exchangedX = FitLine(uy, tx), exchangedY = FitLine(ux, ty);
  const bool alongValid = alongX.valid && alongY.valid;
  const bool exchangedValid = exchangedX.valid && exchangedY.valid;
  if (!alongValid && !exchangedValid) return fit;
  // With two targets both fit exactly; then only one of them can be held by the driver's corners.
  const bool alongHeld = alongValid && (alongX.slope > 0) == (alongY.slope > 0);
  const bool exchangedHeld = exchangedValid && (exchangedX.slope > 0) != (exchangedY.slope > 0);
  const double alongError = alongX.squaredError + alongY.squaredError;
  const double exchangedError = exchangedX.squaredError + exchangedY.squaredError;
  // Fits that are equally good (as both are exact for two targets) leave the choice to the one
  // the corners can hold.
  const bool tie = std::fabs(alongError - exchangedError) <= 1e-9 * std::max({1.0, alongError, exchangedError});
  bool exchanged;
  if (alongValid && exchangedValid && !tie) {
    exchanged = exchangedError < alongError;
  } else {
    exchanged = exchangedValid && exchangedHeld && !(alongValid && alongHeld);
  }
  if (exchanged ? !exchangedHeld : !alongHeld) {
    fit.result = CalibrationFit::Result::kMirrored;
    return fit;
  }

  CalibrationCorners corners{};
  bool found = exchanged ? AxisCorners(exchangedX, uy, tx, &corners.LLY, &corners.URY) &&
                               AxisCorners(exchangedY, ux, ty, &corners.LLX, &corners.URX)
                         : AxisCorners(alongX, ux, tx, &corners.LLX, &corners.URX) &&
                               AxisCorners(alongY, uy, ty, &corners.LLY, &corners.URY);
  if (!found) return fit;
  const Line &screenX = exchanged ? exchangedX : alongX;
  // As mounted, the screen's x rises with the controller's x; turned half round it falls. Turned a
  // quarter, the screen's x follows the controller's y: rising for a turn to the right, falling
  // for one to the left.
  const bool xRises = screenX.slope > 0;
  if (!exchanged) {
    fit.orientation = xRises ? PanelOrientation::kAsMounted : PanelOrientation::kHalfTurn;
  } else {
    fit.orientation = xRises ? PanelOrientation::kQuarterTurnRight : PanelOrientation::kQuarterTurnLeft;
  }
  fit.result = CalibrationFit::Result::kFitted;
  fit.corners = corners;
  for (size_t i = 0; i < targets.size(); ++i) {
    double x = 0, y = 0;
    MappedPixel(corners, readings[i], width, height, &x, &y);
    double error = std::hypot(x - targets[i].x, y - targets[i].y);
    fit.errors.push_back(error);
    fit.largestError = std::max(fit.largestError, error);
  }
  return fit;
}

namespace {

// The least-squares affine map screen = M * reading + c of one screen axis, from pairs whose
// readings do not lie on one line; false when they do.
bool FitAffine(const std::vector<RawReading> &readings, const std::vector<double> &screen, double coefficients[3]) {
  // Normal equations of [x y 1] * coefficients = screen, solved by Cramer's rule.
  double a[3][3] = {}, b[3] = {};
  for (size_t i = 0; i < readings.size(); ++i) {
    const double row[3] = {static_cast<double>(readings[i].x), static_cast<double>(readings[i].y), 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) a[r][c] += row[r] * row[c];
      b[r] += row[r] * screen[i];
    }
  }
  auto determinant = [](const double m[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  };
  const double whole = determinant(a);
  // Readings on one line leave the system singular; a tiny determinant relative to the spread
  // of the readings is the same case blurred by noise.
  double spread = 0;
  for (int r = 0; r < 2; ++r) spread = std::max(spread, a[r][r]);
  if (!(std::fabs(whole) > 1e-9 * spread * spread * static_cast<double>(readings.size()))) return false;
  for (int c = 0; c < 3; ++c) {
    double replaced[3][3];
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k) replaced[r][k] = k == c ? b[r] : a[r][k];
    coefficients[c] = determinant(replaced) / whole;
  }
  return true;
}

bool OnOneLine(const std::vector<ScreenPoint> &points) {
  for (size_t k = 2; k < points.size(); ++k) {
    const int64_t cross = static_cast<int64_t>(points[1].x - points[0].x) * (points[k].y - points[0].y) -
                          static_cast<int64_t>(points[1].y - points[0].y) * (points[k].x - points[0].x);
    if (cross != 0) return false;
  }
  return true;
}

// 1/32 of the raw range, 65536.
constexpr DWORD kSamePlace = 2048;

}  // namespace

bool TouchAgrees(const std::vector<ScreenPoint> &targets, const std::vector<RawReading> &accepted, ScreenPoint target,
                 RawReading reading, int width, int height) {
  for (const RawReading &earlier : accepted) {
    const DWORD dx = earlier.x > reading.x ? earlier.x - reading.x : reading.x - earlier.x;
    const DWORD dy = earlier.y > reading.y ? earlier.y - reading.y : reading.y - earlier.y;
    if (dx < kSamePlace && dy < kSamePlace) return false;
  }
  const std::vector<ScreenPoint> taken(targets.begin(), targets.begin() + static_cast<long>(accepted.size()));
  if (accepted.size() < 3 || OnOneLine(taken)) return true;
  std::vector<double> screenX, screenY;
  for (const ScreenPoint &point : taken) {
    screenX.push_back(point.x);
    screenY.push_back(point.y);
  }
  double mapX[3], mapY[3];
  if (!FitAffine(accepted, screenX, mapX) || !FitAffine(accepted, screenY, mapY)) return true;
  const double x = mapX[0] * reading.x + mapX[1] * reading.y + mapX[2];
  const double y = mapY[0] * reading.x + mapY[1] * reading.y + mapY[2];
  return std::fabs(x - target.x) <= width / 10.0 && std::fabs(y - target.y) <= height / 10.0;
}
