// Publishes one initialised device as a socket under the device root's run/ folder and serves the
// handles opened on it: each connection is one handle with its own thread, at an ordinary
// priority, so a driver's entry points run concurrently for different handles, as they do on the
// device; at most kMaxConnections at once.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/stream_driver.h"
#include "host/user_lines.h"

namespace devmgr {

class DeviceHost {
 public:
  // Connections served at once; one more is refused at once. The driver admits one open handle
  // and every program holds its handle for one call, so only handles left open fill it.
  static constexpr size_t kMaxConnections = 16;
  // Of those, what one user may hold at once (root and devmgr's own user aside), so that no member
  // keeps every other user out.
  static constexpr size_t kConnectionsPerUser = 4;
  // A connection that has opened no handle (a program that connected and sent nothing, or one
  // whose open the driver refused and that stays) is ended after this long.
  static constexpr std::chrono::seconds kIdleLimit{10};

  // portUser tags the serial ports the driver opens while serving this device's handles
  // (platform::SetSerialPortUser), so that a port query can name them.
  DeviceHost(std::string deviceName, std::string socketPath, DWORD deviceContext,
             const StreamEntryPoints &entryPoints, unsigned portUser);
  // EndConnections and StopAccepting, when the caller has not.
  ~DeviceHost();
  DeviceHost(const DeviceHost &) = delete;
  DeviceHost &operator=(const DeviceHost &) = delete;

  // Listens on a new socket made with its final mode under a random name, then puts it at the
  // device's path in one step, replacing whatever is there (a socket left by a devmgr, or, when
  // devmgr owns run/, anything else, with a line naming whose it was); false with *error saying
  // why and how to mend it.
  bool Publish(std::string *error);
  // The listening socket, readable when a connection waits.
  int listener() const { return listener_; }
  // Takes one waiting connection and serves it on a thread of its own, or refuses it when
  // kMaxConnections are served.
  void AcceptConnection();
  // Closes the listening socket and removes the socket file: new opens fail from here on.
  void StopAccepting();
  // Ends every connection, running the driver's Close for each handle still open, and waits for
  // their threads; a thread inside the driver is waited for until the driver returns.
  void EndConnections();

  // Runs body while no handle of this device is inside the driver, and none enters it: devmgr
  // starting the driver again must not run beside a handle's call that starts or stops it.
  template <class Body>
  void WithDriverToItself(Body body) {
    std::unique_lock lock(driverCalls_);
    InDriver timed(*this);
    body();
  }

  const std::string &deviceName() const { return deviceName_; }
  // Who holds the device's open handles: "alice (calvex, pid 812)", several separated by "; ".
  std::string HoldersOfHandles() const;
  // Ends the connections that hold a handle, without waiting: their threads close the handles.
  void EndHolders();
  // How long the oldest call now inside the driver (a handle's, or devmgr's own start) has been
  // there; zero when none is.
  std::chrono::steady_clock::duration LongestCallInDriver() const;
  // When a program last asked the device anything (an open, a call, a close); the publication
  // counts as one.
  std::chrono::steady_clock::time_point LastRequest() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastRequest_.load()));
  }

 private:
  struct Connection;
  // Marks a call inside the driver for as long as it lives, for LongestCallInDriver.
  class InDriver {
   public:
    explicit InDriver(DeviceHost &host);
    ~InDriver();
    InDriver(const InDriver &) = delete;
    InDriver &operator=(const InDriver &) = delete;

   private:
    DeviceHost &host_;
    std::list<std::chrono::steady_clock::time_point>::iterator entry_;
  };
  // Gives a connection to a thread that waits for work, or to a new one; false when none can be had.
  bool HandOver(Connection *connection);
  // A serving thread: takes connections one after the other until the device stops.
  void Work();
  void Serve(Connection &connection);
  static bool TakesAPlace(const Connection &connection);
  void ReapFinished();
  size_t Served() const;
  size_t ServedFor(uid_t user) const;
  // Who holds this device's connections, for a refusal's line: "alice (4), bob (1)".
  std::string Holders() const;
  // Refuses a connection of `user`, saying why at most once a minute for each kind and user.
  void Refuse(int fd, const char *kind, uid_t user, const std::string &why);
  // The connections that hold an open handle of the driver, as their threads open and close them.
  void Hold(Connection &connection, bool holding);
  // Ends every connection that holds a handle, for root's `by`, and waits for their Close; who held
  // them, as HoldersOfHandles names them.
  std::string TakeBack(const std::string &by);

  std::string deviceName_;
  std::string socketPath_;
  DWORD deviceContext_;
  StreamEntryPoints entryPoints_;
  unsigned portUser_;
  // Shared by the handles' calls into the driver, taken whole by WithDriverToItself.
  std::shared_mutex driverCalls_;
  // When each call now inside the driver entered it, oldest first.
  mutable std::mutex callsInDriverMutex_;
  std::list<std::chrono::steady_clock::time_point> callsInDriver_;
  int listener_ = -1;
  // The socket file devmgr made, removed on stop only while it is still that file.
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  // Touched by the main thread only; each connection's thread sees just its own entry.
  std::list<std::unique_ptr<Connection>> connections_;
  mutable std::mutex holdersMutex_;
  std::condition_variable holdersChanged_;
  std::vector<Connection *> holders_;
  std::atomic<std::chrono::steady_clock::rep> lastRequest_{std::chrono::steady_clock::now().time_since_epoch().count()};
  // The threads that serve connections, kept for the next one rather than made for each.
  std::mutex workMutex_;  // guards what follows
  std::condition_variable workWaiting_;
  std::condition_variable workDone_;
  std::deque<Connection *> pending_;
  size_t idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  // Opens of the driver, one at a time.
  std::mutex opens_;
  // What devmgr says about the programs of each user, bounded per user.
  UserLines lines_;
};

// True when a live device manager accepts connections on the socket path: a socket (not a
// symbolic link) owned by root, this user, the service's account or the owner of its folder.
bool IsServedElsewhere(const std::string &socketPath);

// Lowers the calling thread to SCHED_OTHER (and to nice 0 from below it). Serving a handle or
// accepting a connection is ordinary work: devmgr may run at a real-time priority for the
// drivers' own threads (CreateThread gives them the process's start priority), and a client must
// not take the processor from them by keeping devmgr busy. Lowering needs no privilege.
void RunAsOrdinaryThread();

}  // namespace devmgr
