// The settings store. Each value is read into a local buffer of its field's size and copied into
// the live record only when the registry gave exactly that many bytes, so no value can write past
// its field: a value of another size is ignored, and four bytes of any type are taken as the word.
#include "settings_store.h"

#include <cstring>

#include "debug_zones.h"
#include "driver_state.h"
#include "norvik_registry.h"

namespace {

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
    // Only the size is checked, never the type: the calibration library, reading the same table
    // while the driver is not loaded, takes a REG_DWORD only.
    for (const NorvikValue &value : kNorvikValues) {
      if (value.kind != NorvikValueKind::kWord) continue;
      DWORD word = 0;
      DWORD type = 0;
      DWORD size = sizeof word;
      if (RegQueryValueExW(key, value.name, nullptr, &type, reinterpret_cast<BYTE *>(&word), &size) == ERROR_SUCCESS &&
          size == sizeof word)
        driverState.settings.StoreWord(value.offset, word);
    }
    RegCloseKey(key);
  }
  return driverState.settings.Copy();
}

BOOL SaveDriverSettings(DriverSettings settings) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return TRUE;
  for (const NorvikValue &value : kNorvikValues) {
    if (value.kind != NorvikValueKind::kWord) continue;
    DWORD word = NorvikWordAt(settings, value.offset);
    RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&word), sizeof word);
  }
  RegFlushKey(key);
  RegCloseKey(key);
  return TRUE;
}

TouchFilterSetting LoadFilterSetting() {
  TouchFilterSetting setting;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return setting;
  WCHAR text[kFilterTextChars + 1] = {};
  DWORD type = 0;
  DWORD size = sizeof text - sizeof text[0];  // the last character stays the terminator
  const LONG status = RegQueryValueExW(key, NORVIK_VALUE_FILTER, nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
  RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return setting;
  const char *reason = nullptr;
  if (status == ERROR_MORE_DATA) reason = "too long";
  else if (status != ERROR_SUCCESS) reason = "unreadable";
  else if (type != REG_SZ) reason = "not a string (REG_SZ)";
  else {
    // The stored string normally ends in its terminator, which is not part of the value.
    size_t length = size / sizeof text[0];
    while (length > 0 && text[length - 1] == 0) --length;
    reason = ParseTouchFilterSetting(text, length, &setting);
  }
  if (reason != nullptr)
    RETAILMSG(1, (TEXT("Filter value \"%s\" ignored (%a): the touch filter is off; set it to %a, e.g. nrvctl set "
                       "Filter=smooth, and restart the driver\r\n"),
                  status == ERROR_SUCCESS && type == REG_SZ ? text : TEXT(""), reason, NORVIK_FILTER_VALUES));
  return setting;
}

DWORD LoadLongPressSetting() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  const LONG status =
      RegQueryValueExW(key, NORVIK_VALUE_LONG_PRESS, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
  RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  const char *reason = status != ERROR_SUCCESS && status != ERROR_MORE_DATA ? "unreadable"
                       : status == ERROR_MORE_DATA || type != REG_DWORD || size != sizeof value
                           ? "not a dword (REG_DWORD)"
                       : value > NORVIK_LONG_PRESS_MAX ? "more than 5000 ms"
                                                       : nullptr;
  if (reason == nullptr) return value;
  RETAILMSG(1, (TEXT("LongPress value ignored (%a): the long press is off; set it to 0 to 5000 ms, e.g. nrvctl set "
                     "LongPress=600, and restart the driver\r\n"),
                reason));
  return 0;
}
