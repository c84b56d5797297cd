// The driver's registry key and the names of its values, shared by the driver, which loads and
// saves its settings there, the utility, which reads the port name and the button mask, and the
// calibration library, which reads and stores the settings there while the driver is not loaded.
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

#ifdef __cplusplus
#include <cstddef>

#include "driver_settings.h"

// The eleven numeric values of the key with the settings word each one carries, in the order the
// driver reads and writes them.
struct NorvikNumericValue {
  LPCWSTR name;
  size_t offset;  // of the word in DriverSettings
};

inline constexpr NorvikNumericValue kNorvikNumericValues[11] = {
    {NORVIK_VALUE_BAUD_RATE, offsetof(DriverSettings, BaudRate)},
    {NORVIK_VALUE_MOUSE_MOD, offsetof(DriverSettings, MouseMod)},
    {NORVIK_VALUE_X_INPLACE, offsetof(DriverSettings, XInplace)},
    {NORVIK_VALUE_Y_INPLACE, offsetof(DriverSettings, YInplace)},
    {NORVIK_VALUE_CLI_DELAY, offsetof(DriverSettings, CliDelay)},
    {NORVIK_VALUE_SEL_DELAY, offsetof(DriverSettings, SelDelay)},
    {NORVIK_VALUE_TOU_SOUND, offsetof(DriverSettings, TouSound)},
    {NORVIK_VALUE_LLX, offsetof(DriverSettings, LLX)},
    {NORVIK_VALUE_LLY, offsetof(DriverSettings, LLY)},
    {NORVIK_VALUE_URX, offsetof(DriverSettings, URX)},
    {NORVIK_VALUE_URY, offsetof(DriverSettings, URY)},
};
#endif
