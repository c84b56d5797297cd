// How to run: scripts/bench report_pipeline
//
// The driver's per-report work on the read thread, without the port: framing five bytes,
// decoding them and mapping the position through the calibration, in nanoseconds per report.
#include <benchmark/benchmark.h>

#include "driver_state.h"
#include "report_assembler.h"
#include "touch_report.h"

namespace {

void BM_FrameDecodeCalibrate(benchmark::State &state) {
  DriverSettings settings{};
  if (state.range(0) != 0) {
    settings.LLX = 300;
    settings.LLY = 250;
    settings.URX = 1750;
    settings.URY = 1800;
  }
  driverState.settings.Assign(settings);
  // A stream of distinct reports, so that no branch settles on one position.
  BYTE stream[64 * 5];
  for (int i = 0; i < 64; ++i) {
    int x = (i * 2897) & 0x3FFF, y = (i * 7919) & 0x3FFF;
    BYTE report[5] = {static_cast<BYTE>(i % 3 == 0 ? 0x80 : 0x90), static_cast<BYTE>(x >> 7),
                      static_cast<BYTE>(x & 0x7F), static_cast<BYTE>(y >> 7), static_cast<BYTE>(y & 0x7F)};
    std::copy(report, report + 5, stream + i * 5);
  }
  ReportAssembler assembler;
  size_t next = 0;
  for (auto _ : state) {
    for (int i = 0; i < 5; ++i) {
      if (assembler.Frame(stream[next++])) {
        TouchReport report = DecodeReport(assembler.packet);
        benchmark::DoNotOptimize(report);
      }
    }
    if (next == sizeof stream) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  driverState.settings.Assign(DriverSettings{});
}

BENCHMARK(BM_FrameDecodeCalibrate)->Arg(0)->Arg(1)->ArgName("calibrated");

}  // namespace

BENCHMARK_MAIN();
