// The controller's port during a calibration: opened with the driver's line settings and
// time-outs (the driver is stopped meanwhile, which frees it), cleared of what was waiting, and
// read by a thread of its own that frames the raw reports and tells a window of each completed
// touch (the per-axis median of its touching reports, when the touch is lifted) and that reports
// are arriving while a touch is held.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

class TouchReader {
 public:
  TouchReader() = default;
  ~TouchReader() { Close(); }
  TouchReader(const TouchReader &) = delete;
  TouchReader &operator=(const TouchReader &) = delete;

  // Opens `port` at `baudRate`, 8 data bits, no parity, one stop bit, with reads that return at
  // once with what is there (or after 5 ms with nothing), and discards what the line held. False,
  // with the failing call's name and error code, when the port cannot be used.
  bool Open(LPCWSTR port, DWORD baudRate, const char **failedCall, DWORD *error);
  // Starts telling `window` of each completed touch with `message`: wParam the raw x, lParam the
  // raw y (0..65532); and of touching reports with `reportMessage`, posted again only once the
  // window has called ReportsSeen, so that a slow window's queue does not fill with them.
  bool Start(HWND window, UINT message, UINT reportMessage);
  // The window has taken the last `reportMessage`.
  void ReportsSeen() { reportPending_ = false; }
  // Stops the thread and closes the port; harmless when neither is there.
  void Close();

 private:
  void Run(HWND window, UINT message, UINT reportMessage);

  HANDLE port_ = INVALID_HANDLE_VALUE;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reportPending_{false};
  std::thread thread_;
};
