// One thread's message queue: messages posted to the thread's windows (in order, at most
// kMaxPosted waiting), messages sent to them from other threads (each waiting for its reply), the
// quit request, and the timers that have fallen due. The owner thread takes from it; any thread
// posts and sends to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include <windows.h>

namespace platform::gwes {

class MessageQueue;

// A message that another thread sent with SendMessageW: the sender waits until the owner thread
// has called the window procedure and replied.
struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<MessageQueue> sender;  // the queue whose owner waits for the reply
  LRESULT result = 0;                    // guarded by the sender's queue
  bool replied = false;                  // guarded by the sender's queue
};

// Which posted messages a taker accepts.
struct MessageFilter {
  HWND hwnd = nullptr;  // null: any message of the thread; (HWND)-1: only messages posted to no window
  UINT first = 0;       // first and last message numbers; both 0: any
  UINT last = 0;
  bool posted = true;   // false: no posted message nor quit, only sent messages and the awaited reply
};

class MessageQueue {
 public:
  // A thread's queue holds at most this many posted messages; more are refused.
  static constexpr size_t kMaxPosted = 10000;

  // Queues a posted message. ERROR_SUCCESS, ERROR_NOT_ENOUGH_QUOTA when the queue is full, or
  // ERROR_INVALID_WINDOW_HANDLE when the owner thread has ended.
  DWORD Post(const MSG &message);
  // Makes a taker that accepts it see WM_QUIT with exitCode once no posted message is left for it.
  void PostQuit(int exitCode);
  // Marks a timer as due: one WM_TIMER is kept for it, beside the posted messages, and a timer
  // already marked is not marked again, so a thread that was busy for many periods finds one
  // tick, not one per period. Take hands the tick out only when nothing else waits for the taker
  // (see Take). ERROR_INVALID_WINDOW_HANDLE when the owner thread has ended. `procedure` becomes
  // the message's lParam.
  DWORD TimerDue(HWND hwnd, UINT_PTR id, LPARAM procedure);
  // The timer was killed or replaced: a tick it left due is not delivered.
  void ForgetTimer(HWND hwnd, UINT_PTR id);
  // Queues a sent message; when the owner thread has ended, replies 0 at once.
  void Send(const std::shared_ptr<SentMessage> &message);
  // Ends the sender's wait for `message` with `result`.
  static void Reply(const std::shared_ptr<SentMessage> &message, LRESULT result);

  struct Taken {
    enum Kind { kNothing, kSent, kPosted, kReplied } kind = kNothing;
    std::shared_ptr<SentMessage> sent;  // kSent: for the caller to serve and reply to
    MSG posted{};                       // kPosted: the message, WM_QUIT included
  };
  // What the owner thread does next, in this order: the reply to `awaited` when it has come; the
  // oldest sent message; the oldest posted message the filter accepts; WM_QUIT; a WM_TIMER for
  // the timer that fell due first, which takes its mark when removed. Posted messages
  // whose window `alive` rejects are dropped on the way. With `wait`, blocks until one of those
  // exists; otherwise returns kNothing. `remove` leaves a posted message or quit in the queue
  // when false; sent messages are always taken.
  Taken Take(const MessageFilter &filter, bool remove, bool wait, const SentMessage *awaited, bool (*alive)(HWND));

  // Waits until a sent or posted message, the quit request or a due timer is waiting, or until
  // `deadline`. True when something is waiting.
  bool WaitForInput(std::chrono::steady_clock::time_point deadline);

  // Drops the posted messages and due timers of a window that no longer exists.
  void DiscardFor(HWND hwnd);
  // The owner thread has ended: drops posted messages and due timers, replies 0 to waiting
  // senders, and refuses what comes later.
  void Close();

 private:
  static bool Accepts(const MessageFilter &filter, const MSG &message);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<MSG> posted_;
  std::deque<std::shared_ptr<SentMessage>> sent_;
  std::deque<MSG> dueTimers_;  // one WM_TIMER each, in the order the timers fell due
  bool quit_ = false;
  int exitCode_ = 0;
  bool closed_ = false;
};

}  // namespace platform::gwes
