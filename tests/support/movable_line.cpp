// A serial line behind a symbolic link that can be pulled and plugged in again.
#include "movable_line.h"

#include "norvik_host.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace testing_support {

MovableLine::MovableLine(std::string linkPath, Start start) : link_(std::move(linkPath)) {
  if (start == Start::kPluggedIn) PlugIn();
}

MovableLine::~MovableLine() { unlink(link_.c_str()); }

void MovableLine::Pull() {
  unlink(link_.c_str());
  pty_.reset();
}

void MovableLine::PlugIn() {
  auto next = std::make_unique<PseudoTerminal>();
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(link_).parent_path(), error);
  // A reader of the path sees the old target or the new one, never no link at all; and the old
  // line hangs up only once the link has moved, so that the path never leads to its number after
  // it is free for another program's pseudo-terminal.
  const std::string staged = link_ + ".new";
  unlink(staged.c_str());
  if (symlink(next->slavePath().c_str(), staged.c_str()) != 0 || std::rename(staged.c_str(), link_.c_str()) != 0)
    throw std::runtime_error("cannot link " + link_ + " to " + next->slavePath());
  pty_ = std::move(next);
}

int LoggedMouseEvents(const std::string &logPath) {
  std::istringstream in(ReadFile(logPath));
  int events = 0;
  for (std::string line; std::getline(in, line);) events += line.rfind("mouse_event ", 0) == 0;
  return events;
}

double TapToPointerMs(MovableLine &line, const std::string &logPath, std::chrono::steady_clock::time_point from,
                      std::chrono::milliseconds bound) {
  const int before = LoggedMouseEvents(logPath);
  line.line()->Send(kTapBytes);
  if (!WaitUntil([&] { return LoggedMouseEvents(logPath) > before; }, bound)) return -1;
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
  WaitUntil([&] { return LoggedMouseEvents(logPath) >= before + 2; }, bound);
  return ms;
}

}  // namespace testing_support
