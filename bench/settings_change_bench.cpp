// How to run: scripts/bench settings_change   (NORVIK_CHANGES=N to change the 2000)
//
// The time of one change in the Touch Settings dialog, from the click on a mode radio to the
// record stored and live in the driver: the dialog's handler fetches the record and stores it
// through libcalibkit.so, each call opening "NRV1:", issuing its control code and closing it
// again, with the driver in devmgr saving its key. Beside it, in the same run, the reference: a
// bare IOCTL_NRV_SET_SETTINGS on a handle kept open, and one with its own open and close. The
// three take turns in blocks of 50, so that each meets the disk as the others do (a save ends
// with fsync, whose time drifts over a run). Counters: median ("_p50_us") and p99 ("_p99_us") of
// each, in microseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "calibkit.h"
#include "norvik_device.h"
#include "norvik_host.h"
#include "platform/headless.h"
#include "resource.h"
#include "resource_file.h"
#include "touch_settings_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;

// The application object, whose instance handle names the utility's compiled resources.
CWinApp application;

double Micros(Clock::duration elapsed) { return std::chrono::duration<double, std::micro>(elapsed).count(); }

void Report(benchmark::State &state, const char *name, std::vector<double> samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double share) { return samples[static_cast<size_t>(share * static_cast<double>(samples.size() - 1))]; };
  state.counters[std::string(name) + "_p50_us"] = at(0.50);
  state.counters[std::string(name) + "_p99_us"] = at(0.99);
}

void BM_SettingsChange(benchmark::State &state) {
  const char *env = std::getenv("NORVIK_CHANGES");
  const int changes = env != nullptr ? std::max(10, std::atoi(env)) : 2000;
  std::string error;
  application.m_hInstance = reinterpret_cast<HINSTANCE>(platform::LoadResourceFile(NORVIK_BIN_DIR "/calvex.res", &error));
  if (application.m_hInstance == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    testing_support::TempDeviceRoot root;
    testing_support::PseudoTerminal line;
    testing_support::NorvikHost host(root, line);
    if (!host.Running()) {
      state.SkipWithError("the driver did not start in devmgr");
      return;
    }

    // Clicks alternate between Drawing and Desktop, so that every one changes the stored mode.
    std::vector<double> clicks, bare, opened;
    clicks.reserve(static_cast<size_t>(changes));
    constexpr int kBlock = 50;
    tagParameter stored{};
    int missed = 0;
    namespace headless = platform::headless;
    headless::Session session({headless::Call([&] {
                                 HWND dialog = FindWindowW(nullptr, TEXT("Touch  Settings"));
                                 HWND radios[2] = {GetDlgItem(dialog, IDC_MODE_DRAWING), GetDlgItem(dialog, IDC_MODE_DESKTOP)};
                                 for (int done = 0; done < changes; done += kBlock) {
                                   const int block = std::min(kBlock, changes - done);
                                   for (int i = done; i < done + block; ++i) {
                                     Clock::time_point started = Clock::now();
                                     SendMessageW(radios[i % 2], BM_CLICK, 0, 0);
                                     clicks.push_back(Micros(Clock::now() - started));
                                   }
                                   // The block's last click is what the driver holds.
                                   if (GetDevicePanelParameter(&stored) == 0 ||
                                       stored.MouseMod != ((done + block - 1) % 2 == 0 ? 1u : 0u))
                                     ++missed;
                                   HANDLE device = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                                               nullptr, OPEN_EXISTING, 0, nullptr);
                                   // Each store changes the mode, as each click does.
                                   for (int i = 0; i < block; ++i) {
                                     stored.MouseMod = static_cast<DWORD>(i % 2);
                                     Clock::time_point started = Clock::now();
                                     DeviceIoControl(device, IOCTL_NRV_SET_SETTINGS, &stored, sizeof stored, nullptr, 0,
                                                     nullptr, nullptr);
                                     bare.push_back(Micros(Clock::now() - started));
                                   }
                                   CloseHandle(device);
                                   for (int i = 0; i < block; ++i) {
                                     stored.MouseMod = static_cast<DWORD>(i % 2);
                                     Clock::time_point started = Clock::now();
                                     HANDLE each = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                                               nullptr, OPEN_EXISTING, 0, nullptr);
                                     DeviceIoControl(each, IOCTL_NRV_SET_SETTINGS, &stored, sizeof stored, nullptr, 0,
                                                     nullptr, nullptr);
                                     CloseHandle(each);
                                     opened.push_back(Micros(Clock::now() - started));
                                   }
                                 }
                               }),
                               headless::Click(IDOK)});
    CTouchSettingsDlg dialog;
    if (dialog.DoModal() != IDOK) {
      state.SkipWithError(("the dialog did not run: " + session.Error()).c_str());
      return;
    }
    if (missed != 0) {
      state.SkipWithError("a block's last click's mode is not what the driver held");
      return;
    }
    Report(state, "click_to_live", clicks);
    Report(state, "bare_set", bare);
    Report(state, "open_set_close", opened);
  }
}

BENCHMARK(BM_SettingsChange)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
