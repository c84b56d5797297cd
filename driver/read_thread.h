// The read thread: the driver's only loop, reading the controller's reports from the port.
#pragma once

#include <windows.h>

// Thread routine started by StartDriver; its parameter is unused. Returns 1 when it ends.
DWORD WINAPI ReadThread(LPVOID parameter);
