// Xvfb for graphical tests.
#include "x_server.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace testing_support {

std::optional<std::string> FindProgram(const std::string &name) {
  const char *path = getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

XServer::XServer(const std::string &program, const std::string &screen)
    : process_(program, {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"}) {
  std::optional<std::string> number = process_.WaitForLine(Stream::kStdout, "", std::chrono::seconds(20));
  if (number) display_ = ":" + *number;
}

void XServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  process_.Signal(SIGTERM);
  process_.WaitForExit(std::chrono::seconds(20));
}

}  // namespace testing_support
