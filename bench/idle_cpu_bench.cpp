// How to run: scripts/bench idle_cpu
//
// The processor time devmgr uses over 10 s while the driver waits on an idle port: the read
// thread must sleep in the kernel, not poll. The goal is under 10 ms ("cpu_ms" counter).
#include <benchmark/benchmark.h>


#include "process.h"
#include "process_cpu.h"
#include "test_root.h"

namespace {

void BM_DevmgrIdlePort(benchmark::State &state) {
  for (auto _ : state) {
    testing_support::TempDeviceRoot root;
    testing_support::PseudoTerminal pty;
    root.WriteHive(testing_support::DefaultDevice(pty.slavePath()));
    testing_support::ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
    if (!devmgr.WaitForLine(testing_support::Stream::kStderr, "Tarsel Mouse Found.", std::chrono::seconds(20))) {
      state.SkipWithError("the driver did not find its port");
      return;
    }
    double used = testing_support::ProcessCpuMillisecondsOver(devmgr.pid(), std::chrono::seconds(10));
    state.SetIterationTime(10.0);
    state.counters["cpu_ms"] = used;
  }
}

BENCHMARK(BM_DevmgrIdlePort)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
