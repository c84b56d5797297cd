// The serial link: opens the port that "COMM" names and puts it into the line format, read
// time-outs and event mask the read thread depends on. The controller only sends, so detection
// is exactly that: the port opens and accepts every setting.
#pragma once

#include <windows.h>

// Loads the settings, opens and configures the port. TRUE when the port is open and fully
// configured. On FALSE, portHandle is null, or still open when InitSerialPort failed.
BOOL DetectSerialPort();

// Sets the read time-outs and the event mask on the open port; never closes it.
BOOL InitSerialPort();
