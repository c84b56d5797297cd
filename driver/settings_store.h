// The settings store: moves the driver's settings between its registry key and the live record.
#pragma once

#include "driver_settings.h"

// Refreshes the live record and the port name from the registry key and returns a copy of the
// record. A key or value that cannot be read leaves its field as it was; nothing is reported.
DriverSettings LoadDriverSettings();

// Writes the record's eleven numeric words to the registry key and flushes it. Returns TRUE.
BOOL SaveDriverSettings(DriverSettings settings);
