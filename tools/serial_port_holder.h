// Who holds a tty as a serial line: the program that has its flock, as the kernel lists it, found
// without taking the lock (which would keep a devmgr that opens the tty that moment from it).
#pragma once

#include <sys/types.h>

#include <string>

struct PortHolder {
  pid_t pid = 0;
  std::string program;  // its command name, e.g. "devmgr"; empty when it cannot be read
  std::string root;     // the device root given to it with --root, if any
};

// The holder of the flock on what `fd` opened, other than this process; false when none holds it.
bool FindPortHolder(int fd, PortHolder *holder);
