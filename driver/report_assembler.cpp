// Framing, one byte at a time, in place: the state survives from one read to the next, so a
// report may arrive split over several reads.
#include "report_assembler.h"

bool ReportAssembler::Frame(BYTE b) {
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
