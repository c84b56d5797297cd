// The device root: the directory that stands for one device's persistent state (its registry
// hive) and its rendezvous points (run/). Every program of the project works on one.
#pragma once

#include <string>

namespace platform {

// Takes "--root DIR" (or "--root=DIR") out of argv when present and makes it the device root;
// otherwise the environment variable DEVICE_ROOT is used. Returns false, after printing what to
// do on standard error, when neither names a directory.
bool InitDeviceRoot(int &argc, char **argv, const char *program);

void SetDeviceRoot(const std::string &directory);
// The current device root, or an empty string when none was set and DEVICE_ROOT is unset.
std::string DeviceRoot();
// root/registry.reg
std::string RegistryPath();
// root/run, created on first use.
std::string RunDirectory();

}  // namespace platform
