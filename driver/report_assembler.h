// Framing of the controller's five-byte reports. Bit 7 marks the header byte:
//
//   byte 0   1 . . T . . . .   T: touch state, 1 while the panel is touched
//   byte 1   0 x13 ....... x7
//   byte 2   0 x6  ....... x0
//   byte 3   0 y13 ....... y7
//   byte 4   0 y6  ....... y0
//
// A byte with bit 7 set where a coordinate byte belongs breaks the report and is dropped with it;
// the stream picks up again at the next header byte.
#pragma once

#include <windows.h>

struct ReportAssembler {
  BYTE position = 0;  // index in packet where the next byte goes
  BYTE packet[5] = {};

  // Takes one received byte; true when it completed a report, which packet then holds.
  bool Frame(BYTE b);
};
