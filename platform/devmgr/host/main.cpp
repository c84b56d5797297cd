// devmgr, the device manager: loads the drivers listed under HKLM\Drivers\BuiltIn in the device
// root's registry, publishes their devices to every process on the same root, and on SIGTERM or
// SIGINT closes, deinitialises and unloads them.
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/device_protocol.h"
#include "host/builtin_drivers.h"
#include "host/device_host.h"
#include "host/driver_loader.h"
#include "host/log.h"
#include "host/port_arrival.h"
#include "host/port_lender.h"
#include "host/service_notifier.h"
#include "host/service_watchdog.h"
#include "platform/device_root.h"
#include "platform/help_option.h"
#include "platform/pointer_output.h"
#include "platform/port_lock_holder.h"
#include "platform/serial_port_use.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "platform/thread_scheduling.h"

namespace devmgr {
namespace {

constexpr const char *kUsage =
    "usage: devmgr [--root DIR]\n"
    "Loads the drivers under HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn of DIR/registry.reg and publishes their\n"
    "devices until SIGTERM or SIGINT. Without --root, the environment variable DEVICE_ROOT names DIR.\n";

struct Device {
  DriverKey key;
  unsigned portUser;  // tags the serial ports its driver opens
  std::unique_ptr<DriverLibrary> library;
  DWORD context;
  std::unique_ptr<DeviceHost> host;
  // The last request before devmgr started a driver left stopped, so that it does so once.
  std::chrono::steady_clock::time_point restartedAfter{};
  // The failed open (SerialPortUse::failure) of a port another program held that devmgr took up.
  uint64_t lockFailureTaken = 0;
};

// "port COM1: (/dev/ttyUSB0)"
std::string PortAndPath(const platform::SerialPortUse &use) {
  return "port " + use.port + (use.path.empty() ? "" : " (" + use.path + ")");
}

// Says which ports the device's driver tried and could not open, and whether it waits for them;
// false when there is none.
bool ReportPortsNotHeld(const Device &device) {
  bool any = false;
  for (const platform::SerialPortUse &use : platform::SerialPortUses()) {
    if (use.user != device.portUser || use.holders > 0 || !use.openFailed) continue;
    LogError(device.key.deviceName() + " the " + PortAndPath(use) + " cannot be opened: " + use.reason +
             (use.mayAppear ? "; the driver is started again when the port appears or changes"
                            : "; correct that and start the driver again (nrvctl start)"));
    any = true;
  }
  return any;
}

// Loads, initialises and publishes the driver of one key; null, after reporting why, when its
// device is not published.
std::unique_ptr<Device> StartDevice(const DriverKey &key, unsigned portUser, const std::string &runDirectory,
                                    const std::set<std::string> &published, bool *initFailed) {
  std::string name = key.deviceName();
  std::string where = key.path() + " (" + key.dll + ")";
  if (published.count(name) != 0) {
    LogError(where + ": " + name + " is already published by an earlier key; give this key another \"Index\"");
    return nullptr;
  }
  std::string socketPath = platform::device_protocol::DeviceSocketPath(runDirectory, platform::ToUtf16(name));
  if (socketPath.empty()) {
    LogError(where + ": the socket path for " + name + " under " + runDirectory +
             " is too long for a Unix socket; use a device root with a shorter path");
    return nullptr;
  }
  if (IsServedElsewhere(socketPath)) {
    LogError(where + ": " + name + " is already published by another devmgr on this device root; stop that one "
             "first");
    return nullptr;
  }
  auto device = std::make_unique<Device>();
  device->key = key;
  device->portUser = portUser;
  device->library = DriverLibrary::Load(key);
  if (!device->library) return nullptr;
  const StreamEntryPoints &entries = device->library->entryPoints();
  SetLastError(ERROR_SUCCESS);
  platform::SetSerialPortUser(portUser);
  device->context = entries.Init(key.keyPath.c_str(), nullptr);
  platform::SetSerialPortUser(0);
  if (device->context == 0) {
    *initFailed = true;
    DWORD error = GetLastError();
    LogError(where + ": " + key.prefix + "_Init returned 0 (last error " + std::to_string(error) + "), so " + name +
             " is not published; see the driver's debug output and check its registry key");
    return nullptr;
  }
  device->host = std::make_unique<DeviceHost>(name, socketPath, device->context, entries, portUser);
  std::string error;
  if (!device->host->Publish(&error)) {
    LogError(where + ": " + name + " is not published: " + error);
    entries.Deinit(device->context);
    return nullptr;
  }
  Announce(name + " published (" + key.path() + ", " + device->library->fileName() + ")");
  ReportPortsNotHeld(*device);
  return device;
}

// The port a driver could not open has appeared: its Init runs again, as a start (a driver whose
// state is its own, like the touch driver, stops what it started and starts anew), while no
// handle is inside the driver. Handles stay open. An Init that gives another device context
// cannot be taken for the published one, so that one is ended again and the old one kept.
void TakeUpPort(Device &device, const platform::SerialPortUse &use, const std::string &why = "") {
  const std::string name = device.key.deviceName();
  const StreamEntryPoints &entries = device.library->entryPoints();
  LogError(name + " " + (why.empty() ? "its " + PortAndPath(use) + " appeared" : why) +
           "; starting the driver again (" + device.key.prefix + "_Init)");
  DWORD context = 0;
  DWORD error = 0;
  device.host->WithDriverToItself([&] {
    SetLastError(ERROR_SUCCESS);
    platform::SetSerialPortUser(device.portUser);
    context = entries.Init(device.key.keyPath.c_str(), nullptr);
    platform::SetSerialPortUser(0);
    error = GetLastError();
    if (context != 0 && context != device.context) entries.Deinit(context);
  });
  if (context == 0) {
    LogError(name + " " + device.key.prefix + "_Init returned 0 (last error " + std::to_string(error) +
             "); see the driver's debug output, then restart devmgr");
  } else if (context != device.context) {
    LogError(name + " " + device.key.prefix + "_Init gave another device context than at the start, so the "
             "driver cannot be started again in place; restart devmgr to take up the port");
  } else if (!ReportPortsNotHeld(device)) {
    LogError(name + " the driver holds " + use.port + " again");
  }
}

// How often a pointer output that could not start is tried again, so that its devices are there
// before the next touch rather than made by it; and how often the drivers are looked at.
constexpr std::chrono::seconds kPointerRetry{2};

// Whether another process holds the tty's lock, as a calibrating program does while it reads it.
bool IsLockedByAnother(const std::string &path) {
  struct stat tty {};
  return !path.empty() && stat(path.c_str(), &tty) == 0 && platform::FlockHolder(tty) != 0;
}

// A driver stopped by a program that then neither asks its device anything nor holds its port
// for this long (a program killed between its stop and its start, or one that never starts it
// again) is started again by devmgr, once per such stop. DEVMGR_IDLE_RESTART_SECONDS (1 to 3600)
// changes it, for tests.
std::chrono::seconds IdleRestart() {
  static const std::chrono::seconds limit = [] {
    const char *given = std::getenv("DEVMGR_IDLE_RESTART_SECONDS");
    const long seconds = given != nullptr ? std::strtol(given, nullptr, 10) : 0;
    return std::chrono::seconds(seconds >= 1 && seconds <= 3600 ? seconds : 60);
  }();
  return limit;
}

// A port that another program held (its lock) when the driver tried to open it is taken up once
// that program lets go, as a port that appears is: a member who held the tty while devmgr
// started does not keep the touch off after he lets go.
void TakeUpReleasedPort(Device &device) {
  for (const platform::SerialPortUse &use : platform::SerialPortUses()) {
    if (use.user != device.portUser || !use.openFailed || use.failure == device.lockFailureTaken) continue;
    if (use.reason.rfind("another program has it open", 0) != 0 || IsLockedByAnother(use.path)) continue;
    device.lockFailureTaken = use.failure;
    TakeUpPort(device, use, "its " + PortAndPath(use) + " is free again (the program that held it let go)");
    return;
  }
}

void RestartIdleStopped(Device &device) {
  const auto last = device.host->LastRequest();
  if (last == device.restartedAfter || std::chrono::steady_clock::now() - last < IdleRestart()) return;
  for (const platform::SerialPortUse &use : platform::SerialPortUses()) {
    // A port the driver opened and closed again: it was stopped. One that failed to open is
    // devmgr's port watcher's to take up.
    if (use.user != device.portUser || use.holders > 0 || use.openFailed || use.path.empty()) continue;
    if (IsLockedByAnother(use.path)) return;  // a calibration reads it
    device.restartedAfter = last;
    TakeUpPort(device, use,
               "the driver has been stopped for " + std::to_string(IdleRestart().count()) +
                   " s with nobody asking it anything or holding its " + PortAndPath(use));
    return;
  }
}

// Publishes each port the drivers use as a device of its own ("COM1:"), lent to a program that
// calibrates while the driver lets go of it, so that the tty is opened by the service alone.
std::vector<std::unique_ptr<DeviceHost>> PublishLentPorts(const std::string &runDirectory,
                                                          std::set<std::string> &published) {
  std::vector<std::unique_ptr<DeviceHost>> hosts;
  for (const platform::SerialPortUse &use : platform::SerialPortUses()) {
    if (published.count(use.port) != 0) continue;
    const std::string socketPath =
        platform::device_protocol::DeviceSocketPath(runDirectory, platform::ToUtf16(use.port));
    if (socketPath.empty() || IsServedElsewhere(socketPath)) {
      LogError(use.port + " is not lent to programs that calibrate: " +
               (socketPath.empty() ? "its socket path is too long; use a device root with a shorter path"
                                   : "another devmgr on this device root publishes it; stop that one first"));
      continue;
    }
    const DWORD context = LendPort(use.port);
    auto lent = std::make_unique<DeviceHost>(use.port, socketPath, context, LenderEntryPoints(), use.user);
    LendThrough(context, lent.get());
    std::string error;
    if (!lent->Publish(&error)) {
      LendThrough(context, nullptr);
      LogError(use.port + " is not lent to programs that calibrate: " + error);
      continue;
    }
    published.insert(use.port);
    Announce(use.port + " published (" + (use.path.empty() ? "mapped to no tty" : use.path) + ", lent to a program that calibrates while the driver "
             "lets go of it)");
    hosts.push_back(std::move(lent));
  }
  return hosts;
}

// Every kPointerRetry until stopped: a pointer output that could not start is tried again, and
// drivers left without their port are started again (a port let go of, a driver left stopped).
// Asking who holds a tty reads /proc/locks, which any local user can make long: this is done on a
// thread of its own, never on the one that answers the watchdog.
class Upkeep {
 public:
  Upkeep(const std::vector<std::unique_ptr<Device>> &devices, bool pointerStarted)
      : devices_(devices), pointerStarted_(pointerStarted) {}
  ~Upkeep() { Stop(); }
  Upkeep(const Upkeep &) = delete;
  Upkeep &operator=(const Upkeep &) = delete;

  bool Start(std::string *error) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error &failure) {
      *error = std::string("cannot start the thread that starts drivers again: ") + failure.what();
      return false;
    }
    return true;
  }
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    woken_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    pthread_setname_np(pthread_self(), "devmgr upkeep");
    RunAsOrdinaryThread();
    std::unique_lock lock(mutex_);
    while (!woken_.wait_for(lock, kPointerRetry, [this] { return stopping_; })) {
      lock.unlock();
      if (!pointerStarted_) pointerStarted_ = platform::StartPointerOutput();
      for (const auto &device : devices_) {
        TakeUpReleasedPort(*device);
        RestartIdleStopped(*device);
      }
      lock.lock();
    }
  }

  const std::vector<std::unique_ptr<Device>> &devices_;
  bool pointerStarted_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool stopping_ = false;
  std::thread thread_;
};

// Accepts connections, and answers the watchdog's questions, until a stop signal arrives on the
// signal descriptor.
void Serve(int signals, const std::vector<std::unique_ptr<Device>> &devices,
           const std::vector<std::unique_ptr<DeviceHost>> &lentPorts, ServiceWatchdog &watchdog) {
  std::vector<pollfd> watched{{signals, POLLIN, 0}, {watchdog.question(), POLLIN, 0}};
  std::vector<DeviceHost *> hosts;
  for (const auto &device : devices) hosts.push_back(device->host.get());
  for (const auto &lent : lentPorts) hosts.push_back(lent.get());
  for (DeviceHost *host : hosts) watched.push_back({host->listener(), POLLIN, 0});
  for (;;) {
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      LogError(std::string("cannot wait for connections: ") + std::strerror(errno) + "; stopping");
      return;
    }
    if (watched[0].revents != 0) return;
    if ((watched[1].revents & POLLIN) != 0) watchdog.Answer();
    for (size_t i = 2; i < watched.size(); ++i)
      if ((watched[i].revents & POLLIN) != 0) hosts[i - 2]->AcceptConnection();
  }
}

// What keeps the watchdog from answering besides a silent accepting thread: a call that has been
// inside a driver longer than any client waits for it is one that will not come back.
std::string CallStuckInDriver(const std::vector<std::unique_ptr<Device>> &devices) {
  for (const auto &device : devices) {
    const auto inside = device->host->LongestCallInDriver();
    if (inside > platform::device_protocol::kReplyBound)
      return device->key.deviceName() + " a call has been inside the driver for " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(inside).count()) +
             " s, longer than any client waits for it";
  }
  return {};
}

// New opens fail at once for every device; then the lent ports are taken back, and each device,
// newest first, has its open handles closed, is deinitialised and detached from its library.
void StopDevices(std::vector<std::unique_ptr<Device>> &devices, std::vector<std::unique_ptr<DeviceHost>> &lentPorts) {
  for (auto &lent : lentPorts) lent->StopAccepting();
  for (auto &device : devices) device->host->StopAccepting();
  TakeBackAllLoans("devmgr stops");
  for (auto &lent : lentPorts) lent->EndConnections();
  for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
    Device &device = **it;
    device.host->EndConnections();
    device.library->entryPoints().Deinit(device.context);
    device.library->Unload(DriverLibrary::Unmap::kAtExit);
  }
}

}  // namespace
}  // namespace devmgr

int main(int argc, char **argv) {
  using namespace devmgr;
  // Nothing devmgr makes is for others: its sockets come out of bind at most group-writable, and
  // files that must be shared further set their modes themselves.
  umask(0007);
  if (platform::WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!platform::InitDeviceRoot(argc, argv, "devmgr")) return 2;
  if (argc > 1) {
    std::fprintf(stderr, "devmgr: unknown argument '%s'\n%s", argv[1], kUsage);
    return 2;
  }
  // devmgr acts for every user of the root: a hive or run/ that others could change would let
  // them choose the library it maps and the socket its clients reach.
  if (!platform::CheckTrustedDeviceRoot("devmgr")) return 2;

  // Blocked before any thread starts, so that every thread, drivers' included, inherits the mask
  // and the signals reach only the descriptor below.
  platform::BlockStopSignals();
  // Read first, so that no thread, a driver's included, sees the service manager's variables.
  ServiceNotifier notifier;
  // Before any thread lowers its own priority: the driver's threads keep the service's.
  platform::KeepStartSchedulingForNewThreads();
  int signals = platform::OpenStopSignalDescriptor();
  if (signals < 0) {
    LogError(std::string("cannot watch for SIGTERM and SIGINT: ") + std::strerror(errno) +
             "; no driver loaded. Raise the limit on open files and retry");
    return 1;
  }

  std::string runDirectory = platform::RunDirectory();
  if (runDirectory.empty()) return 2;
  // Before any driver can touch: the input devices an output makes must exist, and the desktop
  // must have opened them, before the first touch, or that touch goes nowhere.
  const bool pointerStarted = platform::StartPointerOutput();
  // Before any driver opens its port: here a port is always the tty, never a lent port's socket.
  StartLending();
  std::vector<std::unique_ptr<Device>> devices;
  std::set<std::string> published;
  bool initFailed = false;
  unsigned portUser = 0;
  for (const DriverKey &key : ReadBuiltInDrivers()) {
    if (auto device = StartDevice(key, ++portUser, runDirectory, published, &initFailed)) {
      published.insert(key.deviceName());
      devices.push_back(std::move(device));
    }
  }
  // A devmgr that serves nothing ends, so that its service shows the failure rather than running
  // on with a dead touch screen: with status 1 when a driver's Init failed, which a new start may
  // get past, and 2 when nothing could be loaded until the hive or the files are corrected.
  if (devices.empty()) {
    const int status = initFailed ? 1 : 2;
    LogError("nothing is published on " + platform::DeviceRoot() + " (see the lines above), so devmgr ends with "
             "status " + std::to_string(status) + (initFailed ? ": a driver's Init failed; starting devmgr again "
             "may get past it" : ": correct the hive or the driver's files, then start devmgr again"));
    close(signals);
    return status;
  }
  std::vector<std::unique_ptr<DeviceHost>> lentPorts = PublishLentPorts(runDirectory, published);
  PortArrival arrival([&](const platform::SerialPortUse &use) {
    for (auto &device : devices)
      if (device->portUser == use.user) TakeUpPort(*device, use);
  });
  if (std::string error; !arrival.Start(&error))
    LogError(error + "; a driver whose port is missing at its start is not started again when it appears: "
             "use nrvctl start, or raise the limits on inotify instances and threads");
  ServiceWatchdog watchdog(notifier, {[&] { return CallStuckInDriver(devices); }});
  if (std::string error; !watchdog.Start(&error))
    LogError(error + "; devmgr does not answer the service manager's watchdog, which ends it: raise the limits "
             "on open files and threads");
  Upkeep upkeep(devices, pointerStarted);
  if (std::string error; !upkeep.Start(&error))
    LogError(error + "; a pointer output that could not start and a driver left stopped or without the port "
             "another program let go of are not started again: use nrvctl start, or raise the limit on threads");
  // The drivers are loaded and their sockets listen: a connection made from now on is served.
  notifier.Send("READY=1");
  // Accepting connections is ordinary work, done by a thread of its own at SCHED_OTHER, so that
  // no program keeps a real-time thread busy by connecting; the main thread keeps the priority the
  // service started devmgr with, and waits.
  try {
    std::thread acceptor([&] {
      pthread_setname_np(pthread_self(), "devmgr accept");  // as ps -L and top show it
      RunAsOrdinaryThread();
      Serve(signals, devices, lentPorts, watchdog);
    });
    acceptor.join();
  } catch (const std::system_error &failure) {
    LogError(std::string("cannot start the thread that accepts connections: ") + failure.what() +
             "; the main thread accepts them instead. Raise the limit on threads");
    Serve(signals, devices, lentPorts, watchdog);
  }
  // The watchdog goes on answering while the drivers stop, which the unit's stop time-out bounds.
  watchdog.AcceptingEnded();
  notifier.Send("STOPPING=1");
  upkeep.Stop();
  arrival.Stop();
  StopDevices(devices, lentPorts);
  watchdog.Stop();
  close(signals);
  return 0;
}
