// The touch latency rig: one device root, pty and FIFO pointer log per measurement, devmgr as a
// child process, and the percentiles of the times from each report's last byte to its log line.
#include "touch_latency_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "process.h"
#include "test_root.h"

namespace bench_support {
namespace {

using Clock = std::chrono::steady_clock;

// Reads from the FIFO until a whole line has arrived; false after 5 s without one.
bool ReadLine(int fifo, std::string &pending) {
  for (;;) {
    size_t end = pending.find('\n');
    if (end != std::string::npos) {
      pending.erase(0, end + 1);
      return true;
    }
    pollfd readable{fifo, POLLIN, 0};
    if (poll(&readable, 1, 5000) != 1) return false;
    char buffer[512];
    ssize_t n = read(fifo, buffer, sizeof buffer);
    if (n > 0) pending.append(buffer, static_cast<size_t>(n));
  }
}

// Holds the calling thread under SCHED_FIFO at `priority` (nothing for 0) until destroyed.
class ObserverPriority {
 public:
  explicit ObserverPriority(int priority) {
    if (priority <= 0) return;
    pthread_getschedparam(pthread_self(), &policy_, &previous_);
    sched_param raised{};
    raised.sched_priority = priority;
    raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised) == 0;
    taken_ = raised_;
  }
  ~ObserverPriority() {
    if (raised_) pthread_setschedparam(pthread_self(), policy_, &previous_);
  }
  ObserverPriority(const ObserverPriority &) = delete;
  ObserverPriority &operator=(const ObserverPriority &) = delete;
  bool taken() const { return taken_; }

 private:
  int policy_ = SCHED_OTHER;
  sched_param previous_{};
  bool raised_ = false;
  bool taken_ = true;
};

}  // namespace

int ReportCount(int fallback) {
  const char *env = std::getenv("NORVIK_LATENCY_REPORTS");
  return env != nullptr ? std::max(10, std::atoi(env)) : fallback;
}

bool MeasureTouchLatency(const std::vector<std::string> &launcher, int reports, LatencyFigures *figures,
                         std::string *problem, int observerPriority) {
  testing_support::TempDeviceRoot root;
  testing_support::PseudoTerminal pty;
  const std::string fifoPath = root.path() + "/pointer.fifo";
  mkfifo(fifoPath.c_str(), 0600);
  int fifo = open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK);
  root.WriteHive(testing_support::DefaultDevice(pty.slavePath()) +
                 "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + fifoPath + "\"\n");
  std::vector<std::string> arguments(launcher.begin() + (launcher.empty() ? 0 : 1), launcher.end());
  const std::string program = launcher.empty() ? NORVIK_BIN_DIR "/devmgr" : launcher.front();
  if (!launcher.empty()) arguments.push_back(NORVIK_BIN_DIR "/devmgr");
  arguments.insert(arguments.end(), {"--root", root.path()});
  testing_support::ChildProcess devmgr(program, arguments);
  if (!devmgr.WaitForLine(testing_support::Stream::kStderr, "Tarsel Mouse Found.", std::chrono::seconds(20))) {
    *problem = "the driver did not find its port: " + devmgr.Output(testing_support::Stream::kStderr);
    close(fifo);
    return false;
  }
  ObserverPriority priority(observerPriority);
  if (!priority.taken()) {
    *problem = "cannot run the observer under SCHED_FIFO: run as root";
    close(fifo);
    return false;
  }
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(reports));
  std::string pending;
  const auto period = std::chrono::microseconds(5208);  // 50 bit times at 9600 baud
  auto next = Clock::now();
  for (int i = 0; i < reports; ++i) {
    std::this_thread::sleep_until(next);
    next += period;
    int x = (i * 131) & 0x3FFF, y = (i * 71) & 0x3FFF;
    char report[5] = {static_cast<char>(i % 2 == 0 ? 0x90 : 0x80), static_cast<char>(x >> 7),
                      static_cast<char>(x & 0x7F), static_cast<char>(y >> 7), static_cast<char>(y & 0x7F)};
    pty.Send(std::string(report, 4));
    pty.Send(std::string(report + 4, 1));
    auto sent = Clock::now();
    if (!ReadLine(fifo, pending)) {
      *problem = "a report gave no line in the pointer log";
      close(fifo);
      return false;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  close(fifo);
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))]; };
  *figures = {at(0.50), at(0.99), micros.back(), micros.size()};
  return true;
}

void SetCounters(benchmark::State &state, const std::string &prefix, const LatencyFigures &figures) {
  state.counters[prefix + "p50_us"] = figures.p50Us;
  state.counters[prefix + "p99_us"] = figures.p99Us;
  state.counters[prefix + "max_us"] = figures.maxUs;
  state.counters[prefix + "reports"] = static_cast<double>(figures.reports);
}

}  // namespace bench_support
