// How to run: scripts/bench pointer_latency   (NORVIK_LATENCY_REPORTS=N to change the 10 000)
//
// End-to-end latency of a touch: from the last byte of a report written to the pseudo-terminal
// to its line in the pointer log of the driver running in devmgr, over reports paced at 9600
// baud (one report's own transmission takes 5.2 ms). The log is a FIFO this benchmark reads, so
// each line is timed as it is written. Goal: p99 under 1 ms ("p99_us" counter).
#include <benchmark/benchmark.h>

#include "touch_latency_rig.h"

namespace {

void BM_ReportToPointerLog(benchmark::State &state) {
  for (auto _ : state) {
    bench_support::LatencyFigures figures;
    std::string problem;
    if (!bench_support::MeasureTouchLatency({}, bench_support::ReportCount(10000), &figures, &problem)) {
      state.SkipWithError(problem.c_str());
      return;
    }
    bench_support::SetCounters(state, "", figures);
    state.SetIterationTime(1);
  }
}

BENCHMARK(BM_ReportToPointerLog)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
