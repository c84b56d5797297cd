// The screen the window manager lays windows out on, one size for the whole device. With an X11
// display open in the process it is the X screen, or the monitor HKLM\Platform\Display "Output"
// names on it; without one it is HKLM\Platform\Display "Width" and "Height" in the device root's
// registry, 800 x 480 pixels (a common size of the device's panels) when they are missing. All of
// it is work area: there is no taskbar. The virtual screen (SM_XVIRTUALSCREEN and the others) is
// what the pointer's absolute positions span, the whole X screen of which the device's is a part.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "platform/device_root.h"
#include "screen_size.h"

namespace platform::gwes {
namespace {

constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 480;
constexpr DWORD kLargestSide = 32767;

// Set once a display is open.
std::mutex displayMutex;
std::optional<DisplayScreen> displayScreen;

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

void SetDisplayScreen(const DisplayScreen &screen) {
  std::lock_guard lock(displayMutex);
  displayScreen = screen;
}

POINT ScreenOrigin() {
  std::lock_guard lock(displayMutex);
  return displayScreen ? displayScreen->origin : POINT{0, 0};
}

RECT PointerSpan() {
  {
    std::lock_guard lock(displayMutex);
    if (displayScreen) return displayScreen->pointer;
  }
  const ScreenSize size = CurrentScreenSize();
  return RECT{0, 0, size.width, size.height};
}

std::string DisplayOutputName() {
  HKEY key = nullptr;
  if (DeviceRoot().empty() || RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Display", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return "";
  }
  WCHAR name[256] = {};
  DWORD type = 0, size = sizeof name - sizeof(WCHAR);
  LONG result = RegQueryValueExW(key, u"Output", nullptr, &type, reinterpret_cast<BYTE *>(name), &size);
  RegCloseKey(key);
  if (result == ERROR_FILE_NOT_FOUND) return "";
  if (result != ERROR_SUCCESS || type != REG_SZ) {
    std::fprintf(stderr, "gwes: HKLM\\Platform\\Display \"Output\" is not a string of at most 255 characters; the "
                         "device's screen is the whole X screen: set it with nrvctl init --force --output NAME\n");
    return "";
  }
  std::string narrow;
  for (const WCHAR *at = name; *at != 0; ++at) narrow += *at < 0x80 ? static_cast<char>(*at) : '?';
  return narrow;
}

ScreenSize CurrentScreenSize() {
  {
    std::lock_guard lock(displayMutex);
    if (displayScreen) return displayScreen->size;
  }
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
    case SM_XVIRTUALSCREEN: return static_cast<int>(platform::gwes::PointerSpan().left);
    case SM_YVIRTUALSCREEN: return static_cast<int>(platform::gwes::PointerSpan().top);
    case SM_CXVIRTUALSCREEN: return static_cast<int>(platform::gwes::PointerSpan().right - platform::gwes::PointerSpan().left);
    case SM_CYVIRTUALSCREEN: return static_cast<int>(platform::gwes::PointerSpan().bottom - platform::gwes::PointerSpan().top);
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
