// Finds the holder of a tty's flock (platform::FlockHolder), and reads its name and --root from
// /proc.
#include "serial_port_holder.h"

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/port_lock_holder.h"
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
  const pid_t pid = platform::FlockHolder(tty);
  if (pid == 0) return false;
  holder->pid = pid;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  // Both are the holder's to choose, and go to root's terminal: shown escaped.
  std::getline(comm, holder->program);
  holder->program = platform::Printable(holder->program);
  holder->root = platform::Printable(CommandLineRoot(holder->pid));
  return true;
}
