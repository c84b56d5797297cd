// Publishes one initialised device as a socket under the device root's run/ folder and serves the
// handles opened on it: each connection is one handle with its own thread, so a driver's entry
// points run concurrently for different handles, as they do on the device.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "host/stream_driver.h"

namespace devmgr {

class DeviceHost {
 public:
  DeviceHost(std::string socketPath, DWORD deviceContext, const StreamEntryPoints &entryPoints);
  // EndConnections and StopAccepting, when the caller has not.
  ~DeviceHost();
  DeviceHost(const DeviceHost &) = delete;
  DeviceHost &operator=(const DeviceHost &) = delete;

  // Replaces a socket file left by a device manager that is gone and listens on it; false with
  // *error saying why.
  bool Publish(std::string *error);
  // The listening socket, readable when a connection waits.
  int listener() const { return listener_; }
  // Takes one waiting connection and serves it on a thread of its own.
  void AcceptConnection();
  // Closes the listening socket and removes the socket file: new opens fail from here on.
  void StopAccepting();
  // Ends every connection, running the driver's Close for each handle still open, and waits for
  // their threads; a thread inside the driver is waited for until the driver returns.
  void EndConnections();

 private:
  struct Connection;
  void Serve(Connection &connection);
  void ReapFinished();

  std::string socketPath_;
  DWORD deviceContext_;
  StreamEntryPoints entryPoints_;
  int listener_ = -1;
  // Touched by the main thread only; each connection's thread sees just its own entry.
  std::list<std::unique_ptr<Connection>> connections_;
};

// True when a live device manager accepts connections on the socket path.
bool IsServedElsewhere(const std::string &socketPath);

}  // namespace devmgr
