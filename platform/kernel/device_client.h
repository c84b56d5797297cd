// The client side of devices published by the device manager: CreateFileW on "XXXn:" connects
// to the device's socket under the device root's run/ folder.
#pragma once

#include <string_view>

#include <windows.h>

namespace platform {

// True when a device of that name ("NRV1:") is published under the current device root.
bool IsPublishedDevice(std::u16string_view name);
// Opens the device (the driver's Open entry point runs in the device manager); on failure
// INVALID_HANDLE_VALUE with the last error set.
HANDLE OpenPublishedDevice(std::u16string_view name, DWORD desiredAccess, DWORD shareMode);

}  // namespace platform
