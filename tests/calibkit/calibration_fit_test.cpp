// The calibration fit over touchsim's panel models: each panel touched at the calibration's
// targets gives readings (the median of nine noisy reports, as a touch gives), the fit's corners
// go through the driver's own mapping, and touches all over the screen must land where they were
// made. Every orientation the driver can hold is fitted, with offsets, scales and noise, for 2,
// 5 and 25 points; every mirrored panel is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "calibration_fit.h"
#include "calibration_targets.h"
#include "check_points.h"
#include "panel_model.h"

namespace {

constexpr int kWidth = 800, kHeight = 480;

// The raw reading of a touch at pixel (x, y): the per-axis median of nine reports.
RawReading Touch(const touchsim::PanelModel &panel, double x, double y, std::mt19937 &random) {
  std::vector<DWORD> xs, ys;
  for (int i = 0; i < 9; ++i) {
    uint16_t cx = 0, cy = 0;
    panel.Map(std::lround(PixelToPointer(x, kWidth)), std::lround(PixelToPointer(y, kHeight)), random, &cx, &cy);
    xs.push_back(static_cast<DWORD>(cx) << 2);
    ys.push_back(static_cast<DWORD>(cy) << 2);
  }
  std::nth_element(xs.begin(), xs.begin() + 4, xs.end());
  std::nth_element(ys.begin(), ys.begin() + 4, ys.end());
  return RawReading{xs[4], ys[4]};
}

struct Panel {
  const char *name;
  double left, right, bottom, top;
  bool swap;
};

touchsim::PanelModel Model(const Panel &panel, int noise) {
  touchsim::PanelModel model;
  model.xAtLeft = panel.left, model.xAtRight = panel.right;
  model.yAtBottom = panel.bottom, model.yAtTop = panel.top;
  model.swapAxes = panel.swap;
  model.noise = noise;
  return model;
}

// Offsets and scales: the full range, an inset panel, and one using only part of the range.
const Panel kMountings[] = {
    {"full range", 0, 16383, 0, 16383, false},
    {"inset and offset", 900, 15200, 700, 15900, false},
    {"small and off centre", 3000, 11000, 5000, 12000, false},
};

// Each orientation as the panel's edges give it. Unswapped, an axis runs the other way when its
// two ends are exchanged; swapped, the controller's x follows the screen's height.
struct Orientation {
  const char *name;
  bool flipX, flipY, swap;
  PanelOrientation expected;
};

const Orientation kHeld[] = {
    {"as mounted", false, false, false, PanelOrientation::kAsMounted},
    {"half turn", true, true, false, PanelOrientation::kHalfTurn},
    {"quarter turn, x reversed", true, false, true, PanelOrientation::kQuarterTurnRight},
    {"quarter turn, y reversed", false, true, true, PanelOrientation::kQuarterTurnLeft},
};

const Orientation kMirrored[] = {
    {"x reversed alone", true, false, false, PanelOrientation::kAsMounted},
    {"y reversed alone", false, true, false, PanelOrientation::kAsMounted},
    {"exchanged alone", false, false, true, PanelOrientation::kAsMounted},
    {"exchanged with both reversed", true, true, true, PanelOrientation::kAsMounted},
};

Panel Orient(Panel panel, const Orientation &orientation) {
  if (orientation.flipX) std::swap(panel.left, panel.right);
  if (orientation.flipY) std::swap(panel.bottom, panel.top);
  panel.swap = orientation.swap;
  return panel;
}

// Where touches over a 10 x 10 grid land through the fitted corners: the largest error, in pixels.
double LargestGridError(const CalibrationFit &fit, const touchsim::PanelModel &panel, std::mt19937 &random) {
  double largest = 0;
  for (int row = 0; row < 10; ++row) {
    for (int column = 0; column < 10; ++column) {
      const double x = (column + 0.5) * kWidth / 10, y = (row + 0.5) * kHeight / 10;
      double landedX = 0, landedY = 0;
      MappedPixel(fit.corners, Touch(panel, x, y, random), kWidth, kHeight, &landedX, &landedY);
      largest = std::max(largest, std::hypot(landedX - x, landedY - y));
    }
  }
  return largest;
}

TEST(CalibrationFit, EveryHeldOrientationIsFittedWithinTwoPixels) {
  for (int points : {2, 5, 25}) {
    const std::vector<ScreenPoint> targets = CalibrationTargets(points, kWidth, kHeight);
    for (const Panel &mounting : kMountings) {
      for (const Orientation &orientation : kHeld) {
        for (int noise : {0, 16}) {
          SCOPED_TRACE(std::to_string(points) + " points, " + mounting.name + ", " + orientation.name + ", noise " +
                       std::to_string(noise));
          const touchsim::PanelModel panel = Model(Orient(mounting, orientation), noise);
          std::mt19937 random(7);
          std::vector<RawReading> readings;
          for (const ScreenPoint &target : targets) readings.push_back(Touch(panel, target.x, target.y, random));
          CalibrationFit fit = FitCalibration(targets, readings, kWidth, kHeight);
          ASSERT_EQ(fit.result, CalibrationFit::Result::kFitted);
          // Two points cannot tell the quarter turns apart from each other's mirror image, but
          // the driver's rule picks the one its corners hold.
          if (points > 2) {
            EXPECT_EQ(fit.orientation, orientation.expected);
          }
          ASSERT_EQ(fit.errors.size(), targets.size());
          EXPECT_LE(fit.largestError, 2.0);
          EXPECT_LE(LargestGridError(fit, panel, random), 2.5) << "touches away from the targets land wrong";
        }
      }
    }
  }
}

// The 2-point corners are the readings themselves in the driver's scale, up to the fraction of a
// pixel between each target and the driver's fixed point it stands on.
TEST(CalibrationFit, TwoPointCornersAreTheReadingsInTheDriversScale) {
  const std::vector<ScreenPoint> targets = CalibrationTargets(2, kWidth, kHeight);
  const std::vector<RawReading> readings = {{300 * 32 + 5, 400 * 32 + 9}, {1700 * 32 + 2, 1600 * 32}};
  CalibrationFit fit = FitCalibration(targets, readings, kWidth, kHeight);
  ASSERT_EQ(fit.result, CalibrationFit::Result::kFitted);
  EXPECT_NEAR(fit.corners.LLX, 300, 4);
  EXPECT_NEAR(fit.corners.LLY, 400, 4);
  EXPECT_NEAR(fit.corners.URX, 1700, 4);
  EXPECT_NEAR(fit.corners.URY, 1600, 4);
  EXPECT_LE(fit.largestError, 0.5);
}

TEST(CalibrationFit, EveryMirroredPanelIsRefused) {
  for (int points : {5, 25}) {
    const std::vector<ScreenPoint> targets = CalibrationTargets(points, kWidth, kHeight);
    for (const Panel &mounting : kMountings) {
      for (const Orientation &orientation : kMirrored) {
        SCOPED_TRACE(std::to_string(points) + " points, " + mounting.name + ", " + orientation.name);
        const touchsim::PanelModel panel = Model(Orient(mounting, orientation), 16);
        std::mt19937 random(11);
        std::vector<RawReading> readings;
        for (const ScreenPoint &target : targets) readings.push_back(Touch(panel, target.x, target.y, random));
        EXPECT_EQ(FitCalibration(targets, readings, kWidth, kHeight).result, CalibrationFit::Result::kMirrored);
      }
    }
  }
}

TEST(CalibrationFit, ReadingsThatDoNotMoveCannotBeFitted) {
  const std::vector<ScreenPoint> targets = CalibrationTargets(5, kWidth, kHeight);
  const std::vector<RawReading> same(5, RawReading{30000, 30000});
  EXPECT_EQ(FitCalibration(targets, same, kWidth, kHeight).result, CalibrationFit::Result::kFlat);
  EXPECT_EQ(FitCalibration(targets, std::vector<RawReading>(4, RawReading{1, 1}), kWidth, kHeight).result,
            CalibrationFit::Result::kFlat)
      << "a reading short";
}

TEST(CalibrationTargets, StandWhereTheyAreDocumented) {
  auto text = [](const std::vector<ScreenPoint> &points) {
    std::string joined;
    for (const ScreenPoint &p : points) joined += "(" + std::to_string(p.x) + "," + std::to_string(p.y) + ")";
    return joined;
  };
  EXPECT_EQ(text(CalibrationTargets(2, 800, 480)), "(100,420)(700,60)");
  EXPECT_EQ(text(CalibrationTargets(5, 800, 480)), "(100,60)(700,60)(100,420)(700,420)(400,240)");
  const std::vector<ScreenPoint> grid = CalibrationTargets(25, 800, 480);
  ASSERT_EQ(grid.size(), 25u);
  EXPECT_EQ(text({grid[0], grid[1], grid[4], grid[5], grid[12], grid[24]}),
            "(100,60)(250,60)(700,60)(100,150)(400,240)(700,420)");
  EXPECT_TRUE(CalibrationTargets(3, 800, 480).empty());
  // The check points, and how far one may be off: 2 % of the diagonal, at least 8 pixels.
  EXPECT_EQ(text({RunCheckPoint(800, 480)}), "(560,360)");
  EXPECT_EQ(text(CheckRunTargets(800, 480)), "(240,120)(560,360)(200,336)");
  EXPECT_NEAR(DefaultCheckBound(800, 480), 18.66, 0.01);
  EXPECT_EQ(DefaultCheckBound(320, 240), 8.0);
}

// The misclick rule on noisy panels of every held orientation: a touch within 2 % of the screen
// of its target is never refused, one a quarter of the screen off always is once three targets
// off one line have readings, and a touch on an earlier target's place always is.
TEST(TouchAgreement, NearTouchesPassAndClearMissesAreRefused) {
  for (int points : {5, 25}) {
    const std::vector<ScreenPoint> targets = CalibrationTargets(points, kWidth, kHeight);
    for (const Panel &mounting : kMountings) {
      for (const Orientation &orientation : kHeld) {
        SCOPED_TRACE(std::to_string(points) + " points, " + mounting.name + ", " + orientation.name);
        const touchsim::PanelModel panel = Model(Orient(mounting, orientation), 16);
        std::mt19937 random(3);
        std::vector<RawReading> accepted;
        for (size_t i = 0; i < targets.size(); ++i) {
          const ScreenPoint target = targets[i];
          for (double dx : {-0.02, 0.02}) {
            for (double dy : {-0.02, 0.02}) {
              RawReading near = Touch(panel, target.x + dx * kWidth, target.y + dy * kHeight, random);
              EXPECT_TRUE(TouchAgrees(targets, accepted, target, near, kWidth, kHeight)) << "target " << i;
            }
          }
          if (!accepted.empty()) {
            RawReading again = Touch(panel, targets[i - 1].x, targets[i - 1].y, random);
            EXPECT_FALSE(TouchAgrees(targets, accepted, target, again, kWidth, kHeight))
                << "target " << i << ": the previous target touched again";
          }
          const bool predicts = i >= 3 && !(points == 25 && i <= 5);
          if (predicts) {
            const double offX = target.x < kWidth / 2 ? 0.25 : -0.25;
            RawReading off = Touch(panel, target.x + offX * kWidth, target.y, random);
            EXPECT_FALSE(TouchAgrees(targets, accepted, target, off, kWidth, kHeight))
                << "target " << i << ": a touch a quarter of the screen off";
          }
          accepted.push_back(Touch(panel, target.x, target.y, random));
        }
      }
    }
  }
}

}  // namespace
