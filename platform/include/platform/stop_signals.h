// SIGTERM and SIGINT, the signals that stop a program, taken one way by every program of the
// stand-in: blocked before any thread starts, so that no thread is ever interrupted by them, and
// taken from a descriptor the program polls, or by a thread of their own that calls it back.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace platform {

// Blocks SIGTERM and SIGINT in the calling thread; every thread it starts afterwards inherits the
// mask. Called before any thread starts, since one started earlier would take a signal by its
// default action and end the program there.
void BlockStopSignals();

// A close-on-exec descriptor that is readable while SIGTERM or SIGINT is pending, for a program
// that polls it beside its own descriptors; the signals are blocked first. -1, with errno set,
// when it cannot be made.
int OpenStopSignalDescriptor();

// Calls `onStop` with each SIGTERM or SIGINT as it arrives, on a thread of its own, from Start
// until Stop; the signals are blocked in every thread first. `onStop` runs beside the program's
// threads: it sets a flag or posts a message, never more.
class StopSignalWatcher {
 public:
  StopSignalWatcher() = default;
  ~StopSignalWatcher() { Stop(); }
  StopSignalWatcher(const StopSignalWatcher &) = delete;
  StopSignalWatcher &operator=(const StopSignalWatcher &) = delete;

  // False, with the reason in *error, when the thread cannot be started.
  bool Start(std::function<void(int signal)> onStop, std::string *error);
  // Ends the thread and waits for it; `onStop` is not called again.
  void Stop();

 private:
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

}  // namespace platform
