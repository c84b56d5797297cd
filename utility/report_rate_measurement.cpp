// The report-rate measurement. "&Start" clears the driver's report counter and starts a 1000 ms
// timer; each tick reads and clears the counter, shows the last four counts (newest first) and
// their average, and ages the history. The device is opened for each single call, so the
// utility never keeps the driver's only handle between ticks.
#include "report_rate_measurement.h"

#include "norvik_device.h"
#include "resource.h"
#include "touch_settings_dialog.h"

DWORD g_rateSamples[4] = {0, 0, 0, 0};

namespace {

constexpr UINT kTickPeriod = 1000;

const int kRateReadouts[4] = {IDC_RATE_1, IDC_RATE_2, IDC_RATE_3, IDC_RATE_4};

HANDLE OpenDevice() {
  return CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

BOOL ResetReportCounter() {
  HANDLE device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) return FALSE;
  DeviceIoControl(device, IOCTL_NRV_RESET_REPORT_COUNT, nullptr, 0, nullptr, 0, nullptr, nullptr);
  CloseHandle(device);
  return TRUE;
}

// A count that did not arrive is not a count: the caller's word keeps its value and the tick is
// treated like one that could not open the device, instead of showing the old count as new.
BOOL ReadReportCounter(DWORD *out) {
  HANDLE device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) return FALSE;
  DWORD count = 0;
  BOOL answered = DeviceIoControl(device, IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count, nullptr, nullptr);
  CloseHandle(device);
  if (!answered) return FALSE;
  *out = count;
  return TRUE;
}

void CTouchSettingsDlg::OnStart() {
  m_nTimerID = static_cast<UINT>(SetTimer(m_nTimerID, kTickPeriod, nullptr));
  ResetReportCounter();
  // The Desktop radio's mark shows that a measurement runs; the stored mode does not change.
  SendDlgItemMessageW(m_hWnd, IDC_MODE_DESKTOP, BM_SETCHECK, BST_CHECKED, 0);
}

void CTouchSettingsDlg::OnTimer(UINT_PTR nIDEvent) {
  if (nIDEvent != m_nTimerID) return;
  if (!ReadReportCounter(&g_rateSamples[0])) return;
  WCHAR text[16];
  for (int slot = 0; slot < 4; ++slot) {
    wsprintfW(text, TEXT("%d"), g_rateSamples[slot]);
    SetDlgItemText(kRateReadouts[slot], text);
  }
  DWORD average = (g_rateSamples[3] + g_rateSamples[2] + g_rateSamples[1] + g_rateSamples[0]) >> 2;
  wsprintfW(text, TEXT("%d"), average);
  SetDlgItemText(IDC_RATE_AVERAGE, text);
  g_rateSamples[3] = g_rateSamples[2];
  g_rateSamples[2] = g_rateSamples[1];
  g_rateSamples[1] = g_rateSamples[0];
}
