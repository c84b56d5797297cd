// Where a serial port leads: the tty that HKLM\Platform\Serial names for "COMn:", or the
// conventional /dev/ttyS<n-1> when the registry does not say.
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

namespace platform {

// Sets *path to the tty of portName, which must be a serial port name ("COM1:", any letter
// case). Returns 0, or the error CreateFileW fails with: ERROR_FILE_NOT_FOUND when the registry
// value is not a non-empty REG_SZ, or for COM0:, which has no default; a registry error as it came.
DWORD SerialTtyPath(std::u16string_view portName, std::string *path);

}  // namespace platform
