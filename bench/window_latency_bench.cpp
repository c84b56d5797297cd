// How to run: scripts/bench window_latency   (NORVIK_LATENCY_TOUCHES=N to change the 1000)
//
// End-to-end latency of a touch reaching the device's windows: from the last byte of a report
// written to the pseudo-terminal to the WM_LBUTTONDOWN that calvex's main dialog is dispatched,
// through the driver in devmgr and the "windows" pointer output, over touches paced at 9600 baud
// (a press report, then the report that lifts it). Beside it, in the same run and for the same
// reports, the latency to the press's line in the driver's pointer log, which the windows output
// writes first. Counters: "window_p50_us", "window_p99_us" (goal: under 2 ms) and "log_p50_us",
// "log_p99_us".
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <windows.h>

#include "norvik_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ChildProcess;
using testing_support::Stream;

// Reads from a FIFO until a line holding `wanted` has arrived; false after `timeout` ms without one.
bool ReadLineWith(int fifo, std::string &pending, const char *wanted, int timeout = 5000) {
  for (;;) {
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      bool found = pending.substr(0, end).find(wanted) != std::string::npos;
      pending.erase(0, end + 1);
      if (found) return true;
    }
    pollfd readable{fifo, POLLIN, 0};
    if (poll(&readable, 1, timeout) != 1) return false;
    char buffer[512];
    ssize_t n = read(fifo, buffer, sizeof buffer);
    if (n > 0) pending.append(buffer, static_cast<size_t>(n));
  }
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

void BM_TouchToWindow(benchmark::State &state) {
  const char *env = std::getenv("NORVIK_LATENCY_TOUCHES");
  const int touches = env != nullptr ? std::max(10, std::atoi(env)) : 1000;
  for (auto _ : state) {
    testing_support::TempDeviceRoot root;
    testing_support::PseudoTerminal line;
    const std::string logFifo = root.path() + "/pointer.fifo", traceFifo = root.path() + "/input.fifo";
    mkfifo(logFifo.c_str(), 0600);
    mkfifo(traceFifo.c_str(), 0600);
    int log = open(logFifo.c_str(), O_RDONLY | O_NONBLOCK);
    int trace = open(traceFifo.c_str(), O_RDONLY | O_NONBLOCK);
    testing_support::NorvikHost host(root, line,
                                     "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n\"PointerLog\"=\"" +
                                         logFifo + "\"\n");
    if (!host.Running()) {
      state.SkipWithError("the driver did not start");
      return;
    }
    testing_support::WriteFile(root.path() + "/script.txt", "wait 3600000\n");
    ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"},
                        {{"PLATFORM_INPUT_TRACE", traceFifo}});
    if (!testing_support::WaitUntil([] { return FindWindowW(nullptr, u"Calvex") != nullptr; }, std::chrono::seconds(20))) {
      state.SkipWithError("calvex did not show its main dialog");
      return;
    }
    // The main dialog's left half, below the logo: the dialog itself takes the press. On the
    // 800 x 480 screen the dialog's client area starts at (131, 133), under its caption.
    const int x = (131 + 200) * 65535 / 799 / 4, y = (65535 - (120 + 120) * 65535 / 479) / 4;
    std::string logPending, tracePending;
    auto send = [&](bool touching) {
      const char report[5] = {static_cast<char>(touching ? 0x90 : 0x80), static_cast<char>(x >> 7),
                              static_cast<char>(x & 0x7F), static_cast<char>(y >> 7), static_cast<char>(y & 0x7F)};
      line.Send(std::string(report, 5));
    };
    // The dialog is found before it shows: touches count once one reaches it.
    bool reached = false;
    for (int attempt = 0; attempt < 200 && !reached; ++attempt) {
      send(true);
      send(false);
      reached = ReadLineWith(trace, tracePending, "WM_LBUTTONDOWN", 50);
    }
    if (!reached) {
      state.SkipWithError("no touch reached calvex's main dialog");
      return;
    }
    ReadLineWith(trace, tracePending, "WM_LBUTTONUP", 1000);
    ReadLineWith(log, logPending, "flags=0x8005", 1000);
    std::vector<double> toWindow, toLog;
    const auto period = std::chrono::microseconds(5208);  // 50 bit times at 9600 baud
    auto next = Clock::now();
    for (int i = 0; i < touches; ++i) {
      for (bool touching : {true, false}) {
        std::this_thread::sleep_until(next);
        next += period;
        send(touching);
        const auto sent = Clock::now();
        if (!touching) continue;
        if (!ReadLineWith(log, logPending, "flags=0x8003")) {
          state.SkipWithError("a press gave no line in the pointer log");
          return;
        }
        toLog.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        if (!ReadLineWith(trace, tracePending, "WM_LBUTTONDOWN")) {
          state.SkipWithError("a press gave calvex no WM_LBUTTONDOWN");
          return;
        }
        toWindow.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
      }
    }
    calvex.Signal(SIGTERM);
    calvex.WaitForExit(std::chrono::seconds(20));
    close(log);
    close(trace);
    state.counters["window_p50_us"] = Percentile(toWindow, 0.50);
    state.counters["window_p99_us"] = Percentile(toWindow, 0.99);
    state.counters["log_p50_us"] = Percentile(toLog, 0.50);
    state.counters["log_p99_us"] = Percentile(toLog, 0.99);
    state.counters["touches"] = static_cast<double>(toWindow.size());
    state.SetIterationTime(1);
  }
}

BENCHMARK(BM_TouchToWindow)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
