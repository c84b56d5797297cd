// Framing of the controller's five-byte reports, shared by the driver's read thread and the
// calibration library, which reads the controller directly. Bit 7 marks the header byte:
//
//   byte 0   1 . . T . . . .   T: touch state, 1 while the panel is touched
//   byte 1   0 x13 ....... x7
//   byte 2   0 x6  ....... x0
//   byte 3   0 y13 ....... y7
//   byte 4   0 y6  ....... y0
//
// A byte with bit 7 set where a coordinate byte belongs breaks the report and is dropped with it;
// the stream picks up again at the next header byte. The state survives from one read to the
// next, so a report may arrive split over several reads.
#pragma once

#include <windows.h>

struct ReportAssembler {
  BYTE position = 0;  // index in packet where the next byte goes
  BYTE packet[5] = {};

  // Takes one received byte; true when it completed a report, which packet then holds.
  bool Frame(BYTE b) {
    packet[position] = b;
    const bool header = (b & 0x80) != 0;
    if (position == 0) {
      if (header) position = 1;
      return false;
    }
    if (position < 4) {
      position = header ? 0 : position + 1;
      return false;
    }
    position = 0;
    return !header;
  }
};

// A framed report's touch bit.
inline bool ReportTouching(const BYTE packet[5]) { return (packet[0] & 0x10) != 0; }

// A framed report's raw position: the 14-bit values scaled to 16 bits, 0..65532 in steps of 4.
inline void ReportRawPosition(const BYTE packet[5], DWORD *x, DWORD *y) {
  *x = ((static_cast<DWORD>(packet[1]) << 7) + packet[2]) << 2;
  *y = ((static_cast<DWORD>(packet[3]) << 7) + packet[4]) << 2;
}
