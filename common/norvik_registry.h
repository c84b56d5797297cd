// The driver's registry key, its value names and the one table of its values: the driver loads and
// saves its settings there, the utility reads the port name and the button mask, the calibration
// library reads and stores the settings there while the driver is not loaded, and nrvctl shows,
// sets and keeps them.
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

// Every value of the driver's key that a program reads or writes by name, in the order nrvctl
// prints them: the eleven words of the settings record, the utility's button mask, and the two
// values the driver reads only at its start. The driver loads and saves the words from it, the
// calibration library reads and stores them, nrvctl shows and sets them, and nrvctl init keeps
// the values it marks kept when it replaces a hive. Every word is 32 bits. The driver takes a
// word of exactly four bytes, whatever its type; the calibration library, reading the key while
// the driver is not loaded, takes only a REG_DWORD.
enum class NorvikValueKind {
  kWord,     // a word of the settings record, at `offset`
  kUtility,  // read by the utility only (ButShow)
  kStart,    // read by the driver at its start, beside the record (Filter, LongPress)
};

struct NorvikValue {
  LPCWSTR name;      // as the registry names it
  const char *text;  // the same, for nrvctl's lines
  NorvikValueKind kind;
  size_t offset;    // kWord: of the word in DriverSettings
  bool isSigned;    // shown and read as a signed number
  bool hex;         // shown in hexadecimal
  bool keptByInit;  // nrvctl init --force carries it over into the new hive
};

// Both spellings of a value's name, from one.
#define NORVIK_NAMES(name) TEXT(#name), #name

inline constexpr NorvikValue kNorvikValues[] = {
    {NORVIK_NAMES(LLX), NorvikValueKind::kWord, offsetof(DriverSettings, LLX), true, false, true},
    {NORVIK_NAMES(LLY), NorvikValueKind::kWord, offsetof(DriverSettings, LLY), true, false, true},
    {NORVIK_NAMES(URX), NorvikValueKind::kWord, offsetof(DriverSettings, URX), true, false, true},
    {NORVIK_NAMES(URY), NorvikValueKind::kWord, offsetof(DriverSettings, URY), true, false, true},
    // The rate is init's to set (--baud), from the hive it replaces when not given.
    {NORVIK_NAMES(BaudRate), NorvikValueKind::kWord, offsetof(DriverSettings, BaudRate), false, false, false},
    {NORVIK_NAMES(MouseMod), NorvikValueKind::kWord, offsetof(DriverSettings, MouseMod), false, true, true},
    {NORVIK_NAMES(XInplace), NorvikValueKind::kWord, offsetof(DriverSettings, XInplace), true, false, true},
    {NORVIK_NAMES(YInplace), NorvikValueKind::kWord, offsetof(DriverSettings, YInplace), true, false, true},
    {NORVIK_NAMES(SelDelay), NorvikValueKind::kWord, offsetof(DriverSettings, SelDelay), false, false, true},
    {NORVIK_NAMES(CliDelay), NorvikValueKind::kWord, offsetof(DriverSettings, CliDelay), false, false, true},
    {NORVIK_NAMES(TouSound), NorvikValueKind::kWord, offsetof(DriverSettings, TouSound), false, false, true},
    {NORVIK_NAMES(ButShow), NorvikValueKind::kUtility, 0, false, false, true},
    {NORVIK_NAMES(Filter), NorvikValueKind::kStart, 0, false, false, true},
    {NORVIK_NAMES(LongPress), NorvikValueKind::kStart, 0, false, false, true},
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
