// A touch's latency end to end: devmgr with the driver on a pseudo-terminal, its pointer log a
// FIFO, reports written at 9600 baud's pace and each timed from its last byte to its log line.
// Shared by the latency benchmarks, which differ in how devmgr runs and what else the machine does.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace bench_support {

struct LatencyFigures {
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
  size_t reports = 0;
};

// The report count: NORVIK_LATENCY_REPORTS when set (at least 10), else `fallback`.
int ReportCount(int fallback);

// Starts devmgr on a fresh device root, through `launcher` when it is not empty (a program by its
// full path and its arguments, e.g. {"/usr/bin/nice", "-n", "-10"}), and times `reports` touches.
// With `observerPriority` above 0, the calling thread, which writes the reports and reads the log,
// times them under SCHED_FIFO at that priority (devmgr started before it took it), so that what is
// timed is devmgr's own wake-up and not the observer's. False, with *problem set, when the driver
// did not start, the priority could not be taken, or a report gave no line within 5 s.
bool MeasureTouchLatency(const std::vector<std::string> &launcher, int reports, LatencyFigures *figures,
                         std::string *problem, int observerPriority = 0);

// Sets the p50_us, p99_us, max_us and reports counters, named with `prefix` ("quiet_" say).
void SetCounters(benchmark::State &state, const std::string &prefix, const LatencyFigures &figures);

}  // namespace bench_support
