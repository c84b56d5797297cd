// Decoding of a framed report.
#include "touch_report.h"

#include "calibration.h"

TouchReport DecodeReport(const BYTE packet[5]) {
  TouchReport report{};
  report.touching = (packet[0] & 0x10) != 0;
  report.x = ((static_cast<DWORD>(packet[1]) << 7) + packet[2]) << 2;
  report.y = ((static_cast<DWORD>(packet[3]) << 7) + packet[4]) << 2;
  ApplyCalibration(report.x, report.y);
  report.y = 65535 - report.y;
  return report;
}
