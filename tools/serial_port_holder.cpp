// Finds the holder of a tty's flock in /proc/locks ("1: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE
// 0 EOF", the device numbers in hexadecimal), and reads its name and --root from /proc.
#include "serial_port_holder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace {

std::string CommandLineRoot(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string argument;
  bool next = false;
  while (std::getline(in, argument, '\0')) {
    if (next) return argument;
    if (argument == "--root") next = true;
    else if (argument.compare(0, 7, "--root=") == 0) return argument.substr(7);
  }
  return {};
}

}  // namespace

bool FindPortHolder(int fd, PortHolder *holder) {
  struct stat tty {};
  if (fstat(fd, &tty) != 0) return false;
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    // A waiter's line has "->" after the number; it holds nothing.
    if (!(fields >> number >> kind >> mode >> access >> pid >> file) || kind != "FLOCK") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (makedev(major, minor) != tty.st_dev || inode != tty.st_ino || pid == getpid()) continue;
    holder->pid = static_cast<pid_t>(pid);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    // Both are the holder's to choose, and go to root's terminal: shown escaped.
    std::getline(comm, holder->program);
    holder->program = platform::Printable(holder->program);
    holder->root = platform::Printable(CommandLineRoot(holder->pid));
    return true;
  }
  return false;
}
