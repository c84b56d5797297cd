// How to run: scripts/bench report_pipeline
//
// The driver's per-report work on the read thread, without the port: framing five bytes,
// decoding them and mapping the position through the calibration, in nanoseconds per report.
// BM_FrameFilterDecodeCalibrate adds the touch filter, on a noisy drag with a wild reading now
// and then, beside the same stream without it ("filtered:0") in the same run: the bar is 30 ns a
// report with the filter on. BM_EmulatePointer is the step after those, the report turned into its
// mouse event (given to a sink that drops it) in Desktop mode, with the long press of 500 ms on
// ("longPress:1") beside off in the same run: touches of 63 reports, every other one held still
// past the long press, the others dragged.
#include <benchmark/benchmark.h>

#include "driver_state.h"
#include "platform/pointer_output.h"
#include "pointer_emulation.h"
#include "report_assembler.h"
#include "touch_filter.h"
#include "touch_report.h"

namespace {

void AppendReport(BYTE *to, bool touching, int x, int y) {
  const BYTE report[5] = {static_cast<BYTE>(touching ? 0x90 : 0x80), static_cast<BYTE>(x >> 7),
                          static_cast<BYTE>(x & 0x7F), static_cast<BYTE>(y >> 7), static_cast<BYTE>(y & 0x7F)};
  std::copy(report, report + 5, to);
}

void Calibrate(bool calibrated) {
  DriverSettings settings{};
  if (calibrated) {
    settings.LLX = 300;
    settings.LLY = 250;
    settings.URX = 1750;
    settings.URY = 1800;
  }
  driverState.settings.Assign(settings);
}

void BM_FrameDecodeCalibrate(benchmark::State &state) {
  Calibrate(state.range(0) != 0);
  // A stream of distinct reports, so that no branch settles on one position.
  BYTE stream[64 * 5];
  for (int i = 0; i < 64; ++i) AppendReport(stream + i * 5, i % 3 != 0, (i * 2897) & 0x3FFF, (i * 7919) & 0x3FFF);
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

// The read thread's steps for one report, the filter's included when it is on.
void BM_FrameFilterDecodeCalibrate(benchmark::State &state) {
  Calibrate(true);
  ConfigureTouchFilter({state.range(0) != 0, 16});
  // Touches of 63 reports dragged along a line with noise of up to 16 units, a wild reading in
  // 20, each ended by a lift.
  constexpr int kReports = 64 * 16;
  static BYTE stream[kReports * 5];
  unsigned noise = 12345;
  for (int i = 0; i < kReports; ++i) {
    noise = noise * 1103515245 + 12345;
    const int jitterX = static_cast<int>((noise >> 8) % 33) - 16, jitterY = static_cast<int>((noise >> 20) % 33) - 16;
    const int along = i % 64;
    int x = 2000 + along * 40 + jitterX, y = 3000 + along * 25 + jitterY;
    if (along % 20 == 19) x = (x + 6000) & 0x3FFF, y = (y + 9000) & 0x3FFF;
    AppendReport(stream + i * 5, along != 63, x, y);
  }
  ReportAssembler assembler;
  size_t next = 0;
  for (auto _ : state) {
    for (int i = 0; i < 5; ++i) {
      if (assembler.Frame(stream[next++])) {
        TouchReport report = ReadRawReport(assembler.packet);
        if (touchFilterStage.on) touchFilterStage.filter.Filter(report);
        MapToPointer(report);
        benchmark::DoNotOptimize(report);
      }
    }
    if (next == sizeof stream) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  ConfigureTouchFilter({});
  driverState.settings.Assign(DriverSettings{});
}

void BM_EmulatePointer(benchmark::State &state) {
  DriverSettings settings{};
  settings.XInplace = settings.YInplace = 5000;
  driverState.settings.Assign(settings);
  ConfigureLongPress(state.range(0) != 0 ? 500 : 0);
  platform::SetPointerSink([](const platform::PointerEvent &event) { benchmark::DoNotOptimize(event); });
  constexpr int kReports = 64 * 16;
  static TouchReport reports[kReports];
  for (int i = 0; i < kReports; ++i) {
    const int along = i % 64, touch = i / 64;
    const DWORD step = touch % 2 == 0 ? 0 : 700;  // held still, or dragged out of the box
    reports[i] = {along != 63, 20000 + along * step, 30000 + along * step / 2};
  }
  DWORD tick = 0;
  int next = 0;
  for (auto _ : state) {
    EmulatePointer(reports[next], tick += 5);
    if (++next == kReports) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  platform::SetPointerSink(nullptr);
  ConfigureLongPress(0);
  driverState.settings.Assign(DriverSettings{});
}

BENCHMARK(BM_FrameDecodeCalibrate)->Arg(0)->Arg(1)->ArgName("calibrated");
BENCHMARK(BM_EmulatePointer)->Arg(0)->Arg(1)->ArgName("longPress");
BENCHMARK(BM_FrameFilterDecodeCalibrate)->Arg(0)->Arg(1)->ArgName("filtered");

}  // namespace

BENCHMARK_MAIN();
