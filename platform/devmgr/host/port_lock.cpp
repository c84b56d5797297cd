// /proc/locks has one line per lock: "1: FLOCK  ADVISORY  WRITE 812 08:02:1234 0 EOF", the device
// numbers in hexadecimal; a waiter's line has "->" after its number and holds nothing.
#include "host/port_lock.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace devmgr {

bool IsLockedByAnother(const std::string &path) {
  struct stat tty {};
  if (path.empty() || stat(path.c_str(), &tty) != 0) return false;
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> file) || kind != "FLOCK") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (makedev(major, minor) == tty.st_dev && inode == tty.st_ino && pid != getpid()) return true;
  }
  return false;
}

}  // namespace devmgr
