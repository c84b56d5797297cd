// The line rates the touch controller sends at: the one list that nrvctl's init --baud and its
// set BaudRate= accept, and that their messages name.
#pragma once

#include <string>

// Each is also a rate every serial port of the platform can be set to.
inline constexpr unsigned long kControllerRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

inline bool IsControllerRate(unsigned long rate) {
  for (unsigned long known : kControllerRates)
    if (known == rate) return true;
  return false;
}

// "use 1200, 2400, ... or 115200 (the controller's own, usually 9600)": the fix a refusal names.
inline std::string ControllerRateAdvice() {
  std::string rates;
  const size_t count = sizeof kControllerRates / sizeof kControllerRates[0];
  for (size_t i = 0; i < count; ++i)
    rates += (i == 0 ? "" : i + 1 == count ? " or " : ", ") + std::to_string(kControllerRates[i]);
  return "use " + rates + " (the controller's own, usually 9600)";
}
