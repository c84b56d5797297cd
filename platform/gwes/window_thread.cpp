// The calling thread's message queue, and what happens to its windows when the thread ends.
#include "window_thread.h"

#include "window_table.h"

namespace platform::gwes {
namespace {

struct ThreadQueue {
  std::shared_ptr<MessageQueue> queue;

  ~ThreadQueue();
};

thread_local ThreadQueue current;
// Trivially destructible, so still readable by calls made after `current` is gone, such as those
// of static destructors on the main thread during exit.
thread_local bool threadEnded = false;

ThreadQueue::~ThreadQueue() {
  threadEnded = true;
  if (!queue) return;
  RemoveThreadWindows(queue.get());
  queue->Close();
}

}  // namespace

std::shared_ptr<MessageQueue> CurrentThreadQueue() {
  if (threadEnded) {
    auto closed = std::make_shared<MessageQueue>();
    closed->Close();
    return closed;
  }
  if (!current.queue) current.queue = std::make_shared<MessageQueue>();
  return current.queue;
}

}  // namespace platform::gwes
