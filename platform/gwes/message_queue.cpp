// A thread's message queue on a mutex and a condition variable: takers sleep until something
// they accept arrives, and every change wakes them. A due timer leaves one mark however many
// periods pass; its WM_TIMER is taken only when no reply, sent or posted message, nor quit waits.
#include "message_queue.h"

#include <utility>

namespace platform::gwes {

DWORD MessageQueue::Post(const MSG &message) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return ERROR_INVALID_WINDOW_HANDLE;
    if (posted_.size() >= kMaxPosted) return ERROR_NOT_ENOUGH_QUOTA;
    posted_.push_back(message);
  }
  changed_.notify_all();
  return ERROR_SUCCESS;
}

void MessageQueue::PostQuit(int exitCode) {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    exitCode_ = exitCode;
  }
  changed_.notify_all();
}

DWORD MessageQueue::TimerDue(HWND hwnd, UINT_PTR id, LPARAM procedure) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return ERROR_INVALID_WINDOW_HANDLE;
    for (const MSG &due : dueTimers_)
      if (due.hwnd == hwnd && due.wParam == id) return ERROR_SUCCESS;
    dueTimers_.push_back(MSG{hwnd, WM_TIMER, id, procedure, 0, {0, 0}});
  }
  changed_.notify_all();
  return ERROR_SUCCESS;
}

void MessageQueue::ForgetTimer(HWND hwnd, UINT_PTR id) {
  std::lock_guard lock(mutex_);
  std::erase_if(dueTimers_, [&](const MSG &due) { return due.hwnd == hwnd && due.wParam == id; });
}

void MessageQueue::Send(const std::shared_ptr<SentMessage> &message) {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      sent_.push_back(message);
      changed_.notify_all();
      return;
    }
  }
  Reply(message, 0);
}

void MessageQueue::Reply(const std::shared_ptr<SentMessage> &message, LRESULT result) {
  MessageQueue &sender = *message->sender;
  {
    std::lock_guard lock(sender.mutex_);
    message->result = result;
    message->replied = true;
  }
  sender.changed_.notify_all();
}

bool MessageQueue::Accepts(const MessageFilter &filter, const MSG &message) {
  if (filter.hwnd == reinterpret_cast<HWND>(-1)) {
    if (message.hwnd != nullptr) return false;
  } else if (filter.hwnd != nullptr && message.hwnd != filter.hwnd) {
    return false;
  }
  if (filter.first == 0 && filter.last == 0) return true;
  return message.message >= filter.first && message.message <= filter.last;
}

MessageQueue::Taken MessageQueue::Take(const MessageFilter &filter, bool remove, bool wait, const SentMessage *awaited,
                                       bool (*alive)(HWND)) {
  std::unique_lock lock(mutex_);
  for (;;) {
    Taken taken;
    if (awaited != nullptr && awaited->replied) {
      taken.kind = Taken::kReplied;
      return taken;
    }
    if (!sent_.empty()) {
      taken.kind = Taken::kSent;
      taken.sent = std::move(sent_.front());
      sent_.pop_front();
      return taken;
    }
    if (filter.posted) {
      for (auto it = posted_.begin(); it != posted_.end();) {
        if (it->hwnd != nullptr && alive != nullptr && !alive(it->hwnd)) {
          it = posted_.erase(it);
          continue;
        }
        if (Accepts(filter, *it)) {
          taken.kind = Taken::kPosted;
          taken.posted = *it;
          if (remove) posted_.erase(it);
          return taken;
        }
        ++it;
      }
      // The quit request belongs to the thread, not to a window, so a taker that asks only for
      // one window's messages never sees it.
      MSG quit{};
      quit.message = WM_QUIT;
      quit.wParam = static_cast<WPARAM>(exitCode_);
      if (quit_ && (filter.hwnd == nullptr || filter.hwnd == reinterpret_cast<HWND>(-1)) && Accepts(filter, quit)) {
        if (remove) quit_ = false;
        taken.kind = Taken::kPosted;
        taken.posted = quit;
        return taken;
      }
      for (auto it = dueTimers_.begin(); it != dueTimers_.end();) {
        if (it->hwnd != nullptr && alive != nullptr && !alive(it->hwnd)) {
          it = dueTimers_.erase(it);
          continue;
        }
        if (Accepts(filter, *it)) {
          taken.kind = Taken::kPosted;
          taken.posted = *it;
          taken.posted.time = GetTickCount();
          if (remove) dueTimers_.erase(it);
          return taken;
        }
        ++it;
      }
    }
    if (!wait) return taken;
    changed_.wait(lock);
  }
}

bool MessageQueue::WaitForInput(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(
      lock, deadline, [this] { return !sent_.empty() || !posted_.empty() || quit_ || !dueTimers_.empty(); });
}

void MessageQueue::DiscardFor(HWND hwnd) {
  std::lock_guard lock(mutex_);
  std::erase_if(posted_, [hwnd](const MSG &message) { return message.hwnd == hwnd; });
  std::erase_if(dueTimers_, [hwnd](const MSG &due) { return due.hwnd == hwnd; });
}

void MessageQueue::Close() {
  std::deque<std::shared_ptr<SentMessage>> waiting;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    posted_.clear();
    dueTimers_.clear();
    quit_ = false;
    waiting.swap(sent_);
  }
  for (const auto &message : waiting) Reply(message, 0);
}

}  // namespace platform::gwes
