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
// root/run, made on first use with the root's group and permission bits (group-writable and
// sticky too where the root is shared with its group). Empty, said once on standard error, when
// run/ is a symbolic link or not a directory.
std::string RunDirectory();

// For a program that acts for others on the device root (devmgr), before it reads anything there:
// true when the root is reached through folders only trusted owners can change
// (OpenTrustedDirectory), may be written by nobody else, holds no run/ that others could change,
// and its hive, when present, is a regular file of a trusted owner that nobody else may write.
// Otherwise prints one line naming what refuses and the fix, and returns false.
bool CheckTrustedDeviceRoot(const char *program);

}  // namespace platform
