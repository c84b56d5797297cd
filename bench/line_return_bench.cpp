// How to run: scripts/bench line_return
//
// A serial line that hangs up and comes back, with the driver running in devmgr: COM1: is mapped
// to a symbolic link that is pulled and then plugged into a fresh pseudo-terminal, as the path of
// a USB serial adapter is when it is pulled and plugged in again. Each figure beside its reference
// from the same run:
//   return_ms:   from the path's return to the first pointer event of a tap sent at that moment
//                (mean and max over 5 returns; goal: under 2000 ms), beside live_ms, the same tap
//                on a line that never went away;
//   gone_cpu_ms: devmgr's processor time over 5 s while the line is gone (goal: near 0), beside
//                idle_cpu_ms, over 5 s on a live line that sends nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "movable_line.h"
#include "norvik_host.h"
#include "process.h"
#include "process_cpu.h"
#include "test_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::kTapBytes;
using testing_support::LoggedMouseEvents;
using testing_support::Stream;

constexpr auto kBound = std::chrono::milliseconds(20000);
constexpr int kReturns = 5;

double TapToPointer(testing_support::MovableLine &line, const std::string &log, Clock::time_point from) {
  return testing_support::TapToPointerMs(line, log, from, kBound);
}

double CpuOver(pid_t pid, std::chrono::seconds period) {
  return testing_support::ProcessCpuMillisecondsOver(pid, period);
}

void BM_LineHangsUpAndComesBack(benchmark::State &state) {
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    testing_support::TempDeviceRoot root;
    testing_support::MovableLine line(root.path() + "/ttyUSB0");
    const std::string log = root.path() + "/pointer.log";
    root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), log));
    testing_support::ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
    if (!devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) {
      state.SkipWithError("the driver did not find its port");
      return;
    }
    state.counters["idle_cpu_ms"] = CpuOver(devmgr.pid(), std::chrono::seconds(5));

    double live = 0, returned = 0, worst = 0;
    for (int i = 0; i < kReturns; ++i) {
      const double tap = TapToPointer(line, log, Clock::now());
      line.Pull();
      if (i == 0) {
        if (!devmgr.WaitForLine(Stream::kStderr, "hung up; waiting for it to come back", kBound)) {
          state.SkipWithError("the driver did not notice the hang-up");
          return;
        }
        state.counters["gone_cpu_ms"] = CpuOver(devmgr.pid(), std::chrono::seconds(5));
      }
      line.PlugIn();
      const double back = TapToPointer(line, log, Clock::now());
      if (tap < 0 || back < 0) {
        state.SkipWithError("a tap never reached the pointer");
        return;
      }
      live += tap / kReturns;
      returned += back / kReturns;
      worst = std::max(worst, back);
    }
    state.counters["live_ms"] = live;
    state.counters["return_ms"] = returned;
    state.counters["return_max_ms"] = worst;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}

BENCHMARK(BM_LineHangsUpAndComesBack)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
