// The windows of this process, by handle: what each is (class, name, procedure, style, parent)
// and which thread owns it. Adding a top-level window publishes it on the device root and
// removing it withdraws it, so the published windows are exactly the live top-level ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "message_queue.h"

namespace platform::gwes {

struct Window {
  HWND hwnd = nullptr;
  std::u16string className;  // as the class was registered
  WNDPROC procedure = nullptr;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;
  std::shared_ptr<MessageQueue> queue;  // the owner thread's
  std::atomic<bool> destroying{false};  // DestroyWindow has begun; only the owner thread sets it

  // What the window calls change after creation; any thread may read it, so `stateMutex` guards it.
  mutable std::mutex stateMutex;
  std::u16string name;  // the window text
  RECT rect{};          // in the parent's client coordinates; the screen's for a top-level window
  bool visible = false;
  bool enabled = true;
  bool topmost = false;
  int id = 0;  // a child's control id
  uint64_t z = 0;  // a top-level window's last coming to the front (steady clock, in ns)
  HICON icons[2] = {nullptr, nullptr};  // ICON_SMALL, ICON_BIG
};

using WindowPtr = std::shared_ptr<Window>;

// A handle for a new window of this process.
HWND NewWindowHandle();
// Adds a window, publishing it when it is top-level. ERROR_SUCCESS, or the reason it could not be
// published, and then it is not added.
DWORD AddWindow(const WindowPtr &window);
// Takes a window out, withdraws its publication and drops the messages posted to it.
void RemoveWindow(const WindowPtr &window);
// The thread that owned `queue` has ended: its windows go, without any message.
void RemoveThreadWindows(const MessageQueue *queue);

// The window of this process a handle names, or null.
WindowPtr LookupWindow(HWND hwnd);
bool IsLocalWindow(HWND hwnd);
// The first top-level window, in order of creation, with the class and the name given (compared without
// regard to ASCII letter case); nothing given matches any.
WindowPtr FindLocalWindow(const std::optional<std::u16string> &className, const std::optional<std::u16string> &name);
// The windows whose parent or owner is `parent`.
std::vector<WindowPtr> ChildWindows(HWND parent);

}  // namespace platform::gwes
