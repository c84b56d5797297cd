// The driver's registry key and the names of its values, shared by the driver, which loads and
// saves its settings there, and the utility, which reads the port name and the button mask.
#pragma once

#include <windows.h>

#define NORVIK_REGISTRY_KEY TEXT("Drivers\\BuiltIn\\Norvik")

#define NORVIK_VALUE_COMM TEXT("COMM")
#define NORVIK_VALUE_BAUD_RATE TEXT("BaudRate")
#define NORVIK_VALUE_MOUSE_MOD TEXT("MouseMod")
#define NORVIK_VALUE_X_INPLACE TEXT("XInplace")
#define NORVIK_VALUE_Y_INPLACE TEXT("YInplace")
#define NORVIK_VALUE_SEL_DELAY TEXT("SelDelay")
#define NORVIK_VALUE_CLI_DELAY TEXT("CliDelay")
#define NORVIK_VALUE_TOU_SOUND TEXT("TouSound")
#define NORVIK_VALUE_LLX TEXT("LLX")
#define NORVIK_VALUE_LLY TEXT("LLY")
#define NORVIK_VALUE_URX TEXT("URX")
#define NORVIK_VALUE_URY TEXT("URY")
#define NORVIK_VALUE_BUT_SHOW TEXT("ButShow")

// "COMM" holds at most five characters and the terminator.
#define NORVIK_PORT_NAME_CHARS 6
