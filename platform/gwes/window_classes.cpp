// RegisterClassW and the process's table of window classes.
#include "window_classes.h"

#include <mutex>
#include <vector>

#include "platform/text.h"

namespace platform::gwes {
namespace {

// Atoms of registered classes, like the device's string atoms, lie from 0xC000 to 0xFFFF.
constexpr ATOM kFirstAtom = 0xC000;
constexpr size_t kMaxClasses = 0x10000 - kFirstAtom;

struct ClassTable {
  std::mutex mutex;
  std::vector<WindowClass> classes;  // classes[i] has atom kFirstAtom + i
};

ClassTable &Classes() {
  static ClassTable *table = new ClassTable;  // outlives static destructors that still create windows
  return *table;
}

}  // namespace

std::optional<WindowClass> FindWindowClass(LPCWSTR className) {
  if (className == nullptr) return std::nullopt;
  auto &table = Classes();
  std::lock_guard lock(table.mutex);
  if (IsClassAtom(className)) {
    auto atom = static_cast<size_t>(reinterpret_cast<uintptr_t>(className));
    if (atom < kFirstAtom || atom - kFirstAtom >= table.classes.size()) return std::nullopt;
    return table.classes[atom - kFirstAtom];
  }
  for (const auto &windowClass : table.classes)
    if (EqualsIgnoreCase(windowClass.name, className)) return windowClass;
  return std::nullopt;
}

}  // namespace platform::gwes

extern "C" ATOM WINAPI RegisterClassW(const WNDCLASSW *lpWndClass) {
  using platform::gwes::WindowClass;
  if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr || lpWndClass->lpszClassName == nullptr ||
      platform::gwes::IsClassAtom(lpWndClass->lpszClassName) || lpWndClass->lpszClassName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto &table = platform::gwes::Classes();
  std::lock_guard lock(table.mutex);
  for (const auto &windowClass : table.classes) {
    if (platform::EqualsIgnoreCase(windowClass.name, lpWndClass->lpszClassName)) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  if (table.classes.size() >= platform::gwes::kMaxClasses) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  WindowClass entry;
  entry.atom = static_cast<ATOM>(platform::gwes::kFirstAtom + table.classes.size());
  entry.name = lpWndClass->lpszClassName;
  entry.style = lpWndClass->style;
  entry.procedure = lpWndClass->lpfnWndProc;
  entry.instance = lpWndClass->hInstance;
  table.classes.push_back(entry);
  SetLastError(ERROR_SUCCESS);
  return entry.atom;
}
