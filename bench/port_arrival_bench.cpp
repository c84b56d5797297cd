// How to run: scripts/bench port_arrival
//
// A port whose path appears after devmgr started: COM1: is mapped to a symbolic link that does
// not exist when devmgr publishes NRV1:, and is then made to lead to a fresh pseudo-terminal, as
// /dev/ttyUSB0 appears when a USB serial adapter is plugged in after the service started. Each
// round is a fresh device root and devmgr. Each figure beside its reference from the same run:
//   arrival_p50_ms, arrival_max_ms: from the path's appearance to the first pointer event of a
//                tap sent at that moment, over 10 appearances (goals: p50 <= 500 ms, max <= 2000
//                ms), beside live_p50_ms and live_max_ms, the same tap on a line that was there
//                since devmgr started;
//   waiting_cpu_ms: devmgr's processor time over 5 s while the path is missing (goal: near 0),
//                beside idle_cpu_ms, over 5 s on a live line that sends nothing.
#include <benchmark/benchmark.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "movable_line.h"
#include "norvik_host.h"
#include "process.h"
#include "process_cpu.h"
#include "test_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::kTapBytes;
using testing_support::LoggedMouseEvents;
using testing_support::MovableLine;
using testing_support::Stream;

constexpr auto kBound = std::chrono::milliseconds(20000);
constexpr int kRounds = 10;

// A device root whose COM1: is `line`, with pointer events logged, and devmgr started on it.
struct Device {
  testing_support::TempDeviceRoot root;
  MovableLine line;
  std::string log;
  std::optional<testing_support::ChildProcess> devmgr;

  explicit Device(MovableLine::Start start) : line(root.path() + "/ttyUSB0", start), log(root.path() + "/pointer.log") {
    root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), log));
    devmgr.emplace(NORVIK_BIN_DIR "/devmgr", std::vector<std::string>{"--root", root.path()});
  }
  ~Device() {
    devmgr->Signal(SIGTERM);
    devmgr->WaitForExit(kBound);
  }

  // NRV1: is published, and the driver has looked for its port and printed `found`.
  bool Published(const char *found) {
    return devmgr->WaitForLine(Stream::kStdout, "NRV1: published", kBound) &&
           devmgr->WaitForLine(Stream::kStderr, found, kBound);
  }

  // The milliseconds from `from` to the first pointer event of a tap sent now, or -1.
  double TapToPointer(Clock::time_point from) { return testing_support::TapToPointerMs(line, log, from, kBound); }

  double CpuOver(std::chrono::seconds period) {
    return testing_support::ProcessCpuMillisecondsOver(devmgr->pid(), period);
  }
};

// The middle of the figures (the mean of the two middle ones for an even count).
double Median(std::vector<double> figures) {
  std::sort(figures.begin(), figures.end());
  const size_t n = figures.size();
  return n % 2 == 1 ? figures[n / 2] : (figures[n / 2 - 1] + figures[n / 2]) / 2;
}

void BM_PortPathAppearsAfterDevmgrStarted(benchmark::State &state) {
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::vector<double> live, arrival;
    {
      Device device(MovableLine::Start::kPluggedIn);
      if (!device.Published("Tarsel Mouse Found.")) {
        state.SkipWithError("the driver did not find the line that was there");
        return;
      }
      state.counters["idle_cpu_ms"] = device.CpuOver(std::chrono::seconds(5));
      for (int i = 0; i < kRounds; ++i) live.push_back(device.TapToPointer(Clock::now()));
      if (*std::min_element(live.begin(), live.end()) < 0) {
        state.SkipWithError("a tap on the line that was there never reached the pointer");
        return;
      }
    }
    for (int i = 0; i < kRounds; ++i) {
      Device device(MovableLine::Start::kUnplugged);
      if (!device.Published("Tarsel Mouse  NOT Found.")) {
        state.SkipWithError("devmgr did not publish NRV1: without its line");
        return;
      }
      if (i == 0) state.counters["waiting_cpu_ms"] = device.CpuOver(std::chrono::seconds(5));
      const Clock::time_point appeared = Clock::now();
      device.line.PlugIn();
      arrival.push_back(device.TapToPointer(appeared));
      if (arrival.back() < 0) {
        state.SkipWithError("the tap on the line that appeared never reached the pointer");
        return;
      }
    }
    state.counters["live_p50_ms"] = Median(live);
    state.counters["live_max_ms"] = *std::max_element(live.begin(), live.end());
    state.counters["arrival_p50_ms"] = Median(arrival);
    state.counters["arrival_max_ms"] = *std::max_element(arrival.begin(), arrival.end());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}

BENCHMARK(BM_PortPathAppearsAfterDevmgrStarted)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
