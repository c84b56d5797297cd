// The draw test. It is not built yet: it ends at once and says so on the debug output.
#include "calibkit.h"

extern "C" int DoDrawTest(HINSTANCE, LPCWSTR, DWORD, int, HWND notify, UINT doneMessage) {
  NKDbgPrintfW(TEXT("calibkit: DoDrawTest is not available in this build\r\n"));
  if (doneMessage != 0 && notify != nullptr) PostMessageW(notify, doneMessage, 0, 0);
  return 0;
}
