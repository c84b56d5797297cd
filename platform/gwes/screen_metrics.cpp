// The screen the window manager lays windows out on. Without a display the screen is 800 x 480
// pixels, a common size of the device's panels, and all of it is work area (there is no taskbar).
#include <windows.h>

namespace {

const int kScreenWidth = 800;
const int kScreenHeight = 480;

}  // namespace

extern "C" int WINAPI GetSystemMetrics(int nIndex) {
  switch (nIndex) {
    case SM_CXSCREEN: return kScreenWidth;
    case SM_CYSCREEN: return kScreenHeight;
    default: return 0;
  }
}

extern "C" BOOL WINAPI SystemParametersInfoW(UINT uiAction, UINT, PVOID pvParam, UINT) {
  if (uiAction != SPI_GETWORKAREA || pvParam == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *static_cast<RECT *>(pvParam) = RECT{0, 0, kScreenWidth, kScreenHeight};
  return TRUE;
}
