// An X server for graphical tests: Xvfb on a display number it picks itself, 1024x768 unless the
// test asks for the device's screen size.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "process.h"

namespace testing_support {

// The full path of a program found on PATH.
std::optional<std::string> FindProgram(const std::string &name);

// Waits until X11 window `window` (its id in decimal, as xdotool prints it) of `display` takes
// input: the platform's rendering sets the window's property _GWES_TAKES_INPUT to 1 once it has
// painted it, while its dialog takes input. False when that does not happen within `bound`.
bool WaitUntilTakesInput(const std::string &display, const std::string &window, std::chrono::milliseconds bound);

// Starts Xvfb; -displayfd prints the display number once the server accepts connections, so
// waiting for that line is waiting for the server.
class XServer {
 public:
  // `screen` is Xvfb's WIDTHxHEIGHTxDEPTH.
  explicit XServer(const std::string &program, const std::string &screen = "1024x768x24");
  ~XServer() { Stop(); }
  XServer(const XServer &) = delete;
  XServer &operator=(const XServer &) = delete;

  // ":N", or empty when the server did not come up.
  const std::string &display() const { return display_; }
  std::string Errors() const { return process_.Output(Stream::kStderr); }
  void Stop();

 private:
  ChildProcess process_;
  std::string display_;
  bool stopped_ = false;
};

}  // namespace testing_support
