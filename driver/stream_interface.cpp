// The stream interface: the library entry, the ten NRV_ entry points the device manager calls,
// and the device-control codes. The device and open contexts are both the constant 1: all state
// is global, and one handle may be open at a time.
#include <cstring>

#include "driver_lifecycle.h"
#include "driver_state.h"
#include "norvik_device.h"
#include "settings_store.h"
#include "stream_interface.h"

namespace {

BOOL Refuse() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Words 1-11 of the record, the part the settings codes carry; word 0 is neither read nor written.
const size_t kSettingsWordsOffset = offsetof(DriverSettings, LLX);
const size_t kSettingsWordsSize = sizeof(DriverSettings) - kSettingsWordsOffset;

BOOL SetSettings(const BYTE *in, DWORD inLength) {
  if (in == nullptr || inLength < sizeof(DriverSettings)) return Refuse();
  DriverSettings settings{};
  std::memcpy(reinterpret_cast<BYTE *>(&settings) + kSettingsWordsOffset, in + kSettingsWordsOffset,
              kSettingsWordsSize);
  driverState.settings.Assign(settings);
  SaveDriverSettings(driverState.settings.Copy());
  return TRUE;
}

BOOL GetSettings(BYTE *out, DWORD outLength, DWORD *returned) {
  DriverSettings settings = LoadDriverSettings();
  if (out == nullptr || outLength < sizeof(DriverSettings)) return Refuse();
  std::memcpy(out + kSettingsWordsOffset, reinterpret_cast<const BYTE *>(&settings) + kSettingsWordsOffset,
              kSettingsWordsSize);
  if (returned != nullptr) *returned = sizeof(DriverSettings);
  return TRUE;
}

BOOL GetPortName(BYTE *out, DWORD outLength, DWORD *returned) {
  if (out == nullptr || outLength < sizeof driverState.portName) return Refuse();
  std::memcpy(out, driverState.portName, sizeof driverState.portName);
  if (returned != nullptr) *returned = sizeof driverState.portName;
  return TRUE;
}

BOOL GetFixedValue(BYTE *out, DWORD outLength, DWORD *returned) {
  if (out == nullptr || outLength < sizeof(DWORD)) return Refuse();
  const DWORD value = NORVIK_FIXED_VALUE;
  std::memcpy(out, &value, sizeof value);
  if (returned != nullptr) *returned = sizeof value;
  return TRUE;
}

// Refuses a buffer that cannot take the count before taking it, so no report is lost.
BOOL ReadReportCount(BYTE *out, DWORD outLength) {
  if (out == nullptr || outLength < sizeof(DWORD)) return Refuse();
  DWORD count = driverState.reportCount.exchange(0);
  std::memcpy(out, &count, sizeof count);
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID) {
  if (dwReason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(static_cast<HMODULE>(hinstDLL));
  return TRUE;
}

extern "C" DWORD NRV_Init(LPCWSTR, LPCVOID) {
  StartDriver();
  return 1;
}

extern "C" BOOL NRV_Deinit(DWORD) { return StopDriver(); }

extern "C" DWORD NRV_Open(DWORD, DWORD, DWORD) {
  LONG closed = 0;
  return driverState.isOpen.compare_exchange_strong(closed, 1) ? 1 : 0;
}

extern "C" BOOL NRV_Close(DWORD) {
  driverState.isOpen = 0;
  return TRUE;
}

extern "C" DWORD NRV_Read(DWORD, LPVOID, DWORD) { return 0; }

extern "C" DWORD NRV_Write(DWORD, LPCVOID, DWORD) { return 0; }

extern "C" DWORD NRV_Seek(DWORD, long, WORD) { return static_cast<DWORD>(-1); }

extern "C" void NRV_PowerUp(DWORD) {}

extern "C" void NRV_PowerDown(DWORD) {}

extern "C" BOOL NRV_IOControl(DWORD, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn, PBYTE pBufOut, DWORD dwLenOut,
                              PDWORD pdwActualOut) {
  switch (dwCode) {
    case IOCTL_NRV_STOP:
      StopDriver();
      return TRUE;
    case IOCTL_NRV_START:
      StartDriver();
      return TRUE;
    case IOCTL_NRV_SET_SETTINGS:
      return SetSettings(pBufIn, dwLenIn);
    case IOCTL_NRV_GET_SETTINGS:
      return GetSettings(pBufOut, dwLenOut, pdwActualOut);
    case IOCTL_NRV_GET_PORT_NAME:
      return GetPortName(pBufOut, dwLenOut, pdwActualOut);
    case IOCTL_NRV_GET_FIXED_VALUE:
      return GetFixedValue(pBufOut, dwLenOut, pdwActualOut);
    case IOCTL_NRV_RESET_REPORT_COUNT:
      driverState.reportCount = 0;
      return TRUE;
    case IOCTL_NRV_READ_REPORT_COUNT:
      return ReadReportCount(pBufOut, dwLenOut);
    case IOCTL_NRV_RESERVED_102:
    case IOCTL_NRV_RESERVED_105:
    case IOCTL_NRV_RESERVED_106:
    case IOCTL_NRV_RESERVED_107:
    case IOCTL_NRV_RESERVED_108:
      return TRUE;
    default:
      return FALSE;
  }
}
