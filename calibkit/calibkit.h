// calibkit, the library the utility imports: it reads and stores the panel parameters (the
// driver's settings record) through the driver's device, and runs the 2-, 5- and 25-point
// calibrations and the draw test. Every function returns nonzero on success and 0 on failure,
// with the reason on the debug output.
#pragma once

#include <windows.h>

#include "driver_settings.h"

#if defined(_WIN32)
#if defined(CALIBKIT_BUILD)
#define CALIBKIT_API __declspec(dllexport)
#else
#define CALIBKIT_API __declspec(dllimport)
#endif
#else
#define CALIBKIT_API __attribute__((visibility("default")))
#endif

// The panel parameters: twelve 32-bit words in the driver's settings layout.
struct tagParameter : DriverSettings {};
static_assert(sizeof(tagParameter) == 48, "tagParameter is the driver's 48-byte settings record");

extern "C" {

// Fills words 1-11 of the record with the driver's current settings; word 0 is left as it was.
CALIBKIT_API int GetDevicePanelParameter(tagParameter *parameter);
// Stores words 1-11 of the record as the driver's settings, live and in its registry key.
CALIBKIT_API int SetDevicePanelParameter(tagParameter *parameter);

// The runs. A calibration asks, after its fitted targets, for a check point at (0.70, 0.75) of the
// screen, which the fit does not use: when the new corners put it further off than the bound
// (below; 0 turns the check point off) nothing is stored and the run has not finished. Each takes the program's instance, the controller's serial port name ("COM1:"), a
// DWORD and an int that the utility passes as 1 and 0, the window to tell, and the message to
// post to it when the run ends (wParam nonzero when a calibration finished, 0 when it did not;
// 0 as the message: tell nobody).
CALIBKIT_API int Do2PtsCalibration(HINSTANCE instance, LPCWSTR port, DWORD flags, int option, HWND notify,
                                   UINT doneMessage);
CALIBKIT_API int Do5PtsCalibration(HINSTANCE instance, LPCWSTR port, DWORD flags, int option, HWND notify,
                                   UINT doneMessage);
CALIBKIT_API int Do25PtsCalibration(HINSTANCE instance, LPCWSTR port, DWORD flags, int option, HWND notify,
                                    UINT doneMessage);
// A check run: three targets that no calibration fits, their errors through the stored corners
// on a page, nothing changed. Nonzero (and wParam nonzero) when the largest error is within
// HKLM\Software\Calibkit "CheckBound" (pixels; by default 2 % of the screen's diagonal, at least 8).
CALIBKIT_API int DoCalibrationCheck(HINSTANCE instance, LPCWSTR port, DWORD flags, int option, HWND notify,
                                    UINT doneMessage);
CALIBKIT_API int DoDrawTest(HINSTANCE instance, LPCWSTR port, DWORD flags, int option, HWND notify,
                            UINT doneMessage);

}  // extern "C"
