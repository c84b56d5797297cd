// calvex without its main dialog, for a screen the touch cannot work (from a keyboard, an ssh
// session with the display, a kiosk's start script, a udev or systemd hook): a check run or a
// calibration run on the display at once, after which the program ends. Each returns the
// program's exit status.
#pragma once

#include <windows.h>

// A check run; when its largest error is over the bound, the offer to calibrate (a 5-point run,
// which also takes a panel turned a quarter). 0 when the check passed or the offered run stored
// new corners, 1 otherwise.
int RunCheck(HINSTANCE instance);

// A 2-, 5- or 25-point calibration: 0 when it stored new corners, 1 when it did not.
int RunCalibration(HINSTANCE instance, int points);
