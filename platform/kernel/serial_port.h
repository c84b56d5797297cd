// Serial ports: "COMn:" names mapped to Linux ttys through HKLM\Platform\Serial.
#pragma once

#include <string_view>

#include <windows.h>

namespace platform {

// True for "COM0:" to "COM9:" (any letter case).
bool IsSerialPortName(std::u16string_view name);
// Opens the tty that the port name maps to, exclusively; INVALID_HANDLE_VALUE with the last error
// set on failure.
HANDLE OpenSerialPort(std::u16string_view name, DWORD desiredAccess);

}  // namespace platform
