// The start and stop routines that bring the serial port and the read thread up and down.
#pragma once

#include <windows.h>

// Creates the exit event, detects the port and starts the read thread. TRUE unless the thread
// could not be created. A driver that is already started is stopped first.
BOOL StartDriver();

// Asks the read thread to leave, waits for it, and closes the event and the port. TRUE.
BOOL StopDriver();
