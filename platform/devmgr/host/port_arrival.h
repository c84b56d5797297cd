// Waits for the serial ports that drivers could not open: when the path of such a port appears,
// or changes (a link pointed at a new tty, a node given its group by udev), the driver that tried
// it is started again, as the device's own device manager reloads a driver when a plug-and-play
// port arrives. Inotify on the folders that lead to each path, so waiting costs nothing.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <thread>

#include "platform/serial_port_use.h"

namespace devmgr {

class PortArrival {
 public:
  // Called on the watching thread with the port's last record; `use.user` names the device.
  using Retake = std::function<void(const platform::SerialPortUse &use)>;

  explicit PortArrival(Retake retake) : retake_(std::move(retake)) {}
  ~PortArrival() { Stop(); }
  PortArrival(const PortArrival &) = delete;
  PortArrival &operator=(const PortArrival &) = delete;

  // Starts the watching thread; false with *error saying why it cannot watch.
  bool Start(std::string *error);
  // Ends the watching thread, waiting for a start it is making to return.
  void Stop();

 private:
  void Run();
  // Watches the folders that lead to every waiting port's path; returns the ports to take up now.
  std::vector<platform::SerialPortUse> Look();

  Retake retake_;
  int inotify_ = -1;
  int stop_ = -1;
  std::thread thread_;
  // For each port: the failure already answered, and the path's state when it was answered.
  struct Answered {
    uint64_t failure = 0;
    platform::PathState path;
  };
  std::map<std::string, Answered> answered_;
};

// The folders whose entries decide where `path` leads: the nearest existing folder on the way to
// it and, for each symbolic link on the way, the same for its target (at most 8 links deep).
std::vector<std::string> FoldersLeadingTo(const std::string &path);

}  // namespace devmgr
