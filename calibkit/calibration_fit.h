// The calibration fit: from the controller's raw readings of touches on known targets to the
// integer corners LLX, LLY, URX, URY that, through the driver's own mapping, put the readings
// nearest their targets. Knows nothing of screens or ports.
#pragma once

#include <vector>

#include <windows.h>

#include "calibration_mapping.h"
#include "calibration_targets.h"

// A touch's raw reading: the report's position scaled to 16 bits (0..65532), before any mapping.
struct RawReading {
  DWORD x;
  DWORD y;
};

// How the panel lies, as the driver's mapping can hold it: with the controller's axes along the
// screen's (as mounted, or turned half round), or exchanged (turned a quarter either way).
enum class PanelOrientation { kAsMounted, kHalfTurn, kQuarterTurnLeft, kQuarterTurnRight };

struct CalibrationFit {
  enum class Result {
    kFitted,    // corners found
    kMirrored,  // one axis runs the other way alone: no corners can represent the panel
    kFlat,      // the readings do not move with the targets on some axis: nothing to fit
  };
  Result result = Result::kFlat;
  PanelOrientation orientation = PanelOrientation::kAsMounted;
  CalibrationCorners corners{0, 0, 0, 0};
  std::vector<double> errors;  // kFitted: per target, pixels between it and where its reading lands
  double largestError = 0;
};

// Fits `readings` (one per target, in the targets' order) on a `width` x `height` screen. A least-
// squares line per axis is fitted both with the controller's axes along the screen's and
// exchanged; the closer fit decides, and the signs of its slopes tell which of the four
// orientations the panel has, or that it is mirrored.
CalibrationFit FitCalibration(const std::vector<ScreenPoint> &targets, const std::vector<RawReading> &readings,
                              int width, int height);

// Where the driver puts a raw reading with `corners`: its mapping, the y inversion, and the
// pointer space on a `width` x `height` screen, in pixels.
void MappedPixel(const CalibrationCorners &corners, RawReading reading, int width, int height, double *x, double *y);

// Whether a touch's `reading` for `target` agrees with the readings accepted so far (`accepted`,
// for the first targets of `targets`): false for a touch that clearly misses its target.
//  - Once three targets not on one line have readings, those readings predict, by a least-squares
//    affine map from readings to the screen, where the touch lands; it misses when that is more
//    than a tenth of the screen's width or height away from its target.
//  - Any touch misses when it lands within 1/32 of the controller's range on both axes of a
//    reading already taken: the same place touched twice.
bool TouchAgrees(const std::vector<ScreenPoint> &targets, const std::vector<RawReading> &accepted, ScreenPoint target,
                 RawReading reading, int width, int height);
