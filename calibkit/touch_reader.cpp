// The calibration's own reading of the controller. A touch is its run of touching reports up to
// the report that ends it; the reading is the median of each axis over that run, so a stray
// report at the moment the finger lands or lifts does not move it.
#include "touch_reader.h"

#include <algorithm>
#include <vector>

#include "report_assembler.h"

namespace {

// Read time-outs as the driver sets them: at once with what is buffered, else at most 5 ms.
constexpr DWORD kReadWait = 5;

DWORD Median(std::vector<DWORD> values) {
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

}  // namespace

bool TouchReader::Open(LPCWSTR port, DWORD baudRate, const char **failedCall, DWORD *error) {
  Close();
  HANDLE opened = CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  auto fail = [&](const char *call) {
    *failedCall = call;
    *error = GetLastError();
    if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
    return false;
  };
  if (opened == INVALID_HANDLE_VALUE) return fail("CreateFileW");
  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(opened, &line)) return fail("GetCommState");
  line.BaudRate = baudRate;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  if (!SetCommState(opened, &line)) return fail("SetCommState");
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(opened, &timeouts)) return fail("GetCommTimeouts");
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = kReadWait;
  if (!SetCommTimeouts(opened, &timeouts)) return fail("SetCommTimeouts");
  // Touches made before the calibration asked for them are not touches of its targets.
  if (!PurgeComm(opened, PURGE_RXCLEAR | PURGE_RXABORT)) return fail("PurgeComm");
  port_ = opened;
  return true;
}

bool TouchReader::Start(HWND window, UINT message, UINT reportMessage) {
  if (port_ == INVALID_HANDLE_VALUE || thread_.joinable()) return false;
  stop_ = false;
  reportPending_ = false;
  thread_ = std::thread([this, window, message, reportMessage] { Run(window, message, reportMessage); });
  return true;
}

void TouchReader::Close() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
}

void TouchReader::Run(HWND window, UINT message, UINT reportMessage) {
  ReportAssembler assembler;
  std::vector<DWORD> xs, ys;
  while (!stop_) {
    BYTE bytes[64];
    DWORD count = 0;
    if (!ReadFile(port_, bytes, sizeof bytes, &count, nullptr)) {
      // A line that fails keeps failing at once; do not spin on it.
      Sleep(kReadWait);
      continue;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (!assembler.Frame(bytes[i])) continue;
      DWORD x = 0, y = 0;
      ReportRawPosition(assembler.packet, &x, &y);
      if (ReportTouching(assembler.packet)) {
        xs.push_back(x);
        ys.push_back(y);
        if (!reportPending_.exchange(true)) PostMessageW(window, reportMessage, 0, 0);
      } else if (!xs.empty()) {
        PostMessageW(window, message, Median(xs), static_cast<LPARAM>(Median(ys)));
        xs.clear();
        ys.clear();
      }
    }
  }
}
