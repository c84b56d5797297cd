// Gesture scripts for touchsim that play a user calibrating: wait for the calibration screen,
// touch each target in turn (held for nine reports, then lifted), wait for the screen to go.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Pixels of a width x height screen as touchsim's screen points (0..65535), as the pointer
// outputs place the pointer space on the screen.
long ScreenPointOf(int pixel, int size);

// One round: await the screen, touch `targets` (pixels) in order, await the screen's end.
std::string CalibrationRound(const std::vector<std::pair<int, int>> &targets, int width = 800, int height = 480);

// The targets of a 2-, 5- or 25-point calibration on a width x height screen, then its check point.
std::vector<std::pair<int, int>> TargetsOf(int points, int width = 800, int height = 480);

// The three targets of a check run.
std::vector<std::pair<int, int>> CheckTargetsOf(int width = 800, int height = 480);

}  // namespace testing_support
