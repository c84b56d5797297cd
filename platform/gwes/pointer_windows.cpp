// The "windows" pointer output: mouse_event reaches the windows of the device root, as the
// device's window system does. The absolute position is scaled to the device's screen; the event
// goes to the process of the top-level window under it (topmost first, then the one that came to
// the front last), which hands it to the window under the point. A press makes that top-level
// window capture the pointer until the release; a press over a disabled window, or over none, is
// dropped with the rest of its touch. With "PointerLog" set, each call is also logged.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "pointer_backend.h"
#include "screen_size.h"
#include "window_handle.h"
#include "window_publication.h"

namespace platform {
namespace {

constexpr DWORD kPresses = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_RIGHTDOWN;
constexpr DWORD kReleases = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTUP;

class PointerWindows : public PointerBackend {
 public:
  explicit PointerWindows(std::unique_ptr<PointerBackend> log) : log_(std::move(log)) {}

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD data) override {
    if (log_) log_->MouseEvent(flags, dx, dy, data);
    Move(flags, dx, dy);
    const bool press = (flags & kPresses) != 0, release = (flags & kReleases) != 0;
    if (dropping_) {
      if (release) dropping_ = false;
      return;
    }
    HWND target = captured_;
    if (target == nullptr) {
      std::optional<gwes::PointedWindow> pointed = gwes::PublishedWindowAt(x_, y_);
      if (!pointed || !pointed->enabled) {
        // Nothing takes a press here: the whole touch is dropped, as on the device.
        dropping_ = press && !release;
        return;
      }
      target = pointed->hwnd;
      if (press) captured_ = target;
    }
    // A window that went away while it held the pointer takes the rest of its touch with it; so
    // does one whose queue is full (its process stopped taking input), said at most every 10 s.
    const DWORD posted = gwes::PostPointerInput(target, flags, x_, y_);
    if (posted == ERROR_NOT_ENOUGH_QUOTA) ReportFull(target);
    if (posted != ERROR_SUCCESS && captured_ != nullptr && !release) dropping_ = true;
    if (release || dropping_) captured_ = nullptr;
  }

  BOOL Beep(UINT type) override { return log_ ? log_->Beep(type) : TRUE; }

 private:
  // The pointer's position in screen pixels: an absolute move spans the screen, a relative one
  // moves by pixels; it stays on the screen.
  void Move(DWORD flags, DWORD dx, DWORD dy) {
    if ((flags & MOUSEEVENTF_MOVE) == 0) return;
    const gwes::ScreenSize screen = gwes::CurrentScreenSize();
    if ((flags & MOUSEEVENTF_ABSOLUTE) != 0) {
      x_ = static_cast<int>(std::lround(std::min(dx, kAbsoluteMax) * static_cast<double>(screen.width - 1) / kAbsoluteMax));
      y_ = static_cast<int>(std::lround(std::min(dy, kAbsoluteMax) * static_cast<double>(screen.height - 1) / kAbsoluteMax));
    } else {
      x_ = std::clamp(x_ + static_cast<LONG>(dx), 0, screen.width - 1);
      y_ = std::clamp(y_ + static_cast<LONG>(dy), 0, screen.height - 1);
    }
  }

  void ReportFull(HWND target) {
    ++droppedUnsaid_;
    const auto now = std::chrono::steady_clock::now();
    if (fullSaid_ && now - lastFullLine_ < std::chrono::seconds(10)) return;
    NKDbgPrintfW(u"gwes: the window %p of process %d takes no input (its queue is full): %u pointer event(s) "
                 u"dropped; a program that stops reading its messages gets no touches\n",
                 static_cast<void *>(target), static_cast<int>(gwes::WindowProcess(target)), droppedUnsaid_);
    fullSaid_ = true;
    lastFullLine_ = now;
    droppedUnsaid_ = 0;
  }

  std::unique_ptr<PointerBackend> log_;
  std::chrono::steady_clock::time_point lastFullLine_{};
  bool fullSaid_ = false;
  unsigned droppedUnsaid_ = 0;
  int x_ = 0, y_ = 0;
  HWND captured_ = nullptr;  // the top-level window that took the press
  bool dropping_ = false;    // the press was dropped: so is the rest of its touch
};

}  // namespace

std::unique_ptr<PointerBackend> StartPointerWindows(const std::string &logPath, bool logged, std::string *problem) {
  std::unique_ptr<PointerBackend> log;
  if (logged) {
    log = StartPointerLog(logPath, problem);
    if (!log) return nullptr;
  }
  return std::make_unique<PointerWindows>(std::move(log));
}

}  // namespace platform
