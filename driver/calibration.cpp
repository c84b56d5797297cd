// The calibration mapping of the live settings' corners; the arithmetic is the one the driver and
// the calibration library share (calibration_mapping.h).
#include "calibration.h"

#include "calibration_mapping.h"
#include "driver_state.h"

void ApplyCalibration(DWORD &x, DWORD &y) {
  const CalibrationCorners corners{driverState.settings.LLX, driverState.settings.LLY, driverState.settings.URX,
                                   driverState.settings.URY};
  MapThroughCorners(corners, x, y);
}
