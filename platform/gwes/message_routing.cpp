// Messages between threads and processes: PostMessageW and SendMessageW take a message to the
// thread that owns the window (or to the window's process), and GetMessageW, PeekMessageW and
// DispatchMessageW let the owner thread take and handle it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "message_queue.h"
#include "window_handle.h"
#include "window_publication.h"
#include "window_table.h"
#include "window_thread.h"
#include "window_timers.h"

namespace platform::gwes {
namespace {

// Calls the procedure for a message another thread sent, on this (the owner) thread, and ends the
// sender's wait. A window that went away in the meantime answers 0.
void Serve(const std::shared_ptr<SentMessage> &sent, const std::shared_ptr<MessageQueue> &self) {
  LRESULT result = 0;
  WindowPtr window = LookupWindow(sent->hwnd);
  if (window && window->queue == self) result = window->procedure(sent->hwnd, sent->message, sent->wParam, sent->lParam);
  MessageQueue::Reply(sent, result);
}

// A message filter's window must be one of this thread's: messages for any other never arrive here.
bool IsFilterWindow(HWND hwnd, const std::shared_ptr<MessageQueue> &self) {
  if (hwnd == nullptr || hwnd == reinterpret_cast<HWND>(-1)) return true;
  WindowPtr window = LookupWindow(hwnd);
  return window && window->queue == self;
}

// GetMessageW and PeekMessageW: TRUE with a posted message, FALSE with WM_QUIT or (not waiting)
// with nothing, -1 when the filter's window is not the thread's.
BOOL TakeMessage(LPMSG message, HWND hwnd, UINT first, UINT last, bool remove, bool wait) {
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto self = CurrentThreadQueue();
  MessageFilter filter{hwnd, first, last, true};
  for (;;) {
    // Checked on every round: a procedure serving a sent message may destroy the window.
    if (!IsFilterWindow(hwnd, self)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    MessageQueue::Taken taken = self->Take(filter, remove, wait, nullptr, IsLocalWindow);
    switch (taken.kind) {
      case MessageQueue::Taken::kSent:
        Serve(taken.sent, self);
        continue;
      case MessageQueue::Taken::kPosted:
        *message = taken.posted;
        return (message->message == WM_QUIT && wait) ? FALSE : TRUE;
      default:
        return FALSE;
    }
  }
}

// PLATFORM_INPUT_TRACE names a file (a FIFO, say) that gets one line for each mouse message as it
// is dispatched to its window, written at once, so that another program can time the touches
// arriving: "WM_LBUTTONDOWN x=12 y=34", the point in the window's client coordinates.
void TraceInput(const MSG &message) {
  if (message.message < WM_MOUSEMOVE || message.message > WM_RBUTTONUP) return;
  static const int trace = [] {
    const char *path = std::getenv("PLATFORM_INPUT_TRACE");
    return path != nullptr && *path != '\0' ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
  }();
  if (trace < 0) return;
  static const char *const kNames[] = {"WM_MOUSEMOVE", "WM_LBUTTONDOWN", "WM_LBUTTONUP", "WM_LBUTTONDBLCLK",
                                       "WM_RBUTTONDOWN", "WM_RBUTTONUP"};
  char line[80];
  int length = std::snprintf(line, sizeof line, "%s x=%d y=%d\n", kNames[message.message - WM_MOUSEMOVE],
                             GET_X_LPARAM(message.lParam), GET_Y_LPARAM(message.lParam));
  ssize_t written = write(trace, line, static_cast<size_t>(length));
  (void)written;
}

}  // namespace
}  // namespace platform::gwes

using platform::gwes::MessageQueue;
using platform::gwes::WindowPtr;

extern "C" BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  DWORD error;
  if (platform::gwes::IsOtherProcessWindow(hWnd)) {
    error = platform::gwes::PostToPublishedWindow(hWnd, Msg, wParam, lParam);
  } else {
    MSG message{hWnd, Msg, wParam, lParam, GetTickCount(), {0, 0}};
    if (hWnd == nullptr) {
      // A message posted to no window is for the calling thread itself.
      error = platform::gwes::CurrentThreadQueue()->Post(message);
    } else if (WindowPtr window = platform::gwes::LookupWindow(hWnd)) {
      error = window->queue->Post(message);
    } else {
      error = ERROR_INVALID_WINDOW_HANDLE;
    }
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

extern "C" LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  WindowPtr window = platform::gwes::LookupWindow(hWnd);
  if (!window) {
    // Waiting on another process's window procedure is not carried across processes.
    bool foreign = platform::gwes::IsOtherProcessWindow(hWnd) && platform::gwes::IsPublishedWindow(hWnd);
    SetLastError(foreign ? ERROR_NOT_SUPPORTED : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  auto self = platform::gwes::CurrentThreadQueue();
  if (window->queue == self) return window->procedure(hWnd, Msg, wParam, lParam);
  auto sent = std::make_shared<platform::gwes::SentMessage>();
  sent->hwnd = hWnd;
  sent->message = Msg;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->sender = self;
  window->queue->Send(sent);
  // While waiting, serve what other threads send to this thread's windows: two threads sending to
  // each other would deadlock otherwise.
  platform::gwes::MessageFilter repliesOnly{nullptr, 0, 0, false};
  for (;;) {
    MessageQueue::Taken taken = self->Take(repliesOnly, true, true, sent.get(), platform::gwes::IsLocalWindow);
    if (taken.kind == MessageQueue::Taken::kReplied) return sent->result;
    if (taken.kind == MessageQueue::Taken::kSent) platform::gwes::Serve(taken.sent, self);
  }
}

extern "C" BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  return platform::gwes::TakeMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
}

extern "C" BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg) {
  BOOL result =
      platform::gwes::TakeMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false);
  return result == -1 ? FALSE : result;
}

extern "C" BOOL WINAPI TranslateMessage(const MSG *lpMsg) {
  // No keyboard on this platform, so there is no key message to turn into characters.
  (void)lpMsg;
  return TRUE;
}

extern "C" LRESULT WINAPI DispatchMessageW(const MSG *lpMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A timer set with a procedure calls that procedure instead of the window's. Anyone can post a
  // WM_TIMER, so lParam is called only when it is the procedure of that live timer.
  if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
    if (platform::gwes::IsTimerProcedure(lpMsg->hwnd, lpMsg->wParam, lpMsg->lParam))
      reinterpret_cast<TIMERPROC>(lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
    return 0;
  }
  if (lpMsg->hwnd == nullptr) return 0;  // a thread message has no procedure to go to
  if (platform::gwes::IsOtherProcessWindow(lpMsg->hwnd)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  WindowPtr window = platform::gwes::LookupWindow(lpMsg->hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (window->queue != platform::gwes::CurrentThreadQueue()) {
    SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
    return 0;
  }
  platform::gwes::TraceInput(*lpMsg);
  return window->procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

extern "C" void WINAPI PostQuitMessage(int nExitCode) { platform::gwes::CurrentThreadQueue()->PostQuit(nExitCode); }
