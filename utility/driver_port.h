// The controller's port name as the driver's key gives it ("COMM"), for the calibration runs.
#pragma once

#include <windows.h>

#include "norvik_registry.h"

// Fills `port` with "COMM"; "COM1:" when the key or the value cannot be read, or the name does
// not fit with its terminator.
void ReadDriverPort(WCHAR (&port)[NORVIK_PORT_NAME_CHARS]);
