// Pointer emulation: every decoded report becomes exactly one absolute mouse event, a move to the
// report's position with at most one button transition, as the touch mode in MouseMod decides:
// Desktop (the button follows the touch), Drawing (the button goes down once the touch has been
// held in place for SelDelay reports, and up when it ends) or Button (a touch held in place for
// SelDelay reports clicks once). Bit 31 of MouseMod makes the next touch use the right button.
// With a long press (LongPress, read at the driver's start), a Desktop touch held in place for that
// long gives a right click instead of the left press.
#pragma once

#include "touch_report.h"

// Called on the read thread once per complete report, after it was counted; `tick` is when it came
// (GetTickCount), which a long press is timed by.
void EmulatePointer(const TouchReport &report, DWORD tick);

// The long press, in milliseconds (0: off); set at the driver's start, before the read thread runs.
void ConfigureLongPress(DWORD milliseconds);

void HandleDesktopReport(const TouchReport &report);
void HandleDrawingReport(const TouchReport &report);
void HandleButtonReport(const TouchReport &report);
