// The calibration mapping. The corners are in raw position / 32 (0..2047): the first corner maps
// to 8192 (1/8 of the pointer space) and the second to 57344 (7/8) on each axis, so the 1536
// steps of scale between them (3/4 of 2048) span the 49152 pointer units between the targets.
// When the two spans have opposite signs the panel's axes are exchanged.
//
// The arithmetic is done in 64 bits: corner values the registry can hold would overflow 32-bit
// products and quotients. For every input whose 32-bit result was defined, the result is the same.
#include "calibration.h"

#include <cstdint>

#include "driver_state.h"

namespace {

const int64_t kScaleShift = 5;     // raw position / 32
const int64_t kTargetOffset = 256;  // 1/8 of the 2048-step scale
const int64_t kTargetSpan = 1536;   // 3/4 of it

// One axis: (t / d + 256) * 32, limited to the pointer space. Division truncates toward zero.
DWORD MapAxis(int64_t t, int64_t d) {
  int64_t mapped = (t / d + kTargetOffset) << kScaleShift;
  if (mapped > 65535) return 65535;
  if (mapped < 0) return 0;
  return static_cast<DWORD>(mapped);
}

}  // namespace

void ApplyCalibration(DWORD &x, DWORD &y) {
  const int64_t llx = driverState.settings.LLX;
  const int64_t lly = driverState.settings.LLY;
  const int64_t urx = driverState.settings.URX;
  const int64_t ury = driverState.settings.URY;
  const int64_t dX = urx - llx;
  const int64_t dY = ury - lly;
  if (dX == 0 || dY == 0) return;

  const int64_t x32 = x >> kScaleShift;
  const int64_t y32 = y >> kScaleShift;
  const int64_t tx = (x32 - llx) * kTargetSpan;
  const int64_t ty = (y32 - lly) * kTargetSpan;

  if ((dX > 0) == (dY > 0)) {
    x = MapAxis(tx, dX);
    y = MapAxis(ty, dY);
  } else {
    x = MapAxis(ty, dY);
    y = MapAxis(tx, dX);
  }
}
