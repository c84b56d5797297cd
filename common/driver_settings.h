// DriverSettings: the driver's twelve-word settings record. It is the driver's live record, the
// buffer of the settings control codes, and the panel-parameter record the utility exchanges, so
// its layout is fixed: twelve little-endian 32-bit words, 48 bytes.
#pragma once

#include <cstddef>

#include <windows.h>

struct DriverSettings {
  DWORD reserved;  // never loaded, saved or copied; 0 in the live record
  LONG LLX;        // calibration corners, in raw position / 32 (0..2047)
  LONG LLY;
  LONG URX;
  LONG URY;
  DWORD BaudRate;
  DWORD MouseMod;  // bits 0-1 touch mode, bit 31 right click pending
  LONG XInplace;   // in-place tolerances, in pointer units
  LONG YInplace;
  DWORD SelDelay;  // hold threshold, in reports
  DWORD CliDelay;  // carried along; no driver behaviour depends on it
  DWORD TouSound;  // 0 none, 1 at a press, 2 at a press and a release
};

static_assert(sizeof(DriverSettings) == 48, "DriverSettings is twelve 32-bit words");
static_assert(offsetof(DriverSettings, LLX) == 4 && offsetof(DriverSettings, LLY) == 8 &&
                  offsetof(DriverSettings, URX) == 12 && offsetof(DriverSettings, URY) == 16 &&
                  offsetof(DriverSettings, BaudRate) == 20 && offsetof(DriverSettings, MouseMod) == 24 &&
                  offsetof(DriverSettings, XInplace) == 28 && offsetof(DriverSettings, YInplace) == 32 &&
                  offsetof(DriverSettings, SelDelay) == 36 && offsetof(DriverSettings, CliDelay) == 40 &&
                  offsetof(DriverSettings, TouSound) == 44,
              "DriverSettings words sit at their fixed offsets");

// MouseMod: the touch mode and the pending right click.
#define MOUSEMOD_TOUCH_MODE_MASK 0x00000003u
#define MOUSEMOD_RIGHT_CLICK_PENDING 0x80000000u
#define TOUCH_MODE_DESKTOP 0
#define TOUCH_MODE_DRAWING 1
#define TOUCH_MODE_BUTTON 2
#define TOUCH_MODE_NONE 3
