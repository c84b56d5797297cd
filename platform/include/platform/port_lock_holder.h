// Who holds a tty's lock (flock), as a program that has the controller's line does: told from
// /proc/locks, without opening the tty, which could change its lines.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace platform {

// The id of a process other than this one that holds a flock on the file `file` (its st_dev and
// st_ino), or 0 when none does.
pid_t FlockHolder(const struct stat &file);

}  // namespace platform
