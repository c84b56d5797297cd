// GetDevicePanelParameter and SetDevicePanelParameter. Each call opens "NRV1:" like any client,
// issues one settings control code and closes it again, for the driver admits one open handle at
// a time. A device that another client holds for its own call is tried again for a short while,
// so that a user's change is not lost to a measurement tick or a command-line call. When the
// device is not published at all (the driver is not loaded), the same eleven words are read from
// and written to the driver's registry key, where the driver finds them at its next start; a user
// who may only read that key is told that the driver must run.
#include "calibkit.h"
#include "device_call.h"
#include "norvik_device.h"
#include "norvik_registry.h"

namespace {

// The driver reads what its key holds at its next start; a value missing from the key or not a
// REG_DWORD of four bytes reads as 0, as at the driver's first start. This is stricter than the
// driver, which takes four bytes of any type: a string "2" here is not the word 2.
BOOL ReadKey(tagParameter *parameter) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) {
    NKDbgPrintfW(TEXT("calibkit: GetDevicePanelParameter: NRV1: is not published and the driver's key ")
                     TEXT("HKEY_LOCAL_MACHINE\\%s cannot be opened (error %d); nothing was read\r\n"),
                 NORVIK_REGISTRY_KEY, static_cast<int>(status));
    return FALSE;
  }
  for (const NorvikValue &value : kNorvikValues) {
    if (value.kind != NorvikValueKind::kWord) continue;
    DWORD word = 0;
    DWORD type = 0;
    DWORD size = sizeof word;
    if (RegQueryValueExW(key, value.name, nullptr, &type, reinterpret_cast<BYTE *>(&word), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof word)
      word = 0;
    NorvikSetWordAt(*parameter, value.offset, word);
  }
  RegCloseKey(key);
  return TRUE;
}

BOOL WriteKey(tagParameter *parameter) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) {
    NKDbgPrintfW(TEXT("calibkit: SetDevicePanelParameter: NRV1: is not published and the driver's key ")
                     TEXT("HKEY_LOCAL_MACHINE\\%s cannot be opened (error %d); nothing was stored\r\n"),
                 NORVIK_REGISTRY_KEY, static_cast<int>(status));
    return FALSE;
  }
  for (const NorvikValue &value : kNorvikValues) {
    if (value.kind != NorvikValueKind::kWord) continue;
    DWORD word = NorvikWordAt(*parameter, value.offset);
    status = RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&word), sizeof word);
    if (status != ERROR_SUCCESS) break;
  }
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  if (status == ERROR_ACCESS_DENIED) {
    // A device root made for the service lets its members read the key but store settings only
    // through the driver, so that nobody but its owner chooses what the driver loads and opens.
    NKDbgPrintfW(TEXT("calibkit: SetDevicePanelParameter: NRV1: is not published and this user may not write the ")
                     TEXT("driver's key HKEY_LOCAL_MACHINE\\%s (error %d): the driver must run to store settings: ")
                     TEXT("start it (nrvctl start, or systemctl start norvik@NAME) and try again; nothing was ")
                     TEXT("stored\r\n"),
                 NORVIK_REGISTRY_KEY, static_cast<int>(status));
    return FALSE;
  }
  if (status != ERROR_SUCCESS) {
    NKDbgPrintfW(TEXT("calibkit: SetDevicePanelParameter: NRV1: is not published and writing the driver's key ")
                     TEXT("HKEY_LOCAL_MACHINE\\%s failed (error %d); the settings were not stored\r\n"),
                 NORVIK_REGISTRY_KEY, static_cast<int>(status));
    return FALSE;
  }
  return TRUE;
}

}  // namespace

extern "C" int GetDevicePanelParameter(tagParameter *parameter) {
  if (parameter == nullptr) {
    NKDbgPrintfW(TEXT("calibkit: GetDevicePanelParameter: no record was given\r\n"));
    return 0;
  }
  // The driver leaves word 0 of its output alone, so the caller's word 0 survives as it was.
  tagParameter record = *parameter;
  switch (CallDriver("GetDevicePanelParameter", IOCTL_NRV_GET_SETTINGS, "IOCTL_NRV_GET_SETTINGS", nullptr, 0, &record,
                     sizeof record)) {
    case DeviceOutcome::kDone:
      *parameter = record;
      return 1;
    case DeviceOutcome::kNotPublished:
      return ReadKey(parameter) ? 1 : 0;
    case DeviceOutcome::kFailed:
      break;
  }
  return 0;
}

extern "C" int SetDevicePanelParameter(tagParameter *parameter) {
  if (parameter == nullptr) {
    NKDbgPrintfW(TEXT("calibkit: SetDevicePanelParameter: no record was given\r\n"));
    return 0;
  }
  tagParameter record = *parameter;
  switch (CallDriver("SetDevicePanelParameter", IOCTL_NRV_SET_SETTINGS, "IOCTL_NRV_SET_SETTINGS", &record, sizeof record,
                     nullptr, 0)) {
    case DeviceOutcome::kDone:
      return 1;
    case DeviceOutcome::kNotPublished:
      return WriteKey(parameter) ? 1 : 0;
    case DeviceOutcome::kFailed:
      break;
  }
  return 0;
}
