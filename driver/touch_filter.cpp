// The touch filter. A reading that lands farther from where the touch leads (its last reading, moved
// on by its last step) than the panel's noise explains is held for one report, and then let
// through only when the next reading shows it was on the way (it lies near the middle of its two
// neighbours, as in a fast drag) or confirms it (it lies near it, as after a jump); otherwise it
// was a bounce of the contact, whatever its size, and is dropped. The others pass through a
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
// A still finger's readings stray by up to `noise` either way, so two of them differ by up to two
// amplitudes, and a reading lies up to four from where two earlier ones lead. Past that a reading
// is off the touch's way. In raw units (controller units * 4).
constexpr int64_t kGateNoises = 4;
// A step of two noise amplitudes or less is a still finger's, and leads nowhere.
constexpr int64_t kStepNoises = 2;
// After this many readings in a row off the touch's way, the touch is taken up where it is now.
constexpr DWORD kMostDropped = 3;
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

using State = TouchFilter::State;

bool Near(const State &s, int64_t ax, int64_t ay, int64_t bx, int64_t by) {
  return std::llabs(ax - bx) <= s.gate && std::llabs(ay - by) <= s.gate;
}

// Whether a reading lies where the touch leads: its last reading let through, moved on by its
// last step for each report since (readings dropped meanwhile count).
bool OnTheWay(const State &s, DWORD x, DWORD y) { return Near(s, x, y, s.nextX, s.nextY); }

// Remembers the reading let through and its step a report, when that is more than noise.
void Advance(State &s, DWORD x, DWORD y) {
  const int64_t limit = s.gate * kStepNoises / kGateNoises;
  int64_t dx = int64_t{x} - s.lastX, dy = int64_t{y} - s.lastY;
  // Divided only after a drop: a division costs more than the rest of a report's filtering.
  if (s.dropped != 0) {
    dx /= s.dropped + 1;
    dy /= s.dropped + 1;
    s.dropped = 0;
  }
  // Without a branch: whether a noisy drag's step is more than noise is a coin toss.
  const int64_t moved = static_cast<int64_t>((std::llabs(dx) > limit) | (std::llabs(dy) > limit));
  s.stepX = static_cast<int32_t>(dx * moved);
  s.stepY = static_cast<int32_t>(dy * moved);
  s.lastX = x;
  s.lastY = y;
  s.nextX = int64_t{x} + s.stepX;
  s.nextY = int64_t{y} + s.stepY;
}

int32_t Step(int32_t value, int64_t target, int64_t gain) {
  return static_cast<int32_t>(value + (((target - value) * gain) >> 16));
}

DWORD Rounded(int32_t estimate) { return static_cast<DWORD>((estimate + (1 << (kPositionShift - 1))) >> kPositionShift); }


// The gain for a speed: cutoff / (1 + cutoff).
[[gnu::always_inline]] inline int64_t GainFor(const State &s, int64_t speed) {
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
  s.stepX = s.stepY = 0;
  s.nextX = raw.x;
  s.nextY = raw.y;
  s.dropped = 0;
}

// Inlined where it is called: it is the step every report of a touch takes, and a call costs a
// third of it.
[[gnu::always_inline]] inline void Smooth(State &s, const TouchReport &raw) {
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
  Advance(s, raw.x, raw.y);
  s.outX = Rounded(s.x.estimate);
  s.outY = Rounded(s.y.estimate);
}

}  // namespace

TouchFilter::TouchFilter(DWORD noise) {
  const int64_t amplitude = 4 * static_cast<int64_t>(std::clamp<DWORD>(noise, 1, kFilterNoiseMax));
  state_.speedScale = kCutoffPerNoise * kOne / amplitude;
  state_.gate = kGateNoises * amplitude;
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
    if (Near(s, report.x, report.y, s.heldX, s.heldY)) {
      Restart(s, report);
      return;
    }
    // The held reading lies on the way from the last one let through to this one: the touch
    // moved faster than its last step said, and the reading is taken, late by one report.
    // Otherwise it was a bounce, and is dropped.
    const int64_t reports = s.dropped + 2;
    const int64_t wayX = s.lastX + (int64_t{report.x} - s.lastX) * (reports - 1) / reports;
    const int64_t wayY = s.lastY + (int64_t{report.y} - s.lastY) * (reports - 1) / reports;
    if (Near(s, s.heldX, s.heldY, wayX, wayY)) {
      TouchReport held = report;
      held.x = s.heldX;
      held.y = s.heldY;
      Smooth(s, held);
    } else if (++s.dropped >= kMostDropped) {
      Restart(s, report);
      return;
    } else {
      s.nextX += s.stepX;
      s.nextY += s.stepY;
    }
  }
  if (!OnTheWay(s, report.x, report.y)) {
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
