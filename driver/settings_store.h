// The settings store: moves the driver's settings between its registry key and the live record.
#pragma once

#include "driver_settings.h"
#include "touch_filter_setting.h"

// Refreshes the live record and the port name from the registry key and returns a copy of the
// record. A key or value that cannot be read leaves its field as it was; nothing is reported.
DriverSettings LoadDriverSettings();

// Writes the record's eleven numeric words to the registry key and flushes it. Returns TRUE.
BOOL SaveDriverSettings(DriverSettings settings);

// Reads the "Filter" value. No value (or no key) is no filter, silently; a value that is not a
// string the grammar allows is no filter too, with one debug line naming it and the fix.
TouchFilterSetting LoadFilterSetting();

// Reads the "LongPress" value, in milliseconds. No value is 0 (off), silently; a value that is not
// a REG_DWORD up to NORVIK_LONG_PRESS_MAX is 0 too, with one debug line naming it and the fix.
DWORD LoadLongPressSetting();
