// The runs started from the command line. They post nothing: no dialog waits for their end.
#include "direct_run.h"

#include "calibkit.h"
#include "driver_port.h"

namespace {

const WCHAR kCheckCaption[] = TEXT(" Calibration Check");
const WCHAR kCheckPrompt[] = TEXT(" The touch is off its targets!, Calibrate now (5 Point)? ");

}  // namespace

int RunCalibration(HINSTANCE instance, int points) {
  WCHAR port[NORVIK_PORT_NAME_CHARS];
  ReadDriverPort(port);
  int stored = 0;
  switch (points) {
    case 2: stored = Do2PtsCalibration(instance, port, 1, 0, nullptr, 0); break;
    case 5: stored = Do5PtsCalibration(instance, port, 1, 0, nullptr, 0); break;
    case 25: stored = Do25PtsCalibration(instance, port, 1, 0, nullptr, 0); break;
    default: break;
  }
  return stored != 0 ? 0 : 1;
}

int RunCheck(HINSTANCE instance) {
  WCHAR port[NORVIK_PORT_NAME_CHARS];
  ReadDriverPort(port);
  if (DoCalibrationCheck(instance, port, 1, 0, nullptr, 0) != 0) return 0;
  // The program's end (a signal) cuts the offer short: nobody is left to answer it.
  MSG quit;
  if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0) return 1;
  if (MessageBoxW(nullptr, kCheckPrompt, kCheckCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) return 1;
  return RunCalibration(instance, 5);
}
