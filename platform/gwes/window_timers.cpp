// The process's timers, keyed by window and id: SetTimer on an existing pair replaces it, as on
// the device, and a timer goes with its window. One clock thread, started with the first real-clock
// timer, marks a real-clock timer due in its owner thread's queue whenever its period runs out;
// the queue makes the WM_TIMER when the owner looks for a message.
#include "window_timers.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "headless_driver.h"
#include "message_queue.h"
#include "window_table.h"
#include "window_thread.h"

namespace platform::gwes {
namespace {

using Clock = std::chrono::steady_clock;

// The device never lets a timer run faster than this.
constexpr UINT kMinimumElapse = 10;

struct Timer {
  TimerEntry entry;
  std::shared_ptr<MessageQueue> queue;  // the thread that set it
  bool realClock = false;
  std::chrono::milliseconds period{0};
  Clock::time_point due;
};

struct TimerTable {
  std::mutex mutex;
  std::condition_variable changed;  // a real-clock timer was set, replaced or killed
  std::vector<Timer> timers;        // in order of creation
  UINT_PTR lastThreadTimer = 0;     // ids of timers without a window
  bool clockRunning = false;
};

TimerTable &Timers() {
  static TimerTable *table = new TimerTable;  // outlives static destructors, and the clock thread uses it
  return *table;
}

bool SameTimer(const Timer &timer, HWND hwnd, UINT_PTR id) { return timer.entry.hwnd == hwnd && timer.entry.id == id; }

// Marks each real-clock timer whose period has run out as due in its owner's queue (the WM_TIMER
// made from it carries the timer procedure in lParam, which DispatchMessageW calls), then waits
// until the next one runs out. Never ends: the table outlives the process.
void RunClock() {
  auto &table = Timers();
  std::unique_lock lock(table.mutex);
  for (;;) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto it = table.timers.begin(); it != table.timers.end();) {
      Timer &timer = *it;
      if (timer.realClock && timer.due <= now) {
        // A timer already due stays due once. A thread that has ended takes its timers with it.
        DWORD error = timer.queue->TimerDue(timer.entry.hwnd, timer.entry.id,
                                            reinterpret_cast<LPARAM>(timer.entry.procedure));
        if (error == ERROR_INVALID_WINDOW_HANDLE) {
          it = table.timers.erase(it);
          continue;
        }
        timer.due = now + timer.period;
      }
      if (timer.realClock) next = std::min(next, timer.due);
      ++it;
    }
    if (next == Clock::time_point::max()) {
      table.changed.wait(lock);
    } else {
      table.changed.wait_until(lock, next);
    }
  }
}

}  // namespace

std::vector<TimerEntry> HeadlessTimers() {
  auto self = CurrentThreadQueue();
  std::vector<TimerEntry> mine;
  auto &table = Timers();
  std::lock_guard lock(table.mutex);
  for (const Timer &timer : table.timers)
    if (!timer.realClock && timer.queue == self) mine.push_back(timer.entry);
  return mine;
}

std::vector<TimerEntry> DueHeadlessTimers(Clock::time_point now, Clock::time_point *next) {
  auto self = CurrentThreadQueue();
  std::vector<TimerEntry> due;
  *next = Clock::time_point::max();
  auto &table = Timers();
  std::lock_guard lock(table.mutex);
  for (Timer &timer : table.timers) {
    if (timer.realClock || timer.queue != self) continue;
    if (timer.due <= now) {
      due.push_back(timer.entry);
      // Periods keep their phase; one missed by a long handler is not made up for.
      timer.due += timer.period;
      if (timer.due <= now) timer.due = now + timer.period;
    }
    *next = std::min(*next, timer.due);
  }
  return due;
}

void FireTimer(const TimerEntry &timer) {
  {
    auto &table = Timers();
    std::lock_guard lock(table.mutex);
    if (std::none_of(table.timers.begin(), table.timers.end(),
                     [&](const Timer &entry) { return SameTimer(entry, timer.hwnd, timer.id); }))
      return;
  }
  if (timer.procedure != nullptr) {
    timer.procedure(timer.hwnd, WM_TIMER, timer.id, GetTickCount());
  } else if (timer.hwnd != nullptr) {
    SendMessageW(timer.hwnd, WM_TIMER, timer.id, 0);
  }
}

bool IsTimerProcedure(HWND hwnd, UINT_PTR id, LPARAM procedure) {
  auto &table = Timers();
  std::lock_guard lock(table.mutex);
  return std::any_of(table.timers.begin(), table.timers.end(), [&](const Timer &timer) {
    return SameTimer(timer, hwnd, id) && reinterpret_cast<LPARAM>(timer.entry.procedure) == procedure;
  });
}

void KillWindowTimers(HWND hwnd) {
  auto &table = Timers();
  std::lock_guard lock(table.mutex);
  std::erase_if(table.timers, [&](const Timer &timer) {
    if (timer.entry.hwnd != hwnd) return false;
    timer.queue->ForgetTimer(timer.entry.hwnd, timer.entry.id);
    return true;
  });
}

}  // namespace platform::gwes

extern "C" UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  using platform::gwes::Timer;
  auto self = platform::gwes::CurrentThreadQueue();
  if (hWnd != nullptr) {
    platform::gwes::WindowPtr window = platform::gwes::LookupWindow(hWnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (window->queue != self) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
  } else if (lpTimerFunc == nullptr) {
    // A timer with neither a window nor a procedure would have nobody to tell.
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Timer timer;
  timer.queue = self;
  timer.realClock = !platform::gwes::HeadlessActive();
  timer.period = std::chrono::milliseconds(std::max(uElapse, platform::gwes::kMinimumElapse));
  timer.due = platform::gwes::Clock::now() + timer.period;

  auto &table = platform::gwes::Timers();
  std::lock_guard lock(table.mutex);
  // A timer without a window gets an id of its own choosing, as on the device.
  if (hWnd == nullptr) {
    if (++table.lastThreadTimer == 0) ++table.lastThreadTimer;
    nIDEvent = table.lastThreadTimer;
  }
  timer.entry = platform::gwes::TimerEntry{hWnd, nIDEvent, lpTimerFunc};
  auto it = std::find_if(table.timers.begin(), table.timers.end(),
                         [&](const Timer &entry) { return platform::gwes::SameTimer(entry, hWnd, nIDEvent); });
  if (it != table.timers.end()) {
    // A fresh period starts; a tick the old one left due is not delivered.
    it->queue->ForgetTimer(hWnd, nIDEvent);
    *it = timer;
  } else {
    table.timers.push_back(timer);
  }
  if (timer.realClock) {
    if (!table.clockRunning) {
      std::thread(platform::gwes::RunClock).detach();
      table.clockRunning = true;
    }
    table.changed.notify_all();
  }
  return nIDEvent;
}

extern "C" BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  auto &table = platform::gwes::Timers();
  std::lock_guard lock(table.mutex);
  auto it = std::find_if(table.timers.begin(), table.timers.end(), [&](const platform::gwes::Timer &timer) {
    return platform::gwes::SameTimer(timer, hWnd, uIDEvent);
  });
  if (it == table.timers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  it->queue->ForgetTimer(hWnd, uIDEvent);
  table.timers.erase(it);
  table.changed.notify_all();
  return TRUE;
}
