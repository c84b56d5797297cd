// The notification socket: one AF_UNIX datagram per message, sent without waiting, so that a
// service manager that is slow to read never holds devmgr up.
#include "host/service_notifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/log.h"

namespace devmgr {
namespace {

// The unsigned decimal in `text`, or 0 for anything else.
unsigned long long Number(const char *text) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  return errno == 0 && *end == '\0' ? value : 0;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
  const char *socketName = std::getenv("NOTIFY_SOCKET");
  std::string name = socketName != nullptr ? socketName : "";
  const unsigned long long period = Number(std::getenv("WATCHDOG_USEC"));
  const unsigned long long watched = Number(std::getenv("WATCHDOG_PID"));
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  if (name.empty()) return;
  if ((name[0] != '/' && name[0] != '@') || name.size() >= sizeof(sockaddr_un::sun_path)) {
    LogError("NOTIFY_SOCKET=" + name + " is neither a socket path nor an abstract socket name (@NAME); devmgr "
             "tells its service manager nothing, so a unit of Type=notify does not start: correct the variable");
    return;
  }
  if (name[0] == '@') name[0] = '\0';
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    LogError(std::string("cannot make a socket to reach the service manager: ") + std::strerror(errno) +
             "; a unit of Type=notify does not start. Raise the limit on open files");
    return;
  }
  address_ = name;
  if (period != 0 && (watched == 0 || watched == static_cast<unsigned long long>(getpid())))
    watchdogPeriod_ = std::chrono::microseconds(period);
}

ServiceNotifier::~ServiceNotifier() {
  if (fd_ >= 0) close(fd_);
}

bool ServiceNotifier::Send(const std::string &message) {
  if (fd_ < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, address_.data(), address_.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
  for (;;) {
    if (sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
               length) >= 0)
      return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace devmgr
