// The driver as the device runs it, for end-to-end tests: devmgr loading libnorvik.so from the
// default installation of its key on a temporary device root, with COM1: a pseudo-terminal, and
// a bounded wait for a condition that other processes bring about.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "process.h"
#include "test_root.h"

namespace testing_support {

// Checks `condition` every millisecond until it holds or `bound` has passed; whether it held.
bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds bound);

class NorvikHost {
 public:
  // Writes the default device (COM1: on `line`) followed by `extraHive` to the root's registry,
  // starts devmgr and waits until NRV1: is published and the driver has looked for its port.
  NorvikHost(TempDeviceRoot &root, const PseudoTerminal &line, const std::string &extraHive = "");
  // Starts devmgr on the registry the root already holds.
  explicit NorvikHost(const TempDeviceRoot &root);
  // Stops devmgr with SIGTERM and reaps it.
  ~NorvikHost();
  NorvikHost(const NorvikHost &) = delete;
  NorvikHost &operator=(const NorvikHost &) = delete;

  // True once NRV1: was published and the driver found its port.
  bool Running() const { return running_; }
  ChildProcess &devmgr() { return *devmgr_; }

 private:
  std::unique_ptr<ChildProcess> devmgr_;
  bool running_ = false;
};

}  // namespace testing_support
