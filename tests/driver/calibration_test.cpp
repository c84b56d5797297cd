// The calibration mapping: fixed points, both orientations, the limits of the pointer space, and
// corner values far outside the usual range.
#include "calibration.h"

#include <gtest/gtest.h>

#include <climits>

#include "driver_state.h"

namespace {

struct Corners {
  LONG llx, lly, urx, ury;
};

struct MappingCase {
  const char *name;
  Corners corners;
  DWORD x, y;
  DWORD expectedX, expectedY;
};

void SetCorners(const Corners &corners) {
  DriverSettings settings{};
  settings.LLX = corners.llx;
  settings.LLY = corners.lly;
  settings.URX = corners.urx;
  settings.URY = corners.ury;
  driverState.settings.Assign(settings);
}

class Calibration : public ::testing::TestWithParam<MappingCase> {
 protected:
  void TearDown() override { SetCorners({0, 0, 0, 0}); }
};

TEST_P(Calibration, MapsThePositionAsExpected) {
  const MappingCase &c = GetParam();
  SetCorners(c.corners);
  DWORD x = c.x, y = c.y;
  ApplyCalibration(x, y);
  EXPECT_EQ(x, c.expectedX);
  EXPECT_EQ(y, c.expectedY);
}

const Corners kIdentity{256, 256, 1792, 1792};
const Corners kExchanged{1792, 256, 256, 1792};

INSTANTIATE_TEST_SUITE_P(
    Cases, Calibration,
    ::testing::Values(
        MappingCase{"UncalibratedLeavesThePosition", {0, 0, 0, 0}, 65532, 12345, 65532, 12345},
        MappingCase{"ZeroHorizontalSpanLeavesThePosition", {100, 200, 100, 900}, 4000, 5000, 4000, 5000},
        MappingCase{"ZeroVerticalSpanLeavesThePosition", {100, 200, 900, 200}, 4000, 5000, 4000, 5000},
        MappingCase{"IdentityKeepsMultiplesOf32", kIdentity, 32 * 1000, 32 * 77, 32 * 1000, 32 * 77},
        MappingCase{"IdentityMapsRawZeroToZero", kIdentity, 0, 0, 0, 0},
        MappingCase{"IdentityMapsTheTopRawValueTo65504", kIdentity, 65532, 65532, 65504, 65504},
        MappingCase{"FirstCornerMapsToOneEighth", {300, 400, 1700, 1600}, 300 * 32, 400 * 32, 8192, 8192},
        MappingCase{"SecondCornerMapsToSevenEighths", {300, 400, 1700, 1600}, 1700 * 32, 1600 * 32, 57344, 57344},
        MappingCase{"ReversedSpansMapCornersTheSameWay", {1700, 1600, 300, 400}, 1700 * 32, 1600 * 32, 8192, 8192},
        MappingCase{"ExchangedAxes", kExchanged, 8192, 8192, 8192, 57344},
        MappingCase{"ExchangedFirstCorner", kExchanged, 1792 * 32, 256 * 32, 8192, 8192},
        MappingCase{"ExchangedSecondCorner", kExchanged, 256 * 32, 1792 * 32, 57344, 57344},
        MappingCase{"BeyondTheFirstCornerEndsAtZero", {1000, 1000, 1800, 1800}, 0, 0, 0, 0},
        MappingCase{"BeyondTheSecondCornerEndsAtTheTop", {256, 256, 1700, 1792}, 65532, 0, 65535, 0},
        MappingCase{"NegativeQuotientsTruncateTowardZero", {10, 0, 1547, 1536}, 9 * 32, 0, 8192, 8192}),
    [](const auto &info) { return std::string(info.param.name); });

// Corner values the registry can hold but a 32-bit computation could not: products and
// quotients far outside 32 bits, and the quotient of the most negative value by -1.
TEST(CalibrationExtremes, ExtremeCornersStayWithinThePointerSpace) {
  const LONG extremes[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, 2047, INT_MAX - 1, INT_MAX};
  for (LONG llx : extremes)
    for (LONG urx : extremes)
      for (LONG lly : extremes)
        for (LONG ury : extremes)
          for (DWORD raw : {0u, 8192u, 65532u}) {
            SetCorners({llx, lly, urx, ury});
            DWORD x = raw, y = 65532 - raw;
            ApplyCalibration(x, y);
            ASSERT_LE(x, 65535u);
            ASSERT_LE(y, 65535u);
          }
  SetCorners({0, 0, 0, 0});
}

TEST(CalibrationExtremes, WideSpansGiveTheExactQuotient) {
  // dX = 2^31 - 1 + 2^31: the span alone overflows 32 bits.
  SetCorners({INT_MIN, 0, INT_MAX, 2048});
  DWORD x = 0, y = 2048 * 32;
  ApplyCalibration(x, y);
  // tx = (0 - INT_MIN) * 1536, divided by 2^32 - 1, is 768: (768 + 256) * 32.
  EXPECT_EQ(x, 32768u);
  EXPECT_EQ(y, static_cast<DWORD>((2048 * 1536 / 2048 + 256) * 32));
  SetCorners({0, 0, 0, 0});
}

}  // namespace
