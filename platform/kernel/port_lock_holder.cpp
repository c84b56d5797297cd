// /proc/locks has one line per lock: "1: FLOCK  ADVISORY  WRITE 812 08:02:1234 0 EOF", the device
// numbers in hexadecimal; a waiter's line has "->" after its number and holds nothing.
#include "platform/port_lock_holder.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace platform {

pid_t FlockHolder(const struct stat &file) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, lockedFile;
    long pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> lockedFile) || kind != "FLOCK") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(lockedFile.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (makedev(major, minor) == file.st_dev && inode == file.st_ino && pid != getpid()) return static_cast<pid_t>(pid);
  }
  return 0;
}

}  // namespace platform
