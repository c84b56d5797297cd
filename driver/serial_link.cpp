// The serial link: one attempt per start, no retries, nothing ever written to the controller.
#include "serial_link.h"

#include "debug_zones.h"
#include "driver_state.h"
#include "settings_store.h"

namespace {

void ClosePort() {
  CloseHandle(driverState.portHandle);
  driverState.portHandle = nullptr;
}

}  // namespace

BOOL DetectSerialPort() {
  TRACE_FUNCTION("+DetectSerialPort");
  LoadDriverSettings();

  driverState.portHandle = CreateFileW(driverState.portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (driverState.portHandle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DEBUGMSG(ZONE_ERROR, (TEXT("Norvik : Fail to open %s. Error %d\r\n"), driverState.portName, error));
    driverState.portHandle = nullptr;
    return FALSE;
  }

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(driverState.portHandle, &dcb)) {
    DWORD error = GetLastError();
    DEBUGMSG(ZONE_ERROR, (TEXT("SerMouse : GetCommState error %d\r\n"), error));
    ClosePort();
    return FALSE;
  }
  DEBUGMSG(ZONE_INIT, (TEXT("SerMouse : GetCommState okay.\r\n")));

  dcb.BaudRate = driverState.settings.BaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(driverState.portHandle, &dcb)) {
    DWORD error = GetLastError();
    DEBUGMSG(ZONE_ERROR, (TEXT("SerMouse : SetCommState error %d\r\n"), error));
    ClosePort();
    return FALSE;
  }
  DEBUGMSG(ZONE_INIT, (TEXT("SerMouse : SetCommState okay.\r\n")));

  return InitSerialPort();
}

BOOL InitSerialPort() {
  TRACE_FUNCTION("+InitSerialPort");

  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(driverState.portHandle, &timeouts)) {
    RETAILMSG(1, (TEXT("GetCommTimeouts error %d\r\n"), GetLastError()));
    return FALSE;
  }
  // Reads return at once with what is buffered, or wait at most 5 ms for the first byte, so the
  // read thread sees a stop request within a few milliseconds even while reading.
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 5;
  if (!SetCommTimeouts(driverState.portHandle, &timeouts)) {
    RETAILMSG(1, (TEXT("SetCommTimeouts error %d\r\n"), GetLastError()));
    return FALSE;
  }

  if (!SetCommMask(driverState.portHandle, EV_RXCHAR)) {
    DEBUGMSG(ZONE_ERROR, (TEXT("Error from SetCommMask  %d\r\n"), GetLastError()));
    return FALSE;
  }
  return TRUE;
}
