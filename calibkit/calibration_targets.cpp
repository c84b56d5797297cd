// The calibration targets. Each division truncates, so the 2-point targets are exactly the pixels
// that the driver's fixed points (1/8 and 7/8 of the pointer space) land on, within one pixel.
#include "calibration_targets.h"

std::vector<ScreenPoint> CalibrationTargets(int points, int width, int height) {
  const int w = width, h = height;
  switch (points) {
    case 2:
      return {{w / 8, 7 * h / 8}, {7 * w / 8, h / 8}};
    case 5:
      return {{w / 8, h / 8}, {7 * w / 8, h / 8}, {w / 8, 7 * h / 8}, {7 * w / 8, 7 * h / 8}, {w / 2, h / 2}};
    case 25: {
      // 1/8, 5/16, 1/2, 11/16 and 7/8, in sixteenths.
      const int sixteenths[5] = {2, 5, 8, 11, 14};
      std::vector<ScreenPoint> grid;
      for (int row : sixteenths)
        for (int column : sixteenths) grid.push_back({column * w / 16, row * h / 16});
      return grid;
    }
    default:
      return {};
  }
}

double PointerToPixel(double pointer, int size) { return pointer * (size - 1) / 65535.0; }

double PixelToPointer(double pixel, int size) { return size > 1 ? pixel * 65535.0 / (size - 1) : 0; }
