// A serial line behind a symbolic link that can be pulled and plugged in again.
#include "movable_line.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testing_support {

MovableLine::MovableLine(std::string linkPath) : link_(std::move(linkPath)) { PlugIn(); }

MovableLine::~MovableLine() { unlink(link_.c_str()); }

void MovableLine::Pull() {
  unlink(link_.c_str());
  pty_.reset();
}

void MovableLine::PlugIn() {
  pty_ = std::make_unique<PseudoTerminal>();
  // A reader of the path sees the old target or the new one, never no link at all.
  const std::string staged = link_ + ".new";
  unlink(staged.c_str());
  if (symlink(pty_->slavePath().c_str(), staged.c_str()) != 0 || std::rename(staged.c_str(), link_.c_str()) != 0)
    throw std::runtime_error("cannot link " + link_ + " to " + pty_->slavePath());
}

}  // namespace testing_support
