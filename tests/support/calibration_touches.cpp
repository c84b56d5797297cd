// touchsim scripts for calibration runs.
#include "calibration_touches.h"

#include <cmath>

namespace testing_support {

long ScreenPointOf(int pixel, int size) { return std::lround(pixel * 65535.0 / (size - 1)); }

std::string CalibrationRound(const std::vector<std::pair<int, int>> &targets, int width, int height) {
  std::string script = "await \"Touch calibration\" 20000\nwait 200\n";
  for (const auto &[x, y] : targets)
    script += "hold " + std::to_string(ScreenPointOf(x, width)) + " " + std::to_string(ScreenPointOf(y, height)) +
              " 9\nlift\nwait 60\n";
  return script + "gone \"Touch calibration\" 30000\n";
}

std::vector<std::pair<int, int>> TargetsOf(int points, int width, int height) {
  const int w = width, h = height;
  std::vector<std::pair<int, int>> targets;
  if (points == 2) {
    targets = {{w / 8, 7 * h / 8}, {7 * w / 8, h / 8}};
  } else if (points == 5) {
    targets = {{w / 8, h / 8}, {7 * w / 8, h / 8}, {w / 8, 7 * h / 8}, {7 * w / 8, 7 * h / 8}, {w / 2, h / 2}};
  } else {
    for (int row : {2, 5, 8, 11, 14})
      for (int column : {2, 5, 8, 11, 14}) targets.push_back({column * w / 16, row * h / 16});
  }
  targets.push_back({7 * w / 10, 3 * h / 4});  // the check point
  return targets;
}

std::vector<std::pair<int, int>> CheckTargetsOf(int width, int height) {
  return {{3 * width / 10, height / 4}, {7 * width / 10, 3 * height / 4}, {width / 4, 7 * height / 10}};
}

}  // namespace testing_support
