// Whole-line writes to standard error and standard output.
#include "host/log.h"

#include <unistd.h>

#include <cerrno>

namespace devmgr {
namespace {

void WriteLine(int fd, const std::string &text) {
  std::string line = "devmgr: " + text + "\n";
  size_t written = 0;
  while (written < line.size()) {
    ssize_t n = write(fd, line.data() + written, line.size() - written);
    if (n > 0) written += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR) return;
  }
}

}  // namespace

void LogError(const std::string &text) { WriteLine(STDERR_FILENO, text); }

void Announce(const std::string &text) { WriteLine(STDOUT_FILENO, text); }

}  // namespace devmgr
