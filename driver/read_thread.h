// The read thread: the driver's only loop, reading the controller's reports from the port.
#pragma once

#include <windows.h>

#include "report_assembler.h"

// Frames `count` received bytes and hands over each report they complete: counted, decoded and
// passed through the touch filter when it is on, then to pointer emulation, before the next byte is
// looked at. The assembler carries a partial
// report from one call to the next.
void HandleReceivedBytes(ReportAssembler &assembler, const BYTE *bytes, DWORD count);

// Thread routine started by StartDriver; its parameter is unused. Returns 1 when it ends.
DWORD WINAPI ReadThread(LPVOID parameter);
