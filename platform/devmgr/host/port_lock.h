// Whether another process holds a tty's lock (flock), as a calibrating program does while it reads
// the controller: told from /proc/locks, without opening the tty, which could change its lines.
#pragma once

#include <string>

namespace devmgr {

bool IsLockedByAnother(const std::string &path);

}  // namespace devmgr
