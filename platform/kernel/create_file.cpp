// CreateFileW: the names this platform opens are devices: a device that another process of the
// device root publishes ("NRV1:", or "COM1:" that devmgr lends), else a serial port ("COM1:"),
// whose tty is opened here. A device this process publishes itself is never reached through its
// own socket. There is no file system behind it.
#include "device_client.h"
#include "serial_port.h"
#include "platform/serial_port_owner.h"
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
  if (!platform::IsServedHere(name) && platform::IsPublishedDevice(name))
    return platform::OpenPublishedDevice(name, dwDesiredAccess, dwShareMode);
  if (platform::IsSerialPortName(name)) {
    platform::NoteSerialPortOpening(platform::ToUtf8(name));
    return platform::OpenSerialPort(name, dwDesiredAccess);
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}
