// Where the calibration targets stand, in screen pixels of a W x H screen, and how screen pixels
// and the pointer space (0..65535 on each axis across the whole screen) correspond.
#pragma once

#include <vector>

#include <windows.h>

struct ScreenPoint {
  int x;
  int y;
};

// The targets of a 2-, 5- or 25-point calibration, in the order they are asked for:
//   2:  (W/8, 7H/8), (7W/8, H/8): the driver's two fixed points
//   5:  (W/8, H/8), (7W/8, H/8), (W/8, 7H/8), (7W/8, 7H/8), (W/2, H/2)
//   25: the 5 x 5 grid at 1/8, 5/16, 1/2, 11/16 and 7/8 of each axis, row by row from the top,
//       left to right
// Empty for any other number of points.
std::vector<ScreenPoint> CalibrationTargets(int points, int width, int height);

// A pointer-space coordinate as a pixel of a screen `size` pixels across, and back; the pointer
// space's 0 and 65535 are the screen's first and last pixels, as the pointer outputs place them.
double PointerToPixel(double pointer, int size);
double PixelToPointer(double pixel, int size);
