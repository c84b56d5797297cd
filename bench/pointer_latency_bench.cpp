// How to run: scripts/bench pointer_latency   (NORVIK_LATENCY_REPORTS=N to change the 10 000)
//
// End-to-end latency of a touch: from the last byte of a report written to the pseudo-terminal
// to its line in the pointer log of the driver running in devmgr, over reports paced at 9600
// baud (one report's own transmission takes 5.2 ms). The log is a FIFO this benchmark reads, so
// each line is timed as it is written. Goal: p99 under 1 ms ("p99_us" counter).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "process.h"
#include "test_root.h"

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

void BM_ReportToPointerLog(benchmark::State &state) {
  const char *env = std::getenv("NORVIK_LATENCY_REPORTS");
  const int reports = env != nullptr ? std::max(10, std::atoi(env)) : 10000;
  for (auto _ : state) {
    testing_support::TempDeviceRoot root;
    testing_support::PseudoTerminal pty;
    const std::string fifoPath = root.path() + "/pointer.fifo";
    mkfifo(fifoPath.c_str(), 0600);
    int fifo = open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK);
    root.WriteHive(testing_support::DefaultDevice(pty.slavePath()) +
                   "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + fifoPath + "\"\n");
    testing_support::ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
    if (!devmgr.WaitForLine(testing_support::Stream::kStderr, "Tarsel Mouse Found.", std::chrono::seconds(20))) {
      state.SkipWithError("the driver did not find its port");
      return;
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
        state.SkipWithError("a report gave no line in the pointer log");
        break;
      }
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    close(fifo);
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
    state.counters["reports"] = static_cast<double>(micros.size());
    state.SetIterationTime(1);
  }
}

BENCHMARK(BM_ReportToPointerLog)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
