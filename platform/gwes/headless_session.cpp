// A headless script playing on its thread: each time a modal loop has no message left, the next
// action is played on that loop's dialog; each message box is recorded and answered by the next
// action. A wait or an await lets real time pass instead, while the loops handle their messages.
// The first action that cannot be played, or the end of the script while something still waits,
// fails the run with a message that says where and what to change.
#include <utility>

#include "control_state.h"
#include "control_trackbar.h"
#include "dialog_keys.h"
#include "headless_driver.h"
#include "platform/headless.h"
#include "platform/text.h"
#include "window_frame.h"
#include "window_table.h"
#include "window_timers.h"

namespace platform::headless {
namespace {

thread_local Session *current = nullptr;

struct Buttons {
  std::vector<int> answers;
  std::string names;
};

// The buttons of a message box of type `type`, as answers and as the transcript names them.
Buttons ButtonsOf(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {{IDOK, IDCANCEL}, "ok,cancel"};
    case MB_ABORTRETRYIGNORE:
      return {{IDABORT, IDRETRY, IDIGNORE}, "abort,retry,ignore"};
    case MB_YESNOCANCEL:
      return {{IDYES, IDNO, IDCANCEL}, "yes,no,cancel"};
    case MB_YESNO:
      return {{IDYES, IDNO}, "yes,no"};
    case MB_RETRYCANCEL:
      return {{IDRETRY, IDCANCEL}, "retry,cancel"};
    default:
      return {{IDOK}, "ok"};
  }
}

// Whether a window captioned `caption` is open: a visible one of this process, or one that
// another process of the device root has published.
bool CaptionOpen(const std::u16string &caption) {
  if (gwes::WindowPtr local = gwes::FindLocalWindow(std::nullopt, caption)) {
    std::lock_guard lock(local->stateMutex);
    if (local->visible) return true;
  }
  HWND found = FindWindowW(nullptr, caption.c_str());
  return found != nullptr && !gwes::IsLocalWindow(found);
}

// How often an await looks for its window: windows of other processes send no message when they
// appear.
constexpr std::chrono::milliseconds kAwaitPoll{10};

}  // namespace

Session::Session(std::vector<Action> actions, std::function<void(const std::string &)> echo)
    : actions_(std::move(actions)), echo_(std::move(echo)), previous_(current) {
  current = this;
}

Session::~Session() { current = previous_; }

bool Session::Fail(std::string reason) {
  if (error_.empty()) error_ = std::move(reason);
  pause_ = Pause::kNone;
  return false;
}

void Session::Record(const std::string &text) {
  transcript_ += text;
  if (echo_) echo_(text);
}

std::string Session::Where(const Action &action) const {
  return (action.line != 0 ? "line " + std::to_string(action.line) : "action " + std::to_string(next_)) + " (" +
         Describe(action) + "): ";
}

bool Session::Waiting(std::chrono::steady_clock::time_point *until) {
  if (pause_ == Pause::kNone || Failed()) return false;
  auto now = std::chrono::steady_clock::now();
  if (pause_ == Pause::kAwait && CaptionOpen(awaited_)) {
    pause_ = Pause::kNone;
    return false;
  }
  if (now >= pauseEnd_) {
    if (pause_ == Pause::kAwait) {
      Fail(awaitWhere_ + "no message box or window " + gwes::Quoted(awaited_) +
           " opened in time; give it longer, or check what the run shows instead");
    }
    pause_ = Pause::kNone;
    return false;
  }
  // While real time passes, the headless clock's timers keep their periods on it.
  std::chrono::steady_clock::time_point nextTimer;
  for (const gwes::TimerEntry &timer : gwes::DueHeadlessTimers(now, &nextTimer)) gwes::FireTimer(timer);
  *until = std::min(pauseEnd_, nextTimer);
  if (pause_ == Pause::kAwait) *until = std::min(*until, now + kAwaitPoll);
  return true;
}

const Action *Session::Next(HWND dialog, const std::u16string_view *messageBox) {
  if (Failed()) return nullptr;
  if (next_ < actions_.size()) return &actions_[next_++];
  if (messageBox != nullptr) {
    Fail("the script ended while message box " + gwes::Quoted(*messageBox) +
         " waits for an answer; add an \"answer\" line for it");
  } else {
    Fail("the script ended while dialog " + gwes::QuotedWindowText(dialog) +
         " waits for the user; add the actions that close it, such as \"escape\" or \"close\"");
  }
  return nullptr;
}

bool Session::Step(HWND dialog) {
  const Action *action = Next(dialog, nullptr);
  if (action == nullptr) return false;
  std::string where = Where(*action);
  std::string dialogName = "dialog " + gwes::QuotedWindowText(dialog);
  auto control = [&]() -> gwes::WindowPtr {
    HWND hwnd = GetDlgItem(dialog, action->id);
    if (hwnd == nullptr) {
      Fail(where + dialogName + " has no control " + std::to_string(action->id));
      return nullptr;
    }
    if (!gwes::TakesClicks(hwnd)) {
      Fail(where + "control " + std::to_string(action->id) + " of " + dialogName +
           " is disabled or hidden, so a click cannot reach it");
      return nullptr;
    }
    return gwes::LookupWindow(hwnd);
  };
  switch (action->kind) {
    case Action::Kind::kClick: {
      gwes::WindowPtr target = control();
      if (!target) return false;
      if (EqualsIgnoreCase(target->className, TRACKBAR_CLASSW))
        return Fail(where + "control " + std::to_string(action->id) + " is a trackbar; click it with \"slider " +
                    std::to_string(action->id) + " POSITION\"");
      // Only buttons answer a click; a click on a static or a window of another class does nothing.
      if (EqualsIgnoreCase(target->className, u"BUTTON")) SendMessageW(target->hwnd, BM_CLICK, 0, 0);
      return true;
    }
    case Action::Kind::kSlider: {
      gwes::WindowPtr target = control();
      if (!target) return false;
      if (!EqualsIgnoreCase(target->className, TRACKBAR_CLASSW))
        return Fail(where + "control " + std::to_string(action->id) + " of " + dialogName + " is not a trackbar");
      gwes::ClickTrackbar(target->hwnd, action->value);
      return true;
    }
    case Action::Kind::kAnswer:
      return Fail(where + "no message box is open; " + dialogName + " waits for the user");
    case Action::Kind::kEscape:
      gwes::DeliverKeyInput(dialog, VK_ESCAPE, false);
      return true;
    case Action::Kind::kClose:
      gwes::ClickCaptionBox(dialog, gwes::FramePart::kCloseBox);
      return true;
    case Action::Kind::kOk: {
      gwes::WindowPtr window = gwes::LookupWindow(dialog);
      const RECT box = window ? gwes::CaptionOf(window->style, window->exStyle, gwes::kCaptionHeight).ok : RECT{};
      if (box.right <= box.left)
        return Fail(where + dialogName + " has no OK box in its caption; close it with \"escape\" or \"close\"");
      gwes::ClickCaptionBox(dialog, gwes::FramePart::kOkBox);
      return true;
    }
    case Action::Kind::kTick:
      for (LONG period = 0; period < action->value; ++period)
        for (const gwes::TimerEntry &timer : gwes::HeadlessTimers()) gwes::FireTimer(timer);
      return true;
    case Action::Kind::kWait:
      pause_ = Pause::kWait;
      pauseEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(action->value);
      return true;
    case Action::Kind::kAwait:
      if (CaptionOpen(action->caption)) return true;
      pause_ = Pause::kAwait;
      pauseEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(action->value);
      awaited_ = action->caption;
      awaitWhere_ = where;
      return true;
    case Action::Kind::kDump:
      Record(DumpWindows());
      return true;
    case Action::Kind::kCall:
      if (action->call) action->call();
      return true;
  }
  return true;
}

int Session::Answer(std::u16string_view caption, std::u16string_view text, UINT type) {
  if (Failed()) return 0;
  Buttons buttons = ButtonsOf(type);
  static const char *const kIcons[] = {"", " icon=error", " icon=question", " icon=warning", " icon=information"};
  const UINT icon = (type & MB_ICONMASK) >> 4;
  Record("message box " + gwes::Quoted(caption) + " " + gwes::Quoted(text) + " buttons=" + buttons.names +
         (icon < 5 ? kIcons[icon] : "") + "\n");
  // A box cannot wait for the end of a pause: it ends a wait, and it is what an await awaits or
  // the script's mistake.
  if (pause_ == Pause::kAwait && caption != awaited_) {
    Fail(awaitWhere_ + "message box " + gwes::Quoted(caption) + " opened while the script awaits " +
         gwes::Quoted(awaited_) + "; answer it first");
    return 0;
  }
  pause_ = Pause::kNone;
  // Dumps asked for while the box is open are played; the first other action must answer it. A
  // quit request (SIGTERM, say) that arrives meanwhile ends the box unanswered.
  for (;;) {
    MSG quit;
    if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) return 0;
    const Action *action = Next(nullptr, &caption);
    if (action == nullptr) return 0;
    std::string where = Where(*action);
    if (action->kind == Action::Kind::kDump) {
      Record(DumpWindows() + gwes::DumpMessageBox(caption, text, type));
      continue;
    }
    if (action->kind == Action::Kind::kCall) {
      if (action->call) action->call();
      continue;
    }
    // An await for this very box is met at once.
    if (action->kind == Action::Kind::kAwait && action->caption == caption) continue;
    if (action->kind != Action::Kind::kAnswer) {
      Fail(where + "message box " + gwes::Quoted(caption) + " waits for an answer; answer it first");
      return 0;
    }
    for (int answer : buttons.answers)
      if (answer == action->value) return answer;
    Fail(where + "message box " + gwes::Quoted(caption) + " has no such button; its buttons are " + buttons.names);
    return 0;
  }
}

}  // namespace platform::headless

namespace platform::gwes {

bool HeadlessActive() { return headless::current != nullptr; }

bool HeadlessStep(HWND dialog) { return headless::current != nullptr && headless::current->Step(dialog); }

bool HeadlessWaiting(std::chrono::steady_clock::time_point *until) {
  return headless::current != nullptr && headless::current->Waiting(until);
}

int HeadlessAnswer(std::u16string_view caption, std::u16string_view text, UINT type) {
  return headless::current != nullptr ? headless::current->Answer(caption, text, type) : 0;
}

}  // namespace platform::gwes
