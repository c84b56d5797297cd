// Answers the service manager's watchdog ("WATCHDOG=1" at half its period) only while devmgr
// makes progress: the thread that accepts connections answers a question each period, and no call
// has been inside a driver for longer than a client waits. A devmgr that is stopped (SIGSTOP) or
// deadlocked thus falls silent, and the service manager ends and restarts it as a crashed one.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/service_notifier.h"

namespace devmgr {

class ServiceWatchdog {
 public:
  // Says what is stuck, or nothing while all is well.
  using Check = std::function<std::string()>;

  ServiceWatchdog(ServiceNotifier &notifier, std::vector<Check> checks);
  ~ServiceWatchdog() { Stop(); }
  ServiceWatchdog(const ServiceWatchdog &) = delete;
  ServiceWatchdog &operator=(const ServiceWatchdog &) = delete;

  // Starts the thread that answers the watchdog, when the service manager asked for one; false
  // with *error saying why it cannot.
  bool Start(std::string *error);
  // Ends that thread; the service manager hears nothing more from it.
  void Stop();

  // Readable when the watchdog asks the accepting thread whether it is alive; -1 when it never
  // asks. The accepting thread calls Answer once it is readable.
  int question() const { return question_; }
  void Answer();
  // The accepting thread has ended (devmgr is stopping): it is no longer asked.
  void AcceptingEnded() { acceptorWatched_ = false; }

 private:
  void Run(std::chrono::microseconds interval);
  std::string Stuck() const;

  ServiceNotifier &notifier_;
  std::vector<Check> checks_;
  int question_ = -1;
  int stop_ = -1;
  std::atomic<bool> acceptorWatched_{true};
  std::atomic<unsigned long> asked_{0};
  std::atomic<unsigned long> answered_{0};
  std::chrono::steady_clock::time_point askedAt_{};
  std::thread thread_;
};

}  // namespace devmgr
