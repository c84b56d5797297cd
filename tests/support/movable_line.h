// A serial line reached through a symbolic link, as a USB serial adapter is reached through its
// device path: the line hangs up when the adapter is pulled (the controller's end of its
// pseudo-terminal closes and the path goes away) and comes back as a fresh pseudo-terminal behind
// the same path when it is plugged in again. A line may also start unplugged, as an adapter that
// is plugged in only after the service started.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "test_root.h"

namespace testing_support {

class MovableLine {
 public:
  enum class Start { kPluggedIn, kUnplugged };

  // Creates the first pseudo-terminal and the link at linkPath to its slave, or, unplugged,
  // neither until PlugIn.
  explicit MovableLine(std::string linkPath, Start start = Start::kPluggedIn);
  ~MovableLine();
  MovableLine(const MovableLine &) = delete;
  MovableLine &operator=(const MovableLine &) = delete;

  // The path a port is mapped to.
  const std::string &path() const { return link_; }
  // The pseudo-terminal behind the path now; null while the line is gone.
  PseudoTerminal *line() const { return pty_.get(); }

  // Removes the path and closes the pseudo-terminal: a port that has it open sees a hang-up.
  void Pull();
  // A fresh pseudo-terminal, put behind the path in one rename; the path's missing folders are
  // made first, as udev makes /dev/serial/by-id for the first adapter.
  void PlugIn();

 private:
  std::string link_;
  std::unique_ptr<PseudoTerminal> pty_;
};

// A touch and its end at controller position (4096, 4096), as the controller sends them.
inline const std::string kTapBytes("\x90\x20\x00\x20\x00\x80\x20\x00\x20\x00", 10);

// The mouse events in a pointer log so far.
int LoggedMouseEvents(const std::string &logPath);

// Sends kTapBytes on the line and waits (up to `bound`) for the tap's two pointer events in the
// log; the milliseconds from `from` to the first of them, or -1 when it never came.
double TapToPointerMs(MovableLine &line, const std::string &logPath, std::chrono::steady_clock::time_point from,
                      std::chrono::milliseconds bound);

}  // namespace testing_support
