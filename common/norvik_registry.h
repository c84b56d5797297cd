// The driver's registry key, its value names and the one table of its numeric values: the driver
// loads and saves its settings there, the utility reads the port name and the button mask, and the
// calibration library reads and stores the settings there while the driver is not loaded.
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
// Read by the driver at its start only, beside the settings record (as "Filter" is): how long a
// Desktop touch held in place takes to give a right click, in milliseconds; 0 or missing: never.
#define NORVIK_VALUE_LONG_PRESS TEXT("LongPress")
// The longest long press, in milliseconds.
#define NORVIK_LONG_PRESS_MAX 5000

// "COMM" holds at most five characters and the terminator.
#define NORVIK_PORT_NAME_CHARS 6

#ifdef __cplusplus
#include <cstddef>
#include <cstring>

#include "driver_settings.h"

// The eleven numeric values of the key with the settings word each one carries, in the order the
// driver and the calibration library read and write them. Every word is 32 bits. The two read a
// value by different rules: the driver takes any value of exactly four bytes, whatever its type;
// the calibration library, reading the key while the driver is not loaded, takes only a REG_DWORD.
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

// The word of a record at one of those offsets, as the registry stores it.
inline DWORD NorvikWordAt(const DriverSettings &record, size_t offset) {
  DWORD word = 0;
  std::memcpy(&word, reinterpret_cast<const BYTE *>(&record) + offset, sizeof word);
  return word;
}

inline void NorvikSetWordAt(DriverSettings &record, size_t offset, DWORD word) {
  std::memcpy(reinterpret_cast<BYTE *>(&record) + offset, &word, sizeof word);
}
#endif
