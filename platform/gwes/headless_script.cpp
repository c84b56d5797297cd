// The headless script's actions: building them in C++, parsing them from text one line at a time,
// and writing one back as its line.
#include <charconv>
#include <map>

#include "headless_driver.h"
#include "platform/headless.h"
#include "platform/text.h"

namespace platform::headless {
namespace {

const std::map<std::string, int> &AnswerNames() {
  static const auto *names =
      new std::map<std::string, int>{{"ok", IDOK},         {"cancel", IDCANCEL}, {"abort", IDABORT}, {"retry", IDRETRY},
                                     {"ignore", IDIGNORE}, {"yes", IDYES},       {"no", IDNO}};
  return *names;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

bool Number(std::string_view word, long *value) {
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return error == std::errc() && end == word.data() + word.size();
}

// The longest real-time pause a script may ask for: an hour.
constexpr long kLongestPause = 3600000;

bool Milliseconds(std::string_view word, const char *what, LONG *value, std::string *reason) {
  long number = 0;
  if (!Number(word, &number) || number < 1 || number > kLongestPause) {
    *reason = std::string(what) + " \"" + std::string(word) + "\" is not a number of milliseconds from 1 to " +
              std::to_string(kLongestPause);
    return false;
  }
  *value = static_cast<LONG>(number);
  return true;
}

// await "CAPTION" MS: the caption in double quotes, written as the transcript writes texts
// (\\, \" and \n escaped), so that it may hold blanks at either end.
bool ParseAwait(std::string_view line, Action *action, std::string *reason) {
  const char *usage = "\"await\" is written await \"CAPTION\" MILLISECONDS";
  size_t at = line.find("await") + 5;
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  if (at >= line.size() || line[at] != '"') {
    *reason = usage;
    return false;
  }
  std::string caption;
  bool closed = false;
  for (++at; at < line.size(); ++at) {
    char c = line[at];
    if (c == '"') {
      closed = true;
      ++at;
      break;
    }
    if (c == '\\' && at + 1 < line.size()) {
      char next = line[++at];
      caption += next == 'n' ? '\n' : next;
      continue;
    }
    caption += c;
  }
  std::vector<std::string_view> rest = Words(closed ? line.substr(at) : std::string_view());
  if (!closed || rest.size() != 1) {
    *reason = usage;
    return false;
  }
  action->kind = Action::Kind::kAwait;
  action->caption = ToUtf16(caption);
  return Milliseconds(rest[0], "await time", &action->value, reason);
}

// One line's action; the reason when it is not one.
bool ParseLine(std::string_view line, const std::vector<std::string_view> &words, Action *action,
               std::string *reason) {
  const std::string_view verb = words[0];
  struct Shape {
    Action::Kind kind;
    size_t arguments;
    const char *usage;
  };
  static const auto *shapes = new std::map<std::string_view, Shape>{
      {"click", {Action::Kind::kClick, 1, "click ID"}},
      {"slider", {Action::Kind::kSlider, 2, "slider ID POSITION"}},
      {"answer", {Action::Kind::kAnswer, 1, "answer ok|cancel|abort|retry|ignore|yes|no"}},
      {"escape", {Action::Kind::kEscape, 0, "escape"}},
      {"close", {Action::Kind::kClose, 0, "close"}},
      {"ok", {Action::Kind::kOk, 0, "ok"}},
      {"tick", {Action::Kind::kTick, 1, "tick PERIODS"}},
      {"wait", {Action::Kind::kWait, 1, "wait MILLISECONDS"}},
      {"dump", {Action::Kind::kDump, 0, "dump"}}};
  if (verb == "await") return ParseAwait(line, action, reason);
  auto shape = shapes->find(verb);
  if (shape == shapes->end()) {
    *reason = "unknown action \"" + std::string(verb) +
              "\"; use click, slider, answer, escape, close, ok, tick, wait, await or dump";
    return false;
  }
  if (words.size() - 1 != shape->second.arguments) {
    *reason = "\"" + std::string(verb) + "\" is written " + shape->second.usage;
    return false;
  }
  action->kind = shape->second.kind;
  long first = 0, second = 0;
  switch (action->kind) {
    case Action::Kind::kClick:
    case Action::Kind::kSlider:
      if (!Number(words[1], &first) || first < 0 || first > 0xFFFF) {
        *reason = "control id \"" + std::string(words[1]) + "\" is not a number from 0 to 65535";
        return false;
      }
      action->id = static_cast<int>(first);
      if (action->kind == Action::Kind::kSlider) {
        if (!Number(words[2], &second) || second < INT32_MIN || second > INT32_MAX) {
          *reason = "slider position \"" + std::string(words[2]) + "\" is not a 32-bit number";
          return false;
        }
        action->value = static_cast<LONG>(second);
      }
      return true;
    case Action::Kind::kAnswer: {
      auto answer = AnswerNames().find(std::string(words[1]));
      if (answer == AnswerNames().end()) {
        *reason = "\"" + std::string(words[1]) + "\" is not an answer; use ok, cancel, abort, retry, ignore, yes or no";
        return false;
      }
      action->value = answer->second;
      return true;
    }
    case Action::Kind::kTick:
      if (!Number(words[1], &first) || first < 1 || first > 1000000) {
        *reason = "tick count \"" + std::string(words[1]) + "\" is not a number from 1 to 1000000";
        return false;
      }
      action->value = static_cast<LONG>(first);
      return true;
    case Action::Kind::kWait:
      return Milliseconds(words[1], "wait time", &action->value, reason);
    default:
      return true;
  }
}

}  // namespace

namespace {

Action Make(Action::Kind kind, int id = 0, LONG value = 0) {
  Action action;
  action.kind = kind;
  action.id = id;
  action.value = value;
  return action;
}

}  // namespace

Action Click(int id) { return Make(Action::Kind::kClick, id, 0); }
Action Slider(int id, LONG position) { return Make(Action::Kind::kSlider, id, position); }
Action Answer(int button) { return Make(Action::Kind::kAnswer, 0, button); }
Action Escape() { return Make(Action::Kind::kEscape, 0, 0); }
Action Close() { return Make(Action::Kind::kClose, 0, 0); }
Action Ok() { return Make(Action::Kind::kOk, 0, 0); }
Action Tick(int periods) { return Make(Action::Kind::kTick, 0, periods); }
Action Wait(LONG milliseconds) { return Make(Action::Kind::kWait, 0, milliseconds); }
Action Await(std::u16string caption, LONG milliseconds) {
  Action action = Make(Action::Kind::kAwait, 0, milliseconds);
  action.caption = std::move(caption);
  return action;
}
Action Dump() { return Make(Action::Kind::kDump, 0, 0); }
Action Call(std::function<void()> function) {
  Action action = Make(Action::Kind::kCall, 0, 0);
  action.call = std::move(function);
  return action;
}

bool ParseScript(std::string_view text, std::vector<Action> *actions, std::string *error) {
  std::vector<Action> parsed;
  int number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    Action action;
    std::string reason;
    if (!ParseLine(line, words, &action, &reason)) {
      *error = "line " + std::to_string(number) + ": " + reason;
      return false;
    }
    action.line = number;
    parsed.push_back(action);
  }
  *actions = std::move(parsed);
  return true;
}

std::string Describe(const Action &action) {
  switch (action.kind) {
    case Action::Kind::kClick:
      return "click " + std::to_string(action.id);
    case Action::Kind::kSlider:
      return "slider " + std::to_string(action.id) + " " + std::to_string(action.value);
    case Action::Kind::kAnswer:
      for (const auto &[name, button] : AnswerNames())
        if (button == action.value) return "answer " + name;
      return "answer " + std::to_string(action.value);
    case Action::Kind::kEscape:
      return "escape";
    case Action::Kind::kClose:
      return "close";
    case Action::Kind::kOk:
      return "ok";
    case Action::Kind::kTick:
      return "tick " + std::to_string(action.value);
    case Action::Kind::kWait:
      return "wait " + std::to_string(action.value);
    case Action::Kind::kAwait:
      return "await " + gwes::Quoted(action.caption) + " " + std::to_string(action.value);
    case Action::Kind::kDump:
      return "dump";
    case Action::Kind::kCall:
      return "call";
  }
  return "";
}

}  // namespace platform::headless
