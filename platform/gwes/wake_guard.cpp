// The wake guard: a touch on a blanked screen would press whatever lies under the finger before
// the picture is back. After HKLM\Platform\Input "WakeGuard" seconds without any pointer event, a
// touch that begins only moves the pointer (which wakes the desktop) and its press and release
// go nowhere; the next touch works as usual.
#include <chrono>

#include "pointer_backend.h"

namespace platform {
namespace {

constexpr DWORD kPresses = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_MIDDLEDOWN;
constexpr DWORD kButtons = kPresses | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTUP | MOUSEEVENTF_MIDDLEUP;

class WakeGuard : public PointerBackend {
 public:
  WakeGuard(std::unique_ptr<PointerBackend> inner, DWORD seconds,
            std::function<std::chrono::steady_clock::time_point()> now)
      : inner_(std::move(inner)), idle_(seconds), now_(std::move(now)) {}

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD data) override {
    const auto now = now_();
    const bool asleep = started_ && now - last_ >= idle_;
    last_ = now;
    started_ = true;
    // The touch that wakes is a move alone, to its end: its buttons are dropped until all are up.
    if (!waking_ && asleep && (flags & kPresses) != 0) waking_ = true;
    if (waking_) {
      const DWORD buttons = flags & kButtons;
      held_ = (held_ | (buttons & kPresses)) & ~((buttons & ~kPresses) >> 1);
      flags &= ~kButtons;
      if (held_ == 0 && (buttons & ~kPresses) != 0) waking_ = false;
      if ((flags & MOUSEEVENTF_MOVE) == 0) return;
    }
    inner_->MouseEvent(flags, dx, dy, data);
  }

  BOOL Beep(UINT type) override { return inner_->Beep(type); }

 private:
  std::unique_ptr<PointerBackend> inner_;
  std::chrono::seconds idle_;
  std::function<std::chrono::steady_clock::time_point()> now_;
  std::chrono::steady_clock::time_point last_{};
  bool started_ = false;  // the first touch after the start is not held back: no screen blanked before it
  bool waking_ = false;   // in the touch that wakes the desktop
  DWORD held_ = 0;        // its presses not yet released
};

}  // namespace

std::unique_ptr<PointerBackend> GuardWaking(std::unique_ptr<PointerBackend> inner, DWORD seconds,
                                            std::function<std::chrono::steady_clock::time_point()> now) {
  if (seconds == 0 || !inner) return inner;
  return std::make_unique<WakeGuard>(std::move(inner), seconds, std::move(now));
}

}  // namespace platform
