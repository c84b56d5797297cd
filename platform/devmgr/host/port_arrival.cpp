// The thread that waits for missing serial ports: it sleeps in poll on inotify, the record of
// serial ports (which changes when a driver opens, fails to open or closes one) and a stop
// counter, and looks again only when one of them speaks.
#include "host/port_arrival.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <system_error>

#include "host/device_host.h"
#include "host/log.h"

namespace devmgr {
namespace {

constexpr uint32_t kFolderEvents =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr int kMostLinks = 8;
// How many times the folders leading to a path are watched again when one appears meanwhile.
constexpr int kMostRewatches = 16;

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NearestExistingFolder(std::string path) {
  for (;;) {
    path = FolderOf(path);
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return path;
    if (path == "/" || path == ".") return path;
  }
}

void Drain(int fd) {
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

bool Waiting(const platform::SerialPortUse &use) {
  return use.user != 0 && use.holders == 0 && use.openFailed && use.mayAppear && !use.path.empty();
}

}  // namespace

std::vector<std::string> FoldersLeadingTo(const std::string &path) {
  std::vector<std::string> folders;
  std::string next = path;
  for (int links = 0; links <= kMostLinks && !next.empty(); ++links) {
    folders.push_back(NearestExistingFolder(next));
    struct stat info {};
    if (lstat(next.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    char target[PATH_MAX];
    const ssize_t length = readlink(next.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    target[length] = '\0';
    next = target[0] == '/' ? std::string(target) : FolderOf(next) + "/" + target;
  }
  return folders;
}

bool PortArrival::Start(std::string *error) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stop_ = inotify_ < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_ < 0) {
    *error = std::string("cannot watch for serial ports that appear: ") + std::strerror(errno);
    Stop();
    return false;
  }
  try {
    thread_ = std::thread(&PortArrival::Run, this);
  } catch (const std::system_error &failure) {
    *error = std::string("cannot start the thread that waits for serial ports: ") + failure.what();
    Stop();
    return false;
  }
  return true;
}

void PortArrival::Stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t ignored = write(stop_, &one, sizeof one);
    (void)ignored;  // the counter was already readable
    thread_.join();
  }
  if (inotify_ >= 0) close(inotify_);
  if (stop_ >= 0) close(stop_);
  inotify_ = stop_ = -1;
}

std::vector<platform::SerialPortUse> PortArrival::Look() {
  // Every watch is made again from the paths as they are now: a folder on the way may have come
  // or gone, and a link may lead elsewhere.
  int fresh = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fresh >= 0) {
    close(inotify_);
    inotify_ = fresh;
  }
  std::vector<platform::SerialPortUse> due;
  std::set<std::string> watched;
  for (const platform::SerialPortUse &use : platform::SerialPortUses()) {
    if (!Waiting(use)) continue;
    // A folder on the way that appears while its parent is being watched (udev makes
    // serial/by-id/ and the link in it one after the other) raises no event there: the folders
    // are looked at again once watched, until they are the same.
    std::vector<std::string> folders = FoldersLeadingTo(use.path);
    for (int round = 0; round < kMostRewatches; ++round) {
      for (const std::string &folder : folders)
        if (watched.insert(folder).second && inotify_add_watch(inotify_, folder.c_str(), kFolderEvents) < 0) {
          const int error = errno;
          LogError("cannot watch " + folder + " for " + use.port + " (" + use.path + "): " + std::strerror(error) +
                   "; the driver is not started again when the port appears: " +
                   (error == ENOSPC ? "raise fs.inotify.max_user_watches, or start it with nrvctl start"
                                    : "start it with nrvctl start once the port is there"));
        }
      std::vector<std::string> now = FoldersLeadingTo(use.path);
      if (now == folders) break;
      folders = std::move(now);
    }
    // Looked at after the watches are in place, so that a change between the two is not missed.
    Answered &answered = answered_[use.port];
    if (answered.failure != use.failure) answered = {use.failure, use.pathAtFailure};
    const platform::PathState now = platform::PathState::Of(use.path);
    if (now.exists && S_ISCHR(now.mode) && !(now == answered.path)) {
      answered.path = now;
      due.push_back(use);
    }
  }
  return due;
}

void PortArrival::Run() {
  pthread_setname_np(pthread_self(), "devmgr ports");
  RunAsOrdinaryThread();
  const int changes = platform::SerialPortUseChanges();
  for (;;) {
    Drain(changes);
    const std::vector<platform::SerialPortUse> due = Look();
    for (const platform::SerialPortUse &use : due) retake_(use);
    if (!due.empty()) continue;  // the start changed the record: look again before sleeping
    pollfd watched[] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}, {changes, POLLIN, 0}};
    if (poll(watched, 3, -1) < 0 && errno != EINTR) {
      LogError(std::string("cannot wait for serial ports to appear: ") + std::strerror(errno) +
               "; drivers whose port is missing are not started again: use nrvctl start");
      return;
    }
    if (watched[0].revents != 0) return;
    Drain(inotify_);
  }
}

}  // namespace devmgr
