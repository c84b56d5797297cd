// Tells the service manager that started devmgr how it is doing, by the notification protocol of
// systemd: datagrams such as "READY=1" or "WATCHDOG=1" to the socket $NOTIFY_SOCKET names. Without
// that variable (devmgr started by hand, by a test, by the demo) nothing is sent.
#pragma once

#include <chrono>
#include <string>

namespace devmgr {

class ServiceNotifier {
 public:
  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID and removes them from the environment, so
  // that no program the drivers start takes them for its own.
  ServiceNotifier();
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier &) = delete;
  ServiceNotifier &operator=(const ServiceNotifier &) = delete;

  // Whether a service manager listens.
  bool enabled() const { return fd_ >= 0; }
  // The watchdog period the service manager asked for, or zero when it watches nothing (or
  // watches another process: WATCHDOG_PID).
  std::chrono::microseconds watchdogPeriod() const { return watchdogPeriod_; }
  // Sends one message ("READY=1"); false when it could not be sent (nothing listens any more).
  bool Send(const std::string &message);

 private:
  int fd_ = -1;
  std::string address_;  // the socket's path; a leading '\0' names the abstract namespace
  std::chrono::microseconds watchdogPeriod_{0};
};

}  // namespace devmgr
