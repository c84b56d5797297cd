// touchtray: the tray program's stand-in. It owns the "TOUCHTRAY" window on a device root and
// prints one line for each message its window procedure receives, so that people and tests can
// see the notices the touch driver sends it. SIGTERM, SIGINT or WM_CLOSE end it.
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "platform/device_root.h"
#include "platform/help_option.h"
#include "platform/stop_signals.h"

namespace {

const char kUsage[] =
    "usage: touchtray [--root DIR]\n"
    "Owns the TOUCHTRAY window on the device root and prints each message it receives until\n"
    "SIGTERM, SIGINT or WM_CLOSE.\n";

const char16_t kTrayName[] = u"TOUCHTRAY";

// Set once the window exists; messages before that (WM_CREATE) carry this process's pointers and
// are not printed.
bool logging = false;

std::string MessageName(UINT message) {
  switch (message) {
    case WM_NULL: return "WM_NULL";
    case WM_DESTROY: return "WM_DESTROY";
    case WM_CLOSE: return "WM_CLOSE";
    case WM_COMMAND: return "WM_COMMAND";
    case WM_TIMER: return "WM_TIMER";
    case WM_MOUSEMOVE: return "WM_MOUSEMOVE";
    case WM_LBUTTONDOWN: return "WM_LBUTTONDOWN";
    case WM_LBUTTONUP: return "WM_LBUTTONUP";
    case WM_RBUTTONDOWN: return "WM_RBUTTONDOWN";
    case WM_RBUTTONUP: return "WM_RBUTTONUP";
    case WM_USER: return "WM_USER";
    default: break;
  }
  if (message > WM_USER && message < 0x8000) return "WM_USER+" + std::to_string(message - WM_USER);
  char text[32];
  std::snprintf(text, sizeof(text), "message 0x%04X", message);
  return text;
}

LRESULT CALLBACK TrayProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (logging) {
    std::printf("%s wParam=%" PRIuPTR " lParam=%" PRIdPTR "\n", MessageName(message).c_str(), wParam, lParam);
    std::fflush(stdout);
  }
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::string Reason(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED: return "permission denied; make the folder writable for this user";
    case ERROR_PATH_NOT_FOUND: return "the folder cannot be created; check that the device root exists";
    case ERROR_FILENAME_EXCED_RANGE:
      return "its socket path would be longer than 107 bytes; use a device root with a shorter path";
    case ERROR_NOT_ENOUGH_MEMORY: return "out of memory or file descriptors; close other programs and retry";
    default: return "error " + std::to_string(error) + "; check the folder and retry";
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (platform::WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!platform::InitDeviceRoot(argc, argv, "touchtray")) return 2;
  if (argc > 1) {
    std::fprintf(stderr, "touchtray: unknown argument %s\n%s", argv[1], kUsage);
    return 2;
  }
  std::string run = platform::DeviceRoot() + "/run";

  // Signals are taken by a thread of their own, so they must be blocked before any thread starts.
  platform::BlockStopSignals();

  if (FindWindowW(kTrayName, kTrayName) != nullptr) {
    std::fprintf(stderr, "touchtray: a TOUCHTRAY window already exists on the device root %s; stop the touchtray "
                 "that owns it first\n", platform::DeviceRoot().c_str());
    return 1;
  }
  WNDCLASSW trayClass{};
  trayClass.lpfnWndProc = TrayProcedure;
  trayClass.lpszClassName = kTrayName;
  if (RegisterClassW(&trayClass) == 0) {
    std::fprintf(stderr, "touchtray: cannot register the TOUCHTRAY window class (error %u)\n",
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  HWND window = CreateWindowExW(0, kTrayName, kTrayName, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
  if (window == nullptr) {
    std::fprintf(stderr, "touchtray: cannot publish the TOUCHTRAY window under %s: %s\n", run.c_str(),
                 Reason(GetLastError()).c_str());
    return 1;
  }

  platform::StopSignalWatcher signalWatcher;
  std::string watchError;
  // Closing the window the way any program would; after the loop has ended this fails harmlessly.
  if (!signalWatcher.Start([window](int) { PostMessageW(window, WM_CLOSE, 0, 0); }, &watchError)) {
    std::fprintf(stderr, "touchtray: cannot start a thread to watch for signals: %s; raise the thread limit\n",
                 watchError.c_str());
    DestroyWindow(window);
    return 1;
  }

  logging = true;
  std::printf("touchtray: window TOUCHTRAY ready\n");
  std::fflush(stdout);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // WM_QUIT posted by another program ends the loop with the window still there.
  if (IsWindow(window)) DestroyWindow(window);

  signalWatcher.Stop();
  return 0;
}
