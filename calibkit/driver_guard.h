// The guard of a stopped driver: while a calibration has the driver stopped, the program calguard
// waits on the calibrating program and starts the driver again should that program end before
// the run has done so itself. The run stops the guard once the driver runs again.
#pragma once

#include <windows.h>

class DriverGuard {
 public:
  DriverGuard() = default;
  ~DriverGuard() { Stop(); }
  DriverGuard(const DriverGuard &) = delete;
  DriverGuard &operator=(const DriverGuard &) = delete;

  // Starts calguard, found beside the running program, to watch this process. False, said on the
  // debug output with `caller`, when it cannot be started: the run goes on unguarded.
  bool Start(const char *caller);
  // Ends the guard, if there is one, and waits until it has gone.
  void Stop();
  // Lets the guard go on watching on its own: it starts the driver once this program ends.
  void Detach();

 private:
  HANDLE guard_ = nullptr;
};
