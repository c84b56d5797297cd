// Where mouse_event and MessageBeep go: to the pointer output that the registry names (a log,
// an X display through XTest, or a uinput device), chosen when the process starts it or at its
// first call; or, while a test has set one, to a sink that records each call in order.
#pragma once

#include <functional>
#include <iosfwd>

#include <windows.h>

namespace platform {

// One mouse_event or MessageBeep call, with its arguments (dwExtraInfo is not kept).
struct PointerEvent {
  enum class Kind { MouseEvent, Beep };
  Kind kind = Kind::MouseEvent;
  DWORD flags = 0;  // mouse_event's arguments; zero for a beep
  DWORD dx = 0;
  DWORD dy = 0;
  DWORD data = 0;
  UINT beepType = 0;  // MessageBeep's argument; zero for a mouse event

  bool operator==(const PointerEvent &) const = default;
};

// Prints an event as "mouse_event flags=0x8003 dx=1 dy=2 data=0" or "MessageBeep type=0", so
// that test expectations on events read plainly when they fail.
std::ostream &operator<<(std::ostream &out, const PointerEvent &event);

using PointerSink = std::function<void(const PointerEvent &event)>;

// While a sink is set, every mouse_event and MessageBeep call of the process reaches it instead
// of the pointer output, one call at a time, in the order the calls were made; MessageBeep then
// returns TRUE. An empty function removes the sink; once SetPointerSink returns, the previous
// sink is no longer called. A sink must not call mouse_event, MessageBeep or SetPointerSink.
void SetPointerSink(PointerSink sink);

// Chooses and starts the pointer output now, unless one runs already (or a sink is set), so that
// the devices it makes exist, and the desktop has opened them, before the first call: devmgr
// calls it before it loads the drivers. When the output cannot start, says why (once for the
// same reason) and returns false; calling it again tries again. A call that finds no output
// tries again itself when 2 s have passed since the last try.
bool StartPointerOutput();

// Closes the pointer output and forgets the choice, so that the next call reads the registry
// again (and reports again when the output cannot start).
void ResetPointerOutput();

}  // namespace platform
