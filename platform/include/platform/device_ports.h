// Which serial ports a published device's driver holds, as the device manager that serves it
// knows them: a client that has just started a driver asks, to say whether the start got the
// driver its port.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct DevicePort {
  // kLent: the driver does not hold it, a program that calibrates has it on loan (reason: who).
  enum class State { kHeld, kFailed, kClosed, kLent };
  std::string port;  // "COM1:"
  std::string path;  // the tty it is mapped to; empty when the mapping names none
  State state = State::kClosed;
  // kFailed: devmgr takes the port up (starts the driver again) once its path changes, for the
  // failure may end with it (a missing tty, a refused one).
  bool mayAppear = false;
  std::string reason;  // kFailed: why it cannot be opened
};

// The ports that the driver of `device` ("NRV1:") opened or tried to, on this device root; false
// with the last error set when its device manager cannot be asked. The driver's own handle is not
// needed: the question never reaches the driver.
bool QueryDevicePorts(std::u16string_view device, std::vector<DevicePort> *ports);

// For a driver just started: "the port COM1: (/dev/ttyUSB0) cannot be opened: REASON; WHAT NEXT"
// for the first port that it tried and does not hold, or empty when it holds every port it tried.
// When devmgr cannot be asked, says so (the last error tells why).
std::string PortNotHeld(std::u16string_view device);

// Who holds the device's open handles, as devmgr names them ("alice (calvex, pid 812)", several
// separated by "; "; empty for none). With `takeBack`, which devmgr grants root alone, those
// handles are closed first and *holders names who had them. False with the last error set when
// devmgr cannot be asked or refuses (ERROR_ACCESS_DENIED).
bool QueryDeviceHolders(std::u16string_view device, bool takeBack, std::string *holders);

// CreateFileW for root on a device whose handle another program may hold: devmgr ends the other
// handles and opens this one in one step, *takenFrom naming who held them (empty for nobody). A
// handle, or INVALID_HANDLE_VALUE with the last error set (ERROR_ACCESS_DENIED for anyone else
// than root).
void *OpenDeviceTakingBack(std::u16string_view device, unsigned long desiredAccess, std::string *takenFrom);

}  // namespace platform
