// The calibration mapping, shared by the driver, which maps every report through it, and the
// calibration library, which chooses the corners that put the touched readings nearest their
// targets through this same arithmetic.
//
// The corners are in raw position / 32 (0..2047): the first corner maps to 8192 (1/8 of the
// pointer space) and the second to 57344 (7/8) on each axis, so the 1536 steps of scale between
// them (3/4 of 2048) span the 49152 pointer units between the targets. When the two spans have
// opposite signs the panel's axes are exchanged. The y inversion that follows (the controller's
// vertical axis runs upwards) is not part of the mapping.
//
// The arithmetic is done in 64 bits: corner values the registry can hold would overflow 32-bit
// products and quotients. For every input whose 32-bit result was defined, the result is the same.
#pragma once

#include <cstdint>

#include <windows.h>

struct CalibrationCorners {
  LONG LLX, LLY, URX, URY;
};

namespace calibration_mapping {

constexpr int64_t kScaleShift = 5;     // raw position / 32
constexpr int64_t kTargetOffset = 256;  // 1/8 of the 2048-step scale
constexpr int64_t kTargetSpan = 1536;   // 3/4 of it

// One axis: (t / d + 256) * 32, limited to the pointer space. Division truncates toward zero.
inline DWORD MapAxis(int64_t t, int64_t d) {
  int64_t mapped = (t / d + kTargetOffset) << kScaleShift;
  if (mapped > 65535) return 65535;
  if (mapped < 0) return 0;
  return static_cast<DWORD>(mapped);
}

}  // namespace calibration_mapping

// Whether the corners hold a calibration: a zero span on either axis means none.
inline bool HasCalibration(const CalibrationCorners &corners) {
  return corners.URX != corners.LLX && corners.URY != corners.LLY;
}

// Whether the corners exchange the axes: the controller's y then drives the pointer's x.
inline bool ExchangesAxes(const CalibrationCorners &corners) {
  return (static_cast<int64_t>(corners.URX) - corners.LLX > 0) != (static_cast<int64_t>(corners.URY) - corners.LLY > 0);
}

// Maps x and y (raw, 0..65532) in place into 0..65535. Without a calibration they are left
// unchanged.
inline void MapThroughCorners(const CalibrationCorners &corners, DWORD &x, DWORD &y) {
  using namespace calibration_mapping;
  const int64_t llx = corners.LLX, lly = corners.LLY, urx = corners.URX, ury = corners.URY;
  if (!HasCalibration(corners)) return;
  const int64_t dX = urx - llx;
  const int64_t dY = ury - lly;
  const int64_t tx = ((x >> kScaleShift) - llx) * kTargetSpan;
  const int64_t ty = ((y >> kScaleShift) - lly) * kTargetSpan;
  if (ExchangesAxes(corners)) {
    x = MapAxis(ty, dY);
    y = MapAxis(tx, dX);
  } else {
    x = MapAxis(tx, dX);
    y = MapAxis(ty, dY);
  }
}
