// The calling thread's message queue, and what happens to its windows when the thread ends. The
// queues are also known by thread id, for PostThreadMessageW.
#include "window_thread.h"

#include <map>
#include <mutex>

#include "window_table.h"

namespace platform::gwes {
namespace {

struct QueuesById {
  std::mutex mutex;
  std::map<DWORD, std::weak_ptr<MessageQueue>> queues;
};

QueuesById &ById() {
  static auto *queues = new QueuesById;  // outlives the threads that end during exit
  return *queues;
}

struct ThreadQueue {
  std::shared_ptr<MessageQueue> queue;
  DWORD id = 0;

  ~ThreadQueue();
};

thread_local ThreadQueue current;
// Trivially destructible, so still readable by calls made after `current` is gone, such as those
// of static destructors on the main thread during exit.
thread_local bool threadEnded = false;

ThreadQueue::~ThreadQueue() {
  threadEnded = true;
  if (!queue) return;
  {
    std::lock_guard lock(ById().mutex);
    ById().queues.erase(id);
  }
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
  if (!current.queue) {
    current.queue = std::make_shared<MessageQueue>();
    current.id = GetCurrentThreadId();
    std::lock_guard lock(ById().mutex);
    ById().queues[current.id] = current.queue;
  }
  return current.queue;
}

}  // namespace platform::gwes

extern "C" BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<platform::gwes::MessageQueue> queue;
  {
    auto &byId = platform::gwes::ById();
    std::lock_guard lock(byId.mutex);
    auto found = byId.queues.find(idThread);
    if (found != byId.queues.end()) queue = found->second.lock();
  }
  DWORD error = queue ? queue->Post(MSG{nullptr, Msg, wParam, lParam, GetTickCount(), {0, 0}}) : ERROR_INVALID_THREAD_ID;
  if (error != ERROR_SUCCESS) {
    SetLastError(error == ERROR_INVALID_WINDOW_HANDLE ? ERROR_INVALID_THREAD_ID : error);
    return FALSE;
  }
  return TRUE;
}
