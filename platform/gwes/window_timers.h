// Window timers (SetTimer, KillTimer). A timer set while a headless script runs on the thread
// follows the headless clock: it fires only when the script lets a period pass, so scripted runs
// and tests are exact and never wait. Any other timer follows the real clock: its WM_TIMER comes
// when the thread looks for a message and finds no other waiting, at most one per timer however
// many periods passed meanwhile.
#pragma once

#include <windows.h>

#include <chrono>
#include <vector>

namespace platform::gwes {

struct TimerEntry {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  TIMERPROC procedure = nullptr;
};

// The headless-clock timers of the calling thread, oldest first.
std::vector<TimerEntry> HeadlessTimers();
// The headless-clock timers of the calling thread whose period has run out on the real clock by
// `now`, oldest first; each is then due again one period later. `*next` becomes the earliest
// time one falls due after that (time_point::max() when the thread has none). Used while a script
// lets real time pass.
std::vector<TimerEntry> DueHeadlessTimers(std::chrono::steady_clock::time_point now,
                                          std::chrono::steady_clock::time_point *next);
// One period passes for `timer`: its procedure, or its window's WM_TIMER, is called, provided the
// timer still exists (an earlier one may have killed it).
void FireTimer(const TimerEntry &timer);
// True when `procedure` is the procedure of the live timer (hwnd, id): only then may a WM_TIMER's
// lParam be called, for anyone can post a WM_TIMER.
bool IsTimerProcedure(HWND hwnd, UINT_PTR id, LPARAM procedure);
// The window is gone; so are its timers.
void KillWindowTimers(HWND hwnd);

}  // namespace platform::gwes
