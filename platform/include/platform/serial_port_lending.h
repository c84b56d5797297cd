// A serial port that the service lends: programs other than devmgr reach a port that devmgr
// publishes ("COM1:" beside "NRV1:") through it, so that only the service opens the controller's
// tty. On such a handle ReadFile, WriteFile and the comm calls each become one call that devmgr
// carries out on the tty; WaitCommEvent is not served (ERROR_NOT_SUPPORTED).
#pragma once

#include <string>

#include <windows.h>

namespace platform {

// The control codes that carry a comm call to the port's lender: the call's input structure in,
// its output structure out.
enum LentPortCall : DWORD {
  kLentGetCommState = 0x001B0004,     // out: DCB
  kLentSetCommState = 0x001B0008,     // in: DCB
  kLentGetCommTimeouts = 0x001B000C,  // out: COMMTIMEOUTS
  kLentSetCommTimeouts = 0x001B0010,  // in: COMMTIMEOUTS
  kLentGetCommMask = 0x001B0014,      // out: DWORD
  kLentSetCommMask = 0x001B0018,      // in: DWORD
  kLentPurgeComm = 0x001B001C,        // in: DWORD
};

// Makes this process the one that opens serial ports itself (devmgr calls it before it loads a
// driver): "COMn:" never leads to a published device here, and before each serial open that
// `takeBack` does not make itself, takeBack("COM1:") ends whatever this process lent of that port.
using SerialPortTakeBack = void (*)(const std::string &port);
void LendSerialPorts(SerialPortTakeBack takeBack);
bool LendsSerialPorts();

}  // namespace platform
