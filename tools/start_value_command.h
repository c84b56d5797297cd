// nrvctl's setting of the values the driver reads only at its start, beside the settings record:
// "Filter" (the touch filter) and "LongPress" (a long press as the right button). They live in the
// driver's key of the hive, so they are stored directly, not through NRV1:.
#pragma once

#include <string>

// Whether `name` (from NAME=VALUE) names one of those values, in any letter case.
bool IsStartValueName(const std::string &name);

// Checks `value` for the value `name` names; false, having printed one line, when it is refused.
bool CheckStartValue(const std::string &name, const std::string &value);

// Stores a checked value in the driver's key and says when it takes effect. Returns the exit
// status: 0, or 1 having printed one line when the hive cannot be changed.
int StoreStartValue(const std::string &name, const std::string &value);

// Prints each as NAME=VALUE, as the hive holds it: "Filter=off" and "LongPress=0" when missing.
void PrintStartValues();
