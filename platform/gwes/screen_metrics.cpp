// The screen the window manager lays windows out on, one size for the whole device. With an X11
// display open in the process it is the X screen's size; without one it is HKLM\Platform\Display
// "Width" and "Height" in the device root's registry, 800 x 480 pixels (a common size of the
// device's panels) when they are missing. All of it is work area: there is no taskbar.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/device_root.h"
#include "screen_size.h"

namespace platform::gwes {
namespace {

constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 480;
constexpr DWORD kLargestSide = 32767;

// Set once a display is open: its screen's size, packed as width << 16 | height.
std::atomic<DWORD> displayScreen{0};

struct RegistryScreen {
  std::mutex mutex;
  std::string root;  // the device root the size was read for
  bool read = false;
  int width = kDefaultWidth, height = kDefaultHeight;
};

RegistryScreen &Registry() {
  static auto *screen = new RegistryScreen;
  return *screen;
}

// One of the two values; a value that is missing keeps the default, one that is not a dword
// from 1 to 32767 is reported once and ignored.
void ReadSide(HKEY key, LPCWSTR name, const char *text, int *side) {
  DWORD value = 0, type = 0, size = sizeof value;
  LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
  if (result == ERROR_FILE_NOT_FOUND) return;
  if (result != ERROR_SUCCESS || type != REG_DWORD || value < 1 || value > kLargestSide) {
    std::fprintf(stderr,
                 "gwes: HKLM\\Platform\\Display \"%s\" is not a dword from 1 to %u; the screen keeps its %s of %d "
                 "pixels\n",
                 text, kLargestSide, text[0] == 'W' ? "width" : "height", *side);
    return;
  }
  *side = static_cast<int>(value);
}

}  // namespace

void SetDisplayScreenSize(int width, int height) {
  displayScreen = (static_cast<DWORD>(width) << 16) | static_cast<DWORD>(height & 0xFFFF);
}

ScreenSize CurrentScreenSize() {
  if (DWORD packed = displayScreen.load()) return ScreenSize{static_cast<int>(packed >> 16), static_cast<int>(packed & 0xFFFF)};
  RegistryScreen &screen = Registry();
  std::lock_guard lock(screen.mutex);
  std::string root = DeviceRoot();
  if (!screen.read || screen.root != root) {
    screen.width = kDefaultWidth;
    screen.height = kDefaultHeight;
    HKEY key = nullptr;
    if (!root.empty() && RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Display", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
      ReadSide(key, u"Width", "Width", &screen.width);
      ReadSide(key, u"Height", "Height", &screen.height);
      RegCloseKey(key);
    }
    screen.root = root;
    screen.read = true;
  }
  return ScreenSize{screen.width, screen.height};
}

}  // namespace platform::gwes

extern "C" int WINAPI GetSystemMetrics(int nIndex) {
  switch (nIndex) {
    case SM_CXSCREEN: return platform::gwes::CurrentScreenSize().width;
    case SM_CYSCREEN: return platform::gwes::CurrentScreenSize().height;
    default: return 0;
  }
}

extern "C" BOOL WINAPI SystemParametersInfoW(UINT uiAction, UINT, PVOID pvParam, UINT) {
  if (uiAction != SPI_GETWORKAREA || pvParam == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  platform::gwes::ScreenSize screen = platform::gwes::CurrentScreenSize();
  *static_cast<RECT *>(pvParam) = RECT{0, 0, screen.width, screen.height};
  return TRUE;
}
