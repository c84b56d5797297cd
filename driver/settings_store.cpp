// The settings store. Each value is read into a local buffer of its field's size and copied into
// the live record only when the registry gave exactly that many bytes, so a value of another type
// or size can never write past its field and is ignored instead.
#include "settings_store.h"

#include <cstring>

#include "driver_state.h"
#include "norvik_registry.h"

namespace {

// The numeric values in the order they are read and written: how to store a loaded word straight
// into its live field, and how to take it from a record being saved.
struct NumericValue {
  LPCWSTR name;
  void (*store)(DWORD word);
  DWORD (*fetch)(const DriverSettings &settings);
};

#define NUMERIC_VALUE(valueName, field)                                                              \
  NumericValue {                                                                                      \
    valueName, [](DWORD word) { driverState.settings.field = static_cast<decltype(DriverSettings::field)>(word); }, \
        [](const DriverSettings &settings) { return static_cast<DWORD>(settings.field); }             \
  }

const NumericValue kNumericValues[] = {
    NUMERIC_VALUE(NORVIK_VALUE_BAUD_RATE, BaudRate), NUMERIC_VALUE(NORVIK_VALUE_MOUSE_MOD, MouseMod),
    NUMERIC_VALUE(NORVIK_VALUE_X_INPLACE, XInplace), NUMERIC_VALUE(NORVIK_VALUE_Y_INPLACE, YInplace),
    NUMERIC_VALUE(NORVIK_VALUE_CLI_DELAY, CliDelay), NUMERIC_VALUE(NORVIK_VALUE_SEL_DELAY, SelDelay),
    NUMERIC_VALUE(NORVIK_VALUE_TOU_SOUND, TouSound), NUMERIC_VALUE(NORVIK_VALUE_LLX, LLX),
    NUMERIC_VALUE(NORVIK_VALUE_LLY, LLY),           NUMERIC_VALUE(NORVIK_VALUE_URX, URX),
    NUMERIC_VALUE(NORVIK_VALUE_URY, URY),
};

// Reads "COMM" into the port name. A name that does not fit with its terminator in the
// six characters is refused, so the port name is always terminated.
void LoadPortName(HKEY key) {
  WCHAR name[NORVIK_PORT_NAME_CHARS] = {};
  DWORD type = 0;
  DWORD size = sizeof name;
  if (RegQueryValueExW(key, NORVIK_VALUE_COMM, nullptr, &type, reinterpret_cast<BYTE *>(name), &size) != ERROR_SUCCESS)
    return;
  // The buffer was zeroed, so a shorter value is terminated by the rest of it.
  bool terminated = false;
  for (WCHAR c : name) terminated = terminated || c == 0;
  if (!terminated) return;
  std::memcpy(driverState.portName, name, sizeof name);
}

}  // namespace

DriverSettings LoadDriverSettings() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    LoadPortName(key);
    for (const NumericValue &value : kNumericValues) {
      DWORD word = 0;
      DWORD type = 0;
      DWORD size = sizeof word;
      if (RegQueryValueExW(key, value.name, nullptr, &type, reinterpret_cast<BYTE *>(&word), &size) == ERROR_SUCCESS &&
          size == sizeof word)
        value.store(word);
    }
    RegCloseKey(key);
  }
  return driverState.settings.Copy();
}

BOOL SaveDriverSettings(DriverSettings settings) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return TRUE;
  for (const NumericValue &value : kNumericValues) {
    DWORD word = value.fetch(settings);
    RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&word), sizeof word);
  }
  RegFlushKey(key);
  RegCloseKey(key);
  return TRUE;
}
