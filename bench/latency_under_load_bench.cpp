// How to run: scripts/bench latency_under_load   (NORVIK_LATENCY_REPORTS=N to change the 3 000)
//
// A touch's latency to the pointer log (as pointer_latency_bench measures it) while processes
// spinning at normal priority keep every core busy (one per core, at least two), with devmgr at
// normal priority, at nice -n -10 and under SCHED_FIFO 10 (chrt -f 10), the priority the service
// unit gives it. Each case measures the quiet machine first, in the same run, as its reference:
// "quiet_p99_us" beside "p99_us" under load. Goal: p99 under 1 ms at the unit's priority. The
// benchmark's own thread (the controller writing and the desktop reading) times each case under
// SCHED_FIFO 50, above everything it measures, so that only devmgr's priority differs between the
// cases. Raising priorities needs root (or CAP_SYS_NICE); without it every case is skipped, saying so.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "touch_latency_rig.h"

namespace {

// Processes that spin until they are killed, at this program's (normal) priority.
class CoreLoad {
 public:
  explicit CoreLoad(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        volatile unsigned long spin = 0;
        for (;;) {
          unsigned long next = spin + 1;
          spin = next;
        }
      }
      if (pid > 0) spinners_.push_back(pid);
    }
  }
  ~CoreLoad() {
    for (pid_t pid : spinners_) kill(pid, SIGKILL);
    for (pid_t pid : spinners_) waitpid(pid, nullptr, 0);
  }
  CoreLoad(const CoreLoad &) = delete;
  CoreLoad &operator=(const CoreLoad &) = delete;

 private:
  std::vector<pid_t> spinners_;
};

enum class Priority { kNormal, kNice, kFifo };

constexpr int kObserverPriority = 50;

std::vector<std::string> Launcher(Priority priority) {
  switch (priority) {
    case Priority::kNormal: return {};
    case Priority::kNice: return {"/usr/bin/nice", "-n", "-10"};
    case Priority::kFifo: return {"/usr/bin/chrt", "-f", "10"};
  }
  return {};
}

// Whether this process may take the observer's priority and give devmgr its own: nice(1) runs the
// program unchanged when it may not, which would measure the wrong thing.
bool MayRaise(Priority priority) {
  rlimit limit{};
  if (geteuid() == 0) return true;
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur < kObserverPriority) return false;
  return priority != Priority::kNice || (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur >= 30);
}

void BM_TouchLatencyUnderLoad(benchmark::State &state, Priority priority) {
  if (!MayRaise(priority)) {
    state.SkipWithError("cannot raise devmgr's priority: run as root");
    return;
  }
  const int reports = bench_support::ReportCount(3000);
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  for (auto _ : state) {
    bench_support::LatencyFigures quiet, loaded;
    std::string problem;
    if (!bench_support::MeasureTouchLatency(Launcher(priority), reports, &quiet, &problem, kObserverPriority)) {
      state.SkipWithError(problem.c_str());
      return;
    }
    {
      CoreLoad load(cores);
      if (!bench_support::MeasureTouchLatency(Launcher(priority), reports, &loaded, &problem, kObserverPriority)) {
        state.SkipWithError(problem.c_str());
        return;
      }
    }
    bench_support::SetCounters(state, "quiet_", quiet);
    bench_support::SetCounters(state, "", loaded);
    state.counters["spinners"] = cores;
    state.SetIterationTime(1);
  }
}

BENCHMARK_CAPTURE(BM_TouchLatencyUnderLoad, normal, Priority::kNormal)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TouchLatencyUnderLoad, nice_minus_10, Priority::kNice)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TouchLatencyUnderLoad, fifo_10, Priority::kFifo)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
