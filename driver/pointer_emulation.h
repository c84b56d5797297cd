// Pointer emulation: turns every decoded report into one absolute mouse event.
#pragma once

#include "touch_report.h"

// Called on the read thread once per complete report, after it was counted.
void EmulatePointer(const TouchReport &report);
