// The touch filter. A reading that jumps farther than any finger moves between two reports is held
// for one report and dropped unless the next reading lands near it. The others pass through a
// low-pass whose cutoff rises with the touch's speed (the "1 euro" filter of Casiez et al., CHI
// 2012), in fixed point: a still finger is averaged over about a hundred reports, a moving one
// follows within a report.
#include "touch_filter.h"

#include <algorithm>
#include <cstdlib>

TouchFilterStage touchFilterStage;

namespace {

// Fixed point: positions and speeds carry 8 fraction bits, gains 16.
constexpr int kPositionShift = 8;
constexpr int64_t kOne = 1 << 16;
// A reading more than 1024 controller units (raw * 4) from the last one on either axis is a jump:
// a sixteenth of the panel within one report of 5 ms is faster than a finger drags.
constexpr int64_t kJumpRaw = 1024 * 4;
// The speed is itself smoothed over about a hundred reports (gain 0.0099), so that noise does not
// pass for motion.
constexpr int64_t kSpeedGain = 649;
// The cutoff, as a share of the report rate times 2 pi: 0.01 at rest, rising by 6 for each noise
// amplitude of speed per report.
constexpr int64_t kRestCutoff = 655;
constexpr int64_t kCutoffPerNoise = 6;
constexpr int64_t kCutoffLimit = kOne * 256;

bool Near(DWORD ax, DWORD ay, DWORD bx, DWORD by) {
  return std::llabs(static_cast<int64_t>(ax) - bx) <= kJumpRaw && std::llabs(static_cast<int64_t>(ay) - by) <= kJumpRaw;
}

int32_t Step(int32_t value, int64_t target, int64_t gain) {
  return static_cast<int32_t>(value + (((target - value) * gain) >> 16));
}

DWORD Rounded(int32_t estimate) { return static_cast<DWORD>((estimate + (1 << (kPositionShift - 1))) >> kPositionShift); }

}  // namespace

TouchFilter::TouchFilter(DWORD noise)
    : speedScale_(kCutoffPerNoise * kOne / (4 * static_cast<int64_t>(std::clamp<DWORD>(noise, 1, kFilterNoiseMax)))) {}

void TouchFilter::Restart(const TouchReport &raw) {
  x_ = {static_cast<int32_t>(raw.x << kPositionShift), 0};
  y_ = {static_cast<int32_t>(raw.y << kPositionShift), 0};
  readings_ = 1;
  lastX_ = outX_ = raw.x;
  lastY_ = outY_ = raw.y;
}

void TouchFilter::Smooth(const TouchReport &raw) {
  const int64_t targetX = static_cast<int64_t>(raw.x) << kPositionShift;
  const int64_t targetY = static_cast<int64_t>(raw.y) << kPositionShift;
  x_.speed = Step(x_.speed, targetX - x_.estimate, kSpeedGain);
  y_.speed = Step(y_.speed, targetY - y_.estimate, kSpeedGain);
  const int64_t speed = std::max(std::abs(x_.speed), std::abs(y_.speed));
  const int64_t cutoff = std::min(kRestCutoff + ((speed * speedScale_) >> kPositionShift), kCutoffLimit);
  int64_t gain = cutoff * kOne / (kOne + cutoff);
  // Until the touch has lasted as many readings as the smoothing spans, the estimate is their
  // mean: the first reading's error would otherwise linger for a hundred reports.
  if (readings_ < MAXDWORD) ++readings_;
  if (gain * readings_ < kOne) gain = kOne / readings_;
  x_.estimate = Step(x_.estimate, targetX, gain);
  y_.estimate = Step(y_.estimate, targetY, gain);
  lastX_ = raw.x;
  lastY_ = raw.y;
  outX_ = Rounded(x_.estimate);
  outY_ = Rounded(y_.estimate);
}

TouchReport TouchFilter::Filter(const TouchReport &raw) {
  if (!raw.touching) {
    TouchReport lift = raw;
    if (inTouch_) {
      lift.x = outX_;
      lift.y = outY_;
    }
    inTouch_ = holding_ = false;
    return lift;
  }
  if (!inTouch_) {
    inTouch_ = true;
    Restart(raw);
    return raw;
  }
  if (holding_) {
    holding_ = false;
    // Two readings agree on the new place: the finger is there, and the smoothing starts afresh
    // rather than gliding over from the old one.
    if (Near(raw.x, raw.y, heldX_, heldY_)) {
      Restart(raw);
      return raw;
    }
  }
  if (!Near(raw.x, raw.y, lastX_, lastY_)) {
    holding_ = true;
    heldX_ = raw.x;
    heldY_ = raw.y;
  } else {
    Smooth(raw);
  }
  return {true, outX_, outY_};
}

void ConfigureTouchFilter(const TouchFilterSetting &setting) {
  touchFilterStage.on = setting.smooth;
  touchFilterStage.filter = TouchFilter(setting.noise);
}
