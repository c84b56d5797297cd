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
// Gains for cutoffs in steps of 1/16 up to 16 (a gain of 0.94, a lag of 0.06 reports), read with
// linear interpolation, which is quicker than the division on the path from report to report.
constexpr int kCutoffStepShift = 12;
constexpr int kGainSteps = 256;
constexpr int64_t kCutoffLimit = int64_t{kGainSteps} << kCutoffStepShift;

struct Gains {
  uint32_t at[kGainSteps + 1];
  constexpr Gains() : at() {
    for (int64_t i = 0; i <= kGainSteps; ++i) {
      const int64_t cutoff = i << kCutoffStepShift;
      at[i] = static_cast<uint32_t>(cutoff * kOne / (kOne + cutoff));
    }
  }
};
constexpr Gains kGains;
// The mean of the first readings of a touch takes 1/n of the n-th; the smoothing's own gain is
// above that from the 101st reading on.
constexpr DWORD kMeanReadings = 128;

struct Reciprocals {
  uint32_t of[kMeanReadings];
  constexpr Reciprocals() : of() {
    for (DWORD n = 1; n < kMeanReadings; ++n) of[n] = static_cast<uint32_t>(kOne / n);
  }
};
constexpr Reciprocals kReciprocals;

bool Near(DWORD ax, DWORD ay, DWORD bx, DWORD by) {
  return std::llabs(static_cast<int64_t>(ax) - bx) <= kJumpRaw && std::llabs(static_cast<int64_t>(ay) - by) <= kJumpRaw;
}

int32_t Step(int32_t value, int64_t target, int64_t gain) {
  return static_cast<int32_t>(value + (((target - value) * gain) >> 16));
}

DWORD Rounded(int32_t estimate) { return static_cast<DWORD>((estimate + (1 << (kPositionShift - 1))) >> kPositionShift); }


using State = TouchFilter::State;

// The gain for a speed: cutoff / (1 + cutoff).
int64_t GainFor(const State &s, int64_t speed) {
  const int64_t cutoff = std::min(kRestCutoff + ((speed * s.speedScale) >> kPositionShift), kCutoffLimit - 1);
  const int64_t step = cutoff >> kCutoffStepShift;
  const int64_t within = cutoff & ((1 << kCutoffStepShift) - 1);
  const int64_t low = kGains.at[step], high = kGains.at[step + 1];
  return low + (((high - low) * within) >> kCutoffStepShift);
}

void Restart(State &s, const TouchReport &raw) {
  s.x = {static_cast<int32_t>(raw.x << kPositionShift), 0};
  s.y = {static_cast<int32_t>(raw.y << kPositionShift), 0};
  s.readings = 1;
  s.gain = GainFor(s, 0);
  s.lastX = s.outX = raw.x;
  s.lastY = s.outY = raw.y;
}

void Smooth(State &s, const TouchReport &raw) {
  const int64_t targetX = static_cast<int64_t>(raw.x) << kPositionShift;
  const int64_t targetY = static_cast<int64_t>(raw.y) << kPositionShift;
  // Until the touch has lasted as many readings as the smoothing spans, the estimate is their
  // mean: the first reading's error would otherwise linger for a hundred reports.
  int64_t gain = s.gain;
  if (s.readings < kMeanReadings) {
    ++s.readings;
    if (s.readings < kMeanReadings) gain = std::max<int64_t>(gain, kReciprocals.of[s.readings]);
  }
  s.x.speed = Step(s.x.speed, targetX - s.x.estimate, kSpeedGain);
  s.y.speed = Step(s.y.speed, targetY - s.y.estimate, kSpeedGain);
  s.x.estimate = Step(s.x.estimate, targetX, gain);
  s.y.estimate = Step(s.y.estimate, targetY, gain);
  // The speed seen up to this reading sets the next one's gain, off the path from one estimate to
  // the next, which every report waits on.
  s.gain = GainFor(s, std::max(std::abs(s.x.speed), std::abs(s.y.speed)));
  s.lastX = raw.x;
  s.lastY = raw.y;
  s.outX = Rounded(s.x.estimate);
  s.outY = Rounded(s.y.estimate);
}

}  // namespace

TouchFilter::TouchFilter(DWORD noise) {
  state_.speedScale = kCutoffPerNoise * kOne / (4 * static_cast<int64_t>(std::clamp<DWORD>(noise, 1, kFilterNoiseMax)));
}

void TouchFilter::Filter(TouchReport &report) {
  State &s = state_;
  if (!report.touching) {
    if (s.inTouch) {
      report.x = s.outX;
      report.y = s.outY;
    }
    s.inTouch = s.holding = false;
    return;
  }
  if (!s.inTouch) {
    s.inTouch = true;
    Restart(s, report);
    return;
  }
  if (s.holding) {
    s.holding = false;
    // Two readings agree on the new place: the finger is there, and the smoothing starts afresh
    // rather than gliding over from the old one.
    if (Near(report.x, report.y, s.heldX, s.heldY)) {
      Restart(s, report);
      return;
    }
  }
  if (!Near(report.x, report.y, s.lastX, s.lastY)) {
    s.holding = true;
    s.heldX = report.x;
    s.heldY = report.y;
  } else {
    Smooth(s, report);
  }
  report.x = s.outX;
  report.y = s.outY;
}

void ConfigureTouchFilter(const TouchFilterSetting &setting) {
  touchFilterStage.on = setting.smooth;
  touchFilterStage.filter = TouchFilter(setting.noise);
}
