// nrvctl's setting of the driver's "Filter" value, which lives in the hive beside the settings
// record and is read by the driver only at its start, so it is stored directly, not through NRV1:.
#pragma once

#include <string>

// Whether `name` (from NAME=VALUE) names the Filter value, in any letter case.
bool IsFilterName(const std::string &name);

// Checks `value` against the Filter grammar; false, having printed one line, when it is refused.
bool CheckFilterValue(const std::string &value);

// Stores a checked value in the driver's key and says when it takes effect. Returns the exit
// status: 0, or 1 having printed one line when the hive cannot be changed.
int StoreFilterValue(const std::string &value);
