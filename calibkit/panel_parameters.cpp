// GetDevicePanelParameter and SetDevicePanelParameter. Each call opens "NRV1:" like any client,
// issues one settings control code and closes it again, for the driver admits one open handle at
// a time. A device that another client holds for its own call is tried again for a short while,
// so that a user's change is not lost to a measurement tick or a command-line call. When the
// device is not published at all (the driver is not loaded), the same eleven words are read from
// and written to the driver's registry key, where the driver finds them at its next start.
#include "calibkit.h"
#include "norvik_device.h"
#include "norvik_registry.h"

namespace {

// How long a busy device is tried again, and how long between tries. A client holds the device
// for one control call, well under a millisecond.
constexpr DWORD kBusyBound = 1000;
constexpr DWORD kRetryPause = 2;

enum class Outcome { kDone, kNotPublished, kFailed };

DWORD *WordAt(tagParameter *parameter, size_t offset) {
  return reinterpret_cast<DWORD *>(reinterpret_cast<BYTE *>(parameter) + offset);
}

// One control call on a freshly opened "NRV1:".
Outcome CallDevice(const char *caller, DWORD code, const char *codeName, tagParameter *parameter) {
  const DWORD started = GetTickCount();
  HANDLE device;
  for (;;) {
    device = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) break;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_DEV_NOT_EXIST) return Outcome::kNotPublished;
    // The driver refuses a second handle without a reason of its own: the device is busy.
    if (error != ERROR_OPEN_FAILED) {
      NKDbgPrintfW(TEXT("calibkit: %a: cannot open NRV1: (error %u); nothing was %a\r\n"), caller, error,
                   code == IOCTL_NRV_GET_SETTINGS ? "read" : "stored");
      return Outcome::kFailed;
    }
    if (GetTickCount() - started >= kBusyBound) {
      NKDbgPrintfW(TEXT("calibkit: %a: NRV1: stayed busy for %u ms (another client holds its only handle); ")
                       TEXT("nothing was %a\r\n"),
                   caller, kBusyBound, code == IOCTL_NRV_GET_SETTINGS ? "read" : "stored");
      return Outcome::kFailed;
    }
    Sleep(kRetryPause);
  }
  // The driver leaves word 0 of its output alone, so the caller's word 0 survives as it was.
  tagParameter record = *parameter;
  DWORD returned = 0;
  BOOL ok = code == IOCTL_NRV_GET_SETTINGS
                ? DeviceIoControl(device, code, nullptr, 0, &record, sizeof record, &returned, nullptr)
                : DeviceIoControl(device, code, &record, sizeof record, nullptr, 0, nullptr, nullptr);
  DWORD error = GetLastError();
  CloseHandle(device);
  if (!ok) {
    NKDbgPrintfW(TEXT("calibkit: %a: %a on NRV1: failed with error %u\r\n"), caller, codeName, error);
    return Outcome::kFailed;
  }
  if (code == IOCTL_NRV_GET_SETTINGS) *parameter = record;
  return Outcome::kDone;
}

// The driver reads what its key holds at its next start; a value missing from the key or not a
// 32-bit word reads as 0, as at the driver's first start.
BOOL ReadKey(tagParameter *parameter) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) {
    NKDbgPrintfW(TEXT("calibkit: GetDevicePanelParameter: NRV1: is not published and the driver's key ")
                     TEXT("HKEY_LOCAL_MACHINE\\%s cannot be opened (error %d); nothing was read\r\n"),
                 NORVIK_REGISTRY_KEY, static_cast<int>(status));
    return FALSE;
  }
  for (const NorvikNumericValue &value : kNorvikNumericValues) {
    DWORD word = 0;
    DWORD type = 0;
    DWORD size = sizeof word;
    if (RegQueryValueExW(key, value.name, nullptr, &type, reinterpret_cast<BYTE *>(&word), &size) != ERROR_SUCCESS ||
        size != sizeof word)
      word = 0;
    *WordAt(parameter, value.offset) = word;
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
  for (const NorvikNumericValue &value : kNorvikNumericValues) {
    DWORD word = *WordAt(parameter, value.offset);
    status = RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&word), sizeof word);
    if (status != ERROR_SUCCESS) break;
  }
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
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
  switch (CallDevice("GetDevicePanelParameter", IOCTL_NRV_GET_SETTINGS, "IOCTL_NRV_GET_SETTINGS", parameter)) {
    case Outcome::kDone:
      return 1;
    case Outcome::kNotPublished:
      return ReadKey(parameter) ? 1 : 0;
    case Outcome::kFailed:
      break;
  }
  return 0;
}

extern "C" int SetDevicePanelParameter(tagParameter *parameter) {
  if (parameter == nullptr) {
    NKDbgPrintfW(TEXT("calibkit: SetDevicePanelParameter: no record was given\r\n"));
    return 0;
  }
  switch (CallDevice("SetDevicePanelParameter", IOCTL_NRV_SET_SETTINGS, "IOCTL_NRV_SET_SETTINGS", parameter)) {
    case Outcome::kDone:
      return 1;
    case Outcome::kNotPublished:
      return WriteKey(parameter) ? 1 : 0;
    case Outcome::kFailed:
      break;
  }
  return 0;
}
