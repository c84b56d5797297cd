// TouchReport: one decoded report, its position in the pointer space (0..65535 on each axis,
// origin at the top left), and the decoding of a framed packet into it.
#pragma once

#include <windows.h>

struct TouchReport {
  bool touching;
  DWORD x;
  DWORD y;
};

// Decodes a complete packet: the touch bit, the 14-bit positions scaled to 16 bits, the
// calibration mapping, then y inverted (the controller's vertical axis runs upwards).
TouchReport DecodeReport(const BYTE packet[5]);
