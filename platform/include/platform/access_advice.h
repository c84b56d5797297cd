// What to tell a user whom the file system refuses: who may reach a device root or a port, found
// from the file itself, and how to become one of them.
#pragma once

#include <string>

namespace platform {

// "the device root /r belongs to group norvik: add yourself with `adduser $USER norvik` and log in
// again", with `what` and `path` leading and the group read from the path itself; when its group
// may not use it either, says that only its owner may, and who that is.
std::string AccessAdvice(const std::string &what, const std::string &path);

// AccessAdvice for the first of the device root `root`, its run/ folder and `path` (called `what`)
// that this user may not pass, so that the advice names what actually refuses.
std::string DeviceRootAdvice(const std::string &root, const std::string &what, const std::string &path);

// The permission bits for a file or socket made in directory: the same classes of user that may
// write there may read and write it, the ones that may only read it may read, so that a device
// root shared by a group is shared in full and a private one stays private.
unsigned SharedFileMode(const std::string &directory);

// The short name of the running program, for lines that say who could not do something.
std::string ProgramName();

}  // namespace platform
