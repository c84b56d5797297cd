// Control calls on "NRV1:". The driver refuses a second handle without a reason of its own, which
// reaches the caller as ERROR_OPEN_FAILED: that is the busy device, tried again every 2 ms for up
// to a second. A client holds the device for one control call, well under a millisecond.
#include "device_call.h"

#include "norvik_device.h"

namespace {

constexpr DWORD kBusyBound = 1000;
constexpr DWORD kRetryPause = 2;

}  // namespace

DeviceOutcome CallDriver(const char *caller, DWORD code, const char *codeName, void *in, DWORD inSize, void *out,
                         DWORD outSize) {
  const DWORD started = GetTickCount();
  HANDLE device;
  for (;;) {
    device = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) break;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_DEV_NOT_EXIST) return DeviceOutcome::kNotPublished;
    if (error == ERROR_TIMEOUT) {
      NKDbgPrintfW(TEXT("calibkit: %a: the driver does not answer (devmgr is stopped or hung): restart it ")
                       TEXT("(systemctl restart norvik@NAME); %a was not issued\r\n"),
                   caller, codeName);
      return DeviceOutcome::kFailed;
    }
    if (error != ERROR_OPEN_FAILED) {
      NKDbgPrintfW(TEXT("calibkit: %a: cannot open NRV1: (error %u); %a was not issued\r\n"), caller, error, codeName);
      return DeviceOutcome::kFailed;
    }
    if (GetTickCount() - started >= kBusyBound) {
      NKDbgPrintfW(TEXT("calibkit: %a: NRV1: stayed busy for %u ms (another client holds its only handle); ")
                       TEXT("%a was not issued\r\n"),
                   caller, kBusyBound, codeName);
      return DeviceOutcome::kFailed;
    }
    Sleep(kRetryPause);
  }
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, code, in, inSize, out, outSize, &returned, nullptr);
  DWORD error = GetLastError();
  CloseHandle(device);
  if (!ok && error == ERROR_TIMEOUT) {
    NKDbgPrintfW(TEXT("calibkit: %a: the driver does not answer %a (devmgr is stopped or hung): restart it ")
                     TEXT("(systemctl restart norvik@NAME)\r\n"),
                 caller, codeName);
    return DeviceOutcome::kFailed;
  }
  if (!ok) {
    NKDbgPrintfW(TEXT("calibkit: %a: %a on NRV1: failed with error %u\r\n"), caller, codeName, error);
    return DeviceOutcome::kFailed;
  }
  return DeviceOutcome::kDone;
}
