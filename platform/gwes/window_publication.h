// Top-level windows published on the device root, so that its other processes can find them
// (FindWindowW), check them (IsWindow) and post to them (PostMessageW): a record per window under
// run/ with its class and name, and a datagram socket per process for the messages posted to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <windows.h>

#include "message_queue.h"

namespace platform::gwes {

// Publishes a window of this process whose posted messages go to `queue`. ERROR_SUCCESS, also
// when no device root is set (there is nowhere to publish, and the window stays private to the
// process); otherwise why the record or the socket could not be made.
DWORD PublishWindow(HWND hwnd, const std::u16string &className, const std::u16string &name,
                    const std::shared_ptr<MessageQueue> &queue);
// Removes a window's record; later messages for it are dropped.
void UnpublishWindow(HWND hwnd);

// What a published window shows of itself on the screen, for pointer input to find it.
struct ScreenState {
  std::u16string name;
  RECT rect{};  // in screen coordinates
  bool visible = false;
  bool enabled = true;
  bool topmost = false;
  uint64_t z = 0;  // when it last came to the front: the later, the nearer the top
};
// Rewrites a published window's record with its current state; nothing for one not published.
void RepublishWindow(HWND hwnd, const ScreenState &state);

// The published window (of any process of the device root, this one included) that a pointer at
// screen point (x, y) is over: the visible one that contains the point, topmost windows before
// the others, the one that came to the front last first. Nothing when the point is over none.
struct PointedWindow {
  HWND hwnd = nullptr;
  bool enabled = false;
};
std::optional<PointedWindow> PublishedWindowAt(int x, int y);
// Hands one pointer event (mouse_event's flags, at screen point x, y) to the process of
// top-level window `hwnd`, which gives it to the window under the point. ERROR_SUCCESS, or
// ERROR_INVALID_WINDOW_HANDLE when the window or its process is gone.
DWORD PostPointerInput(HWND hwnd, DWORD flags, int x, int y);

// A window of another process on the device root with the class and the name given (compared
// without regard to ASCII letter case; nothing given matches any), whose process is still there;
// null when there is none.
HWND FindPublishedWindow(const std::optional<std::u16string> &className, const std::optional<std::u16string> &name);
// Whether a handle of another process names a published window whose process is still there.
bool IsPublishedWindow(HWND hwnd);
// Posts to a window of another process. ERROR_SUCCESS; ERROR_INVALID_WINDOW_HANDLE when the
// window or its process is gone; ERROR_NOT_ENOUGH_QUOTA when the process has not taken its
// messages for a second.
DWORD PostToPublishedWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace platform::gwes
