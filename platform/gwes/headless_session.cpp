// A headless script playing on its thread: each time a modal loop has no message left, the next
// action is played on that loop's dialog; each message box is recorded and answered by the next
// action. The first action that cannot be played, or the end of the script while something still
// waits, fails the run with a message that says where and what to change.
#include <utility>

#include "control_state.h"
#include "control_trackbar.h"
#include "headless_driver.h"
#include "platform/headless.h"
#include "platform/text.h"
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

}  // namespace

Session::Session(std::vector<Action> actions) : actions_(std::move(actions)), previous_(current) { current = this; }

Session::~Session() { current = previous_; }

bool Session::Fail(std::string reason) {
  if (error_.empty()) error_ = std::move(reason);
  return false;
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
  std::string where = (action->line != 0 ? "line " + std::to_string(action->line) : "action " + std::to_string(next_)) +
                      " (" + Describe(*action) + "): ";
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
      // The Escape key is the dialog's cancel command.
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
      return true;
    case Action::Kind::kClose:
      PostMessageW(dialog, WM_CLOSE, 0, 0);
      return true;
    case Action::Kind::kOk:
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return true;
    case Action::Kind::kTick:
      for (LONG period = 0; period < action->value; ++period)
        for (const gwes::TimerEntry &timer : gwes::HeadlessTimers()) gwes::FireTimer(timer);
      return true;
    case Action::Kind::kDump:
      transcript_ += DumpWindows();
      return true;
  }
  return true;
}

int Session::Answer(std::u16string_view caption, std::u16string_view text, UINT type) {
  if (Failed()) return 0;
  Buttons buttons = ButtonsOf(type);
  transcript_ += "message box " + gwes::Quoted(caption) + " " + gwes::Quoted(text) + " buttons=" + buttons.names + "\n";
  // Dumps asked for while the box is open are played; the first other action must answer it.
  for (;;) {
    const Action *action = Next(nullptr, &caption);
    if (action == nullptr) return 0;
    std::string where =
        (action->line != 0 ? "line " + std::to_string(action->line) : "action " + std::to_string(next_)) + " (" +
        Describe(*action) + "): ";
    if (action->kind == Action::Kind::kDump) {
      transcript_ += DumpWindows();
      continue;
    }
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

int HeadlessAnswer(std::u16string_view caption, std::u16string_view text, UINT type) {
  return headless::current != nullptr ? headless::current->Answer(caption, text, type) : 0;
}

}  // namespace platform::gwes
