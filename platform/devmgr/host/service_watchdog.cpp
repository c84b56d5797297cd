// The watchdog thread: wakes at half the service manager's period, pings when the accepting
// thread answered the last question and every check passes, then asks again. It runs as an
// ordinary thread, so what it measures is what a client of devmgr meets.
#include "host/service_watchdog.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "host/device_host.h"
#include "host/log.h"

namespace devmgr {
namespace {

void Raise(int fd) {
  const uint64_t one = 1;
  while (write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

}  // namespace

ServiceWatchdog::ServiceWatchdog(ServiceNotifier &notifier, std::vector<Check> checks)
    : notifier_(notifier), checks_(std::move(checks)) {}

bool ServiceWatchdog::Start(std::string *error) {
  const std::chrono::microseconds period = notifier_.watchdogPeriod();
  if (period.count() == 0) return true;
  question_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (question_ < 0 || stop_ < 0) {
    *error = std::string("cannot make the watchdog's descriptors: ") + std::strerror(errno);
    Stop();
    return false;
  }
  try {
    thread_ = std::thread(&ServiceWatchdog::Run, this, period / 2);
  } catch (const std::system_error &failure) {
    *error = std::string("cannot start the watchdog's thread: ") + failure.what();
    Stop();
    return false;
  }
  return true;
}

void ServiceWatchdog::Stop() {
  if (thread_.joinable()) {
    Raise(stop_);
    thread_.join();
  }
  for (int *fd : {&question_, &stop_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void ServiceWatchdog::Answer() {
  uint64_t questions = 0;
  while (read(question_, &questions, sizeof(questions)) < 0 && errno == EINTR) {
  }
  answered_ = asked_.load();
}

std::string ServiceWatchdog::Stuck() const {
  if (acceptorWatched_ && answered_ != asked_) {
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - askedAt_);
    return "the thread that accepts connections has not answered for " + std::to_string(waited.count()) + " ms";
  }
  for (const Check &check : checks_)
    if (std::string stuck = check(); !stuck.empty()) return stuck;
  return {};
}

void ServiceWatchdog::Run(std::chrono::microseconds interval) {
  pthread_setname_np(pthread_self(), "devmgr watchdog");
  RunAsOrdinaryThread();
  bool stuckSaid = false;
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    if (std::string stuck = Stuck(); stuck.empty()) {
      notifier_.Send("WATCHDOG=1");
      stuckSaid = false;
    } else if (!stuckSaid) {
      LogError(stuck + "; devmgr no longer answers the service manager's watchdog, which ends and restarts it");
      stuckSaid = true;
    }
    if (acceptorWatched_ && answered_ == asked_) {
      askedAt_ = std::chrono::steady_clock::now();
      ++asked_;
      Raise(question_);
    }
    next += interval;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
    pollfd stop{stop_, POLLIN, 0};
    int ready = poll(&stop, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready > 0) return;
    // After a pause (SIGSTOP, a suspended machine) the pings resume at the interval from now,
    // not in a burst for the periods missed.
    if (std::chrono::steady_clock::now() > next + interval) next = std::chrono::steady_clock::now();
  }
}

}  // namespace devmgr
