// The pointer outputs that mouse_event and MessageBeep can go to (a log, the device root's
// windows, an X display through XTest, a Linux uinput device), behind one interface, and how each
// is started.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <windows.h>

namespace platform {

// One started output. Calls come one at a time (the caller holds the process's output lock), so
// an output needs no locking of its own. An output reports a failure after it started (a full
// disk, a lost display) once, on the debug output, and keeps going as far as it can.
class PointerBackend {
 public:
  virtual ~PointerBackend() = default;
  virtual void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD data) = 0;
  // FALSE, with the last error set, when no sound was made.
  virtual BOOL Beep(UINT type) = 0;
};

// Each returns the started output, or null with *problem set to a sentence that says what went
// wrong and what to do.

// Appends one line per call to the file at path (created when missing; a relative path is in the
// device root), or to standard output when path is empty.
std::unique_ptr<PointerBackend> StartPointerLog(const std::string &path, std::string *problem);
// Fakes pointer input on the X display named by DISPLAY.
std::unique_ptr<PointerBackend> StartPointerXTest(std::string *problem);
// Delivers to the windows of the device root; with `logged`, also appends to the log at logPath.
std::unique_ptr<PointerBackend> StartPointerWindows(const std::string &logPath, bool logged, std::string *problem);
// Creates an absolute pointer device through /dev/uinput ("uinput").
std::unique_ptr<PointerBackend> StartPointerUinput(std::string *problem);
// Creates a touch screen device and, unless `touchOnly`, an absolute pointer for its right and
// middle clicks through /dev/uinput ("uinput-touch").
std::unique_ptr<PointerBackend> StartPointerUinputTouch(bool touchOnly, std::string *problem);
// Passes `inner`'s events on, except that a touch that begins after `seconds` without any event
// moves the pointer but does not press (the move wakes the desktop); the next touch works as usual.
// `now` tells the time (the steady clock unless a test gives another).
std::unique_ptr<PointerBackend> GuardWaking(
    std::unique_ptr<PointerBackend> inner, DWORD seconds,
    std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now);

// mouse_event's absolute coordinate limit: 0..65535 spans the screen on each axis.
constexpr DWORD kAbsoluteMax = 65535;

}  // namespace platform
