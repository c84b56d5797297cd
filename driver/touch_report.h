// TouchReport: one decoded report, its position in the pointer space (0..65535 on each axis,
// origin at the top left), and the decoding of a framed packet into it.
#pragma once

#include <windows.h>

struct TouchReport {
  bool touching;
  DWORD x;
  DWORD y;
};

// The packet's touch bit and its raw position: the 14-bit positions scaled to 16 bits.
TouchReport ReadRawReport(const BYTE packet[5]);

// Takes a raw position into the pointer space: the calibration mapping, then y inverted (the
// controller's vertical axis runs upwards).
void MapToPointer(TouchReport &report);

// Decodes a complete packet: ReadRawReport, then MapToPointer.
TouchReport DecodeReport(const BYTE packet[5]);
