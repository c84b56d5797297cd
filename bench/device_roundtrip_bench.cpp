// How to run: cmake --build build/default --target device_roundtrip_bench && build/default/bin/device_roundtrip_bench
//
// The round trip of a 48-byte DeviceIoControl echo through devmgr and the test driver, beside a
// plain Unix-domain SOCK_SEQPACKET echo of the same 48 bytes to a thread of this process, in one
// run. Compare the two "_median" lines: the device call should stay under twice the plain echo.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <windows.h>

#include "../tests/drivers/test_driver.h"
#include "process.h"
#include "test_root.h"

namespace {

constexpr size_t kBytes = 48;
constexpr int kRepetitions = 9;

void BM_DeviceIoControlEcho(benchmark::State &state) {
  HANDLE device = CreateFileW(u"TST1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    state.SkipWithError("cannot open TST1:");
    return;
  }
  BYTE in[kBytes] = {1, 2, 3};
  BYTE out[kBytes];
  DWORD returned = 0;
  for (auto _ : state) {
    if (!DeviceIoControl(device, IOCTL_TST_ECHO, in, kBytes, out, kBytes, &returned, nullptr)) {
      state.SkipWithError("DeviceIoControl failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  CloseHandle(device);
}

void BM_UnixSocketEcho(benchmark::State &state) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread echo([fd = pair[1]] {
    char record[kBytes];
    ssize_t n;
    while ((n = recv(fd, record, sizeof(record), 0)) > 0) send(fd, record, static_cast<size_t>(n), MSG_NOSIGNAL);
  });
  char in[kBytes] = {1, 2, 3};
  char out[kBytes];
  for (auto _ : state) {
    if (send(pair[0], in, kBytes, MSG_NOSIGNAL) != static_cast<ssize_t>(kBytes) ||
        recv(pair[0], out, kBytes, 0) != static_cast<ssize_t>(kBytes)) {
      state.SkipWithError("echo failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  shutdown(pair[0], SHUT_RDWR);
  echo.join();
  close(pair[0]);
  close(pair[1]);
}

BENCHMARK(BM_DeviceIoControlEcho)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_UnixSocketEcho)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char **argv) {
  // Repetitions of the two benchmarks alternate, so that both see the same load on the machine.
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char *> arguments(argv, argv + argc);
  arguments.insert(arguments.begin() + 1, interleave);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  testing_support::TempDeviceRoot root;
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Test]\n\"Dll\"=\"libtest_driver.so\"\n\"Prefix\"=\"TST\"\n");
  testing_support::ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
  if (!devmgr.WaitForLine(testing_support::Stream::kStdout, "TST1: published", std::chrono::seconds(20))) {
    std::fprintf(stderr, "device_roundtrip_bench: devmgr did not publish TST1:; build the devmgr and test_driver "
                         "targets first. devmgr said:\n%s",
                 devmgr.Output(testing_support::Stream::kStderr).c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  devmgr.Signal(SIGTERM);
  devmgr.WaitForExit(std::chrono::seconds(20));
  return 0;
}
