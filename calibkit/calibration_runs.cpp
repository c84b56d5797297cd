// The calibration and draw-test runs. They are not built yet: each run ends at once, unfinished,
// and says so on the debug output and to the window that asked to be told.
#include "calibkit.h"

namespace {

int EndUnfinished(const char *run, HWND notify, UINT doneMessage) {
  NKDbgPrintfW(TEXT("calibkit: %a is not available in this build; the run ends unfinished\r\n"), run);
  if (doneMessage != 0 && notify != nullptr) PostMessageW(notify, doneMessage, 0, 0);
  return 0;
}

}  // namespace

extern "C" int Do2PtsCalibration(HINSTANCE, LPCWSTR, DWORD, int, HWND notify, UINT doneMessage) {
  return EndUnfinished("Do2PtsCalibration", notify, doneMessage);
}

extern "C" int Do5PtsCalibration(HINSTANCE, LPCWSTR, DWORD, int, HWND notify, UINT doneMessage) {
  return EndUnfinished("Do5PtsCalibration", notify, doneMessage);
}

extern "C" int Do25PtsCalibration(HINSTANCE, LPCWSTR, DWORD, int, HWND notify, UINT doneMessage) {
  return EndUnfinished("Do25PtsCalibration", notify, doneMessage);
}

extern "C" int DoDrawTest(HINSTANCE, LPCWSTR, DWORD, int, HWND notify, UINT doneMessage) {
  return EndUnfinished("DoDrawTest", notify, doneMessage);
}
