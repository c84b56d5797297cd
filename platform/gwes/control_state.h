// The state each window of a predefined control class keeps (a button's check, a trackbar's range
// and position, a static's image), by window. Any thread may ask a control's state, so the table
// is guarded; it is never locked while a message is sent.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>

namespace platform::gwes {

template <typename State>
class ControlStates {
 public:
  void Add(HWND hwnd, const State &state) {
    std::lock_guard lock(mutex_);
    states_[hwnd] = state;
  }
  void Remove(HWND hwnd) {
    std::lock_guard lock(mutex_);
    states_.erase(hwnd);
  }
  std::optional<State> Get(HWND hwnd) const {
    std::lock_guard lock(mutex_);
    auto it = states_.find(hwnd);
    if (it == states_.end()) return std::nullopt;
    return it->second;
  }
  // Applies `change` to the window's state and returns what it returns; nothing for an unknown window.
  template <typename Change>
  auto Update(HWND hwnd, Change change) -> std::optional<decltype(change(std::declval<State &>()))> {
    std::lock_guard lock(mutex_);
    auto it = states_.find(hwnd);
    if (it == states_.end()) return std::nullopt;
    return change(it->second);
  }

 private:
  mutable std::mutex mutex_;
  std::map<HWND, State> states_;
};

// Whether a control takes clicks now: a disabled or hidden one does not.
inline bool TakesClicks(HWND control) { return IsWindowEnabled(control) && IsWindowVisible(control); }

}  // namespace platform::gwes
