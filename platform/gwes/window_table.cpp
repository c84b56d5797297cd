// The process's window table: a map from window number to window under one mutex that is never
// held while calling out, so window procedures and other threads may use it freely.
#include "window_table.h"

#include <sys/random.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/text.h"
#include "window_handle.h"
#include "window_publication.h"
#include "window_state.h"

namespace platform::gwes {
namespace {

struct WindowTable {
  std::mutex mutex;
  std::map<uint32_t, WindowPtr> windows;
  uint32_t lastNumber = 0;
};

WindowTable &Table() {
  static WindowTable *table = new WindowTable;  // outlives static destructors that still use windows
  return *table;
}

bool IsTopLevel(const Window &window) { return (window.style & WS_CHILD) == 0; }

}  // namespace

HWND NewWindowHandle() {
  auto &table = Table();
  std::lock_guard lock(table.mutex);
  // A process's numbers start at a random point below 2^31: a window's record in run/ is named
  // after its handle, and a name that others could tell in advance, they could take first.
  if (table.lastNumber == 0) {
    uint32_t start = 0;
    if (getrandom(&start, sizeof start, 0) == sizeof start) table.lastNumber = start & 0x7FFFFFFFu;
  }
  // Numbers wrap after 2^32 windows; 0 is skipped so that no handle is null.
  if (++table.lastNumber == 0) ++table.lastNumber;
  return MakeWindowHandle(getpid(), table.lastNumber);
}

DWORD AddWindow(const WindowPtr &window) {
  if (IsTopLevel(*window)) {
    window->z = FrontStamp();
    if (DWORD error = PublishWindow(window->hwnd, window->className, window->name, window->queue)) return error;
  }
  {
    auto &table = Table();
    std::lock_guard lock(table.mutex);
    table.windows[WindowNumber(window->hwnd)] = window;
  }
  Republish(window);
  return ERROR_SUCCESS;
}

void RemoveWindow(const WindowPtr &window) {
  if (IsTopLevel(*window)) UnpublishWindow(window->hwnd);
  {
    auto &table = Table();
    std::lock_guard lock(table.mutex);
    table.windows.erase(WindowNumber(window->hwnd));
  }
  window->queue->DiscardFor(window->hwnd);
}

void RemoveThreadWindows(const MessageQueue *queue) {
  std::vector<WindowPtr> gone;
  {
    auto &table = Table();
    std::lock_guard lock(table.mutex);
    for (auto it = table.windows.begin(); it != table.windows.end();) {
      if (it->second->queue.get() == queue) {
        gone.push_back(std::move(it->second));
        it = table.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto &window : gone)
    if (IsTopLevel(*window)) UnpublishWindow(window->hwnd);
}

WindowPtr LookupWindow(HWND hwnd) {
  if (hwnd == nullptr || WindowProcess(hwnd) != getpid()) return nullptr;
  auto &table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.windows.find(WindowNumber(hwnd));
  return it != table.windows.end() ? it->second : nullptr;
}

bool IsLocalWindow(HWND hwnd) { return LookupWindow(hwnd) != nullptr; }

WindowPtr FindLocalWindow(const std::optional<std::u16string> &className, const std::optional<std::u16string> &name) {
  auto &table = Table();
  std::lock_guard lock(table.mutex);
  for (const auto &[number, window] : table.windows) {
    if (!IsTopLevel(*window)) continue;
    if (className && !EqualsIgnoreCase(window->className, *className)) continue;
    if (name) {
      std::lock_guard state(window->stateMutex);
      if (!EqualsIgnoreCase(window->name, *name)) continue;
    }
    return window;
  }
  return nullptr;
}

std::vector<WindowPtr> ChildWindows(HWND parent) {
  std::vector<WindowPtr> children;
  auto &table = Table();
  std::lock_guard lock(table.mutex);
  for (const auto &[number, window] : table.windows)
    if (window->parent == parent) children.push_back(window);
  return children;
}

}  // namespace platform::gwes
