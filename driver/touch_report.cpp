// Decoding of a framed report.
#include "touch_report.h"

#include "calibration.h"
#include "report_assembler.h"

TouchReport ReadRawReport(const BYTE packet[5]) {
  TouchReport report{};
  report.touching = ReportTouching(packet);
  ReportRawPosition(packet, &report.x, &report.y);
  return report;
}

void MapToPointer(TouchReport &report) {
  ApplyCalibration(report.x, report.y);
  report.y = 65535 - report.y;
}

TouchReport DecodeReport(const BYTE packet[5]) {
  TouchReport report = ReadRawReport(packet);
  MapToPointer(report);
  return report;
}
