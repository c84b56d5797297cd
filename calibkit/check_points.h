// The check points: targets that no fit uses, so that their errors through a calibration's corners
// tell whether it is right. A run asks for one after its fitted targets; a check run asks for
// three and changes nothing.
#pragma once

#include <vector>

#include "calibration_fit.h"
#include "calibration_targets.h"

// A run's check point on a W x H screen: (0.70 W, 0.75 H), where no fitted target stands.
ScreenPoint RunCheckPoint(int width, int height);

// A check run's targets: (0.30 W, 0.25 H), (0.70 W, 0.75 H), (0.25 W, 0.70 H), none on a fitted
// target's place and not on one line.
std::vector<ScreenPoint> CheckRunTargets(int width, int height);

// How far a check point may be off when no bound is configured: 2 % of the screen's diagonal, at
// least 8 pixels.
double DefaultCheckBound(int width, int height);

// The distance, in pixels, between `target` and where the driver puts `reading` through `corners`
// on a `width` x `height` screen (the pointer space's screen, on which `target` is given).
double CheckError(const CalibrationCorners &corners, RawReading reading, ScreenPoint target, int width, int height);
