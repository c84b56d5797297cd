// Scripted runs of the window manager without a screen: a list of user actions (click a control,
// click a trackbar at a position, answer a message box, Escape, the close box, let timer periods
// pass, let real time pass, wait for a window or message box to open, dump the windows) that the
// modal loops of the calling thread play in order. What the run shows (dumps and message boxes)
// is kept as a transcript.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::headless {

struct Action {
  enum class Kind { kClick, kSlider, kAnswer, kEscape, kClose, kOk, kTick, kWait, kAwait, kDump, kCall };
  Kind kind = Kind::kDump;
  int id = 0;      // kClick, kSlider: the control
  LONG value = 0;  // kSlider: the position; kAnswer: IDOK, IDYES...; kTick: how many periods;
                   // kWait, kAwait: milliseconds
  int line = 0;    // the script line it came from; 0 when built in C++
  std::u16string caption;       // kAwait: the window or message box awaited
  std::function<void()> call;   // kCall: run on the dialog's thread (C++ only)
};

Action Click(int id);
Action Slider(int id, LONG position);
Action Answer(int button);
Action Escape();
Action Close();
Action Ok();  // the OK button in the caption
Action Tick(int periods);
// Lets `milliseconds` of real time pass while the dialogs handle their messages.
Action Wait(LONG milliseconds);
// Lets real time pass, as Wait, until a message box or a window captioned `caption` is open; the
// script fails when none is within `milliseconds`.
Action Await(std::u16string caption, LONG milliseconds);
Action Dump();
// Calls `function` on the dialog's thread, between two actions; for tests and benchmarks.
Action Call(std::function<void()> function);

// Parses a script, one action a line ("click 1016", "slider 1059 40", "answer yes", "escape",
// "close", "ok", "tick 3", "wait 500", "await \"Touch  Settings\" 5000", "dump"; blank lines and
// lines starting with # are skipped). False with the line and the reason in `error` when a line
// is not an action.
bool ParseScript(std::string_view text, std::vector<Action> *actions, std::string *error);

// The action as a script line.
std::string Describe(const Action &action);

// A script running on the calling thread, from construction to destruction. While it runs, every
// modal loop of the thread takes its next action whenever no message is waiting, and every
// message box takes the next action as its answer. When an action cannot be played, or the script
// ends while a modal loop still waits, the script fails: that loop and every later one end at
// once with -1, and message boxes return 0.
class Session {
 public:
  // `echo`, when given, receives each piece of the transcript as soon as it is added, so that a
  // watcher can follow the run.
  explicit Session(std::vector<Action> actions, std::function<void(const std::string &)> echo = {});
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Every dump and message box so far, one line each.
  const std::string &Transcript() const { return transcript_; }
  bool Failed() const { return !error_.empty(); }
  const std::string &Error() const { return error_; }
  // Actions not yet played.
  size_t Unused() const { return actions_.size() - next_; }

  // Used by the window manager.
  bool Step(HWND dialog);
  int Answer(std::u16string_view caption, std::u16string_view text, UINT type);
  // True while a wait or await is in progress: the modal loop then handles messages until
  // `*until` instead of playing the next action. Fires the timers that fall due meanwhile.
  bool Waiting(std::chrono::steady_clock::time_point *until);

 private:
  enum class Pause { kNone, kWait, kAwait };

  bool Fail(std::string reason);
  void Record(const std::string &text);
  // Where the action being played stands, for error messages: "line 4 (click 1017): ".
  std::string Where(const Action &action) const;
  // The next action, or null (and the run failed) when there is none while `dialog` or the message
  // box captioned `*messageBox` waits.
  const Action *Next(HWND dialog, const std::u16string_view *messageBox);

  std::vector<Action> actions_;
  size_t next_ = 0;
  std::string transcript_;
  std::string error_;
  std::function<void(const std::string &)> echo_;
  Pause pause_ = Pause::kNone;
  std::chrono::steady_clock::time_point pauseEnd_;
  std::u16string awaited_;
  std::string awaitWhere_;
  Session *previous_ = nullptr;
};

// The calling thread's windows as a tree, one line each (indented two spaces a level): class, id,
// "text", rectangle in pixels, visible or hidden, enabled or disabled, and what applies of
// topmost, checked or unchecked, range=MIN..MAX pos=P, bitmap=N or icon=N.
std::string DumpWindows();

}  // namespace platform::headless
