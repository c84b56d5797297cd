// The touch filter: an optional stage between the framed report and the calibration mapping that
// keeps a single wild reading from the pointer and smooths a held touch without slowing a drag.
// It works on the raw position (controller units * 4) and is off unless the "Filter" value asks.
#pragma once

#include <cstdint>

#include <windows.h>

#include "touch_filter_setting.h"
#include "touch_report.h"

// One touch axis of the smoothing: its estimate and its speed, both in raw units * 256.
struct FilterAxis {
  int32_t estimate = 0;
  int32_t speed = 0;
};

class TouchFilter {
 public:
  // noise: how far a reading of a still finger strays, in controller units (1..256).
  explicit TouchFilter(DWORD noise = kFilterNoiseDefault);

  // Takes one report in raw position and returns the report to map in its place: the same touch
  // state, always at once, at the filtered position. A lift is placed where the pointer is.
  TouchReport Filter(const TouchReport &raw);

 private:
  void Restart(const TouchReport &raw);
  void Smooth(const TouchReport &raw);

  int64_t speedScale_;      // turns the speed (raw units * 256 a report) into smoothing, per noise
  bool inTouch_ = false;    // a touching report came since the last lift
  bool holding_ = false;    // heldX_, heldY_ is a jump waiting for the next reading to confirm it
  DWORD heldX_ = 0, heldY_ = 0;
  DWORD lastX_ = 0, lastY_ = 0;  // the last reading let through
  DWORD outX_ = 0, outY_ = 0;    // the position last given
  DWORD readings_ = 0;           // readings smoothed since the touch began or jumped, saturating
  FilterAxis x_, y_;
};

// The stage the read thread runs: configured at each driver start, before the read thread runs.
struct TouchFilterStage {
  bool on = false;
  TouchFilter filter;
};

extern TouchFilterStage touchFilterStage;

// Sets the stage from the setting: on with a fresh filter, or off.
void ConfigureTouchFilter(const TouchFilterSetting &setting);
