// CreateFileW: the names this platform opens are devices: a device published by the device
// manager ("NRV1:", or "COM1:" that devmgr lends) first, then a serial port ("COM1:"). In devmgr
// itself a serial port is always its own tty. There is no file system behind it.
#include "serial_port.h"
#include "client/device_client.h"
#include "platform/serial_port_lending.h"
#include "platform/text.h"

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD,
                                     HANDLE) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string_view name(lpFileName, platform::WideLength(lpFileName));
  if (dwCreationDisposition != OPEN_EXISTING) {
    // Devices exist or do not; they are never created by opening them.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool serial = platform::IsSerialPortName(name);
  if (serial && platform::LendsSerialPorts()) return platform::OpenSerialPort(name, dwDesiredAccess);
  if (platform::IsPublishedDevice(name)) return platform::OpenPublishedDevice(name, dwDesiredAccess, dwShareMode);
  if (serial) return platform::OpenSerialPort(name, dwDesiredAccess);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}
