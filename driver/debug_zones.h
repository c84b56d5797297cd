// The driver's debug zones: module "SerMouse", sixteen zones, only "Error" enabled at start.
#pragma once

#include <windows.h>

extern DBGPARAM dpCurSettings;

#define ZONE_DATA DEBUGZONE(0)
#define ZONE_READTHREAD DEBUGZONE(1)
#define ZONE_VALUES DEBUGZONE(11)
#define ZONE_INIT DEBUGZONE(12)
#define ZONE_FUNCTION DEBUGZONE(13)
#define ZONE_WARN DEBUGZONE(14)
#define ZONE_ERROR DEBUGZONE(15)

// Entry traces carry the routine's 8-bit name: "+DetectSerialPort", "-NRV_Init".
#define TRACE_FUNCTION(name) DEBUGMSG(ZONE_FUNCTION, (TEXT("[FUNC] %a()\r\n"), name))
