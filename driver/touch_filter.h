// The touch filter: an optional stage between the framed report and the calibration mapping that
// keeps a single wild reading of any size from the pointer and smooths a held touch without
// slowing a drag.
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

  // Takes one report in raw position and puts the filtered position in its place, at once: the
  // touch state is kept, and a lift is placed where the pointer is.
  void Filter(TouchReport &report);

  // What the filter carries from one report to the next.
  struct State {
    int64_t speedScale = 0;    // turns the speed (raw units * 256 a report) into smoothing, per noise
    int64_t gate = 0;          // how far a reading may land from where the touch leads, raw units
    bool inTouch = false;      // a touching report came since the last lift
    bool holding = false;      // heldX, heldY is a reading off the touch's way, waiting for the next
    DWORD heldX = 0, heldY = 0;
    DWORD lastX = 0, lastY = 0;  // the last reading let through
    int32_t stepX = 0, stepY = 0;  // how far it moved a report before it, when more than noise
    int64_t nextX = 0, nextY = 0;  // where the next reading is due: the last one moved on by steps
    DWORD dropped = 0;             // readings dropped since it
    DWORD outX = 0, outY = 0;    // the position last given
    int64_t gain = 0;            // the smoothing's gain for the next reading, 1 = 2^16
    DWORD readings = 0;          // readings since the touch began or jumped, counted up to 128
    FilterAxis x, y;
  };

 private:
  State state_;
};

// The stage the read thread runs: configured at each driver start, before the read thread runs.
struct TouchFilterStage {
  bool on = false;
  TouchFilter filter;
};

extern TouchFilterStage touchFilterStage;

// Sets the stage from the setting: on with a fresh filter, or off.
void ConfigureTouchFilter(const TouchFilterSetting &setting);
