// The check points' places, the default bound and a check point's error.
#include "check_points.h"

#include <algorithm>
#include <cmath>

ScreenPoint RunCheckPoint(int width, int height) { return {7 * width / 10, 3 * height / 4}; }

std::vector<ScreenPoint> CheckRunTargets(int width, int height) {
  return {{3 * width / 10, height / 4}, RunCheckPoint(width, height), {width / 4, 7 * height / 10}};
}

double DefaultCheckBound(int width, int height) {
  return std::max(8.0, 0.02 * std::hypot(static_cast<double>(width), static_cast<double>(height)));
}

double CheckError(const CalibrationCorners &corners, RawReading reading, ScreenPoint target, int width, int height) {
  double x = 0, y = 0;
  MappedPixel(corners, reading, width, height, &x, &y);
  return std::hypot(x - target.x, y - target.y);
}
