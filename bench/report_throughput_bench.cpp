// How to run: scripts/bench report_throughput
//
// End-to-end throughput of the driver's read thread on a pseudo-terminal written as fast as the
// line takes the bytes: the reports per second the driver counts, with zero loss, beside a plain
// loop that reads the same pseudo-terminal five bytes at a time in the same run. The goal is the
// driver within 1.5 times of that floor ("ratio" counter of the driver's line).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "driver_lifecycle.h"
#include "driver_state.h"
#include "test_root.h"

namespace {

constexpr int kReports = 20000;

std::string Stream() {
  std::string bytes;
  for (int i = 0; i < kReports; ++i) {
    int x = (i * 37) & 0x3FFF, y = (i * 91) & 0x3FFF;
    bytes += {static_cast<char>(0x90), static_cast<char>(x >> 7), static_cast<char>(x & 0x7F),
              static_cast<char>(y >> 7), static_cast<char>(y & 0x7F)};
  }
  return bytes;
}

double plainSeconds = 0;  // mean time of the plain loop's runs

// The floor: a reader that does nothing but read(2) five bytes at a time.
void BM_PlainReadLoop(benchmark::State &state) {
  const std::string bytes = Stream();
  for (auto _ : state) {
    testing_support::PseudoTerminal pty;
    int fd = open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY);
    auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { pty.Send(bytes); });
    size_t total = 0;
    char buffer[5];
    while (total < bytes.size()) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) total += static_cast<size_t>(n);
    }
    writer.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    plainSeconds += seconds / static_cast<double>(state.max_iterations);
    close(fd);
  }
  state.counters["reports_per_s"] = benchmark::Counter(kReports * state.iterations(), benchmark::Counter::kIsRate);
}

// The driver: its read thread counts the reports; the run ends when all of them are counted.
void BM_DriverReadThread(benchmark::State &state) {
  const std::string bytes = Stream();
  double driverSeconds = 0;
  for (auto _ : state) {
    testing_support::TempDeviceRoot root;
    testing_support::PseudoTerminal pty;
    root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"" + pty.slavePath() +
                   "\"\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n\"COMM\"=\"COM1:\"\n"
                   "\"BaudRate\"=dword:00002580\n\"MouseMod\"=dword:00000003\n");
    driverState.reportCount = 0;
    if (!StartDriver() || driverState.portHandle == nullptr) {
      state.SkipWithError("the driver did not find its port");
      return;
    }
    auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { pty.Send(bytes); });
    auto deadline = start + std::chrono::seconds(60);
    // Watching the count from a sleeping thread leaves both cores to the writer and the driver.
    while (driverState.reportCount < static_cast<DWORD>(kReports) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    if (driverState.reportCount != static_cast<DWORD>(kReports)) state.SkipWithError("reports were lost");
    state.SetIterationTime(seconds);
    driverSeconds += seconds / static_cast<double>(state.max_iterations);
    StopDriver();
  }
  state.counters["reports_per_s"] = benchmark::Counter(kReports * state.iterations(), benchmark::Counter::kIsRate);
  if (plainSeconds > 0) state.counters["ratio_to_plain"] = driverSeconds / plainSeconds;
}

BENCHMARK(BM_PlainReadLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DriverReadThread)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
