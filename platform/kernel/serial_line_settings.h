// The line fields of a DCB (BaudRate, ByteSize, Parity, StopBits) and the termios settings that
// carry them: which values a tty can take, and the mapping both ways.
#pragma once

#include <termios.h>

#include <windows.h>

namespace platform {

// Puts the four line fields of dcb into tio (speed, CSIZE, PARENB/PARODD/CMSPAR, CSTOPB),
// leaving every other setting alone. False, with tio untouched, when a field holds a value no tty
// can take.
bool ApplyLineSettings(const DCB &dcb, termios *tio);
// Reads the four line fields from tio into dcb. A speed with no number of its own (B0) leaves
// BaudRate as it was.
void ReadLineSettings(const termios &tio, DCB *dcb);
// True when a tty can run at `baudRate` bits per second, so SetCommState accepts it.
bool IsLineRate(DWORD baudRate);

}  // namespace platform
