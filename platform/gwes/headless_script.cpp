// The headless script's actions: building them in C++, parsing them from text one line at a time,
// and writing one back as its line.
#include <charconv>
#include <map>

#include "platform/headless.h"

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

// One line's action; the reason when it is not one.
bool ParseLine(const std::vector<std::string_view> &words, Action *action, std::string *reason) {
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
      {"dump", {Action::Kind::kDump, 0, "dump"}}};
  auto shape = shapes->find(verb);
  if (shape == shapes->end()) {
    *reason =
        "unknown action \"" + std::string(verb) + "\"; use click, slider, answer, escape, close, ok, tick or dump";
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
    default:
      return true;
  }
}

}  // namespace

Action Click(int id) { return Action{Action::Kind::kClick, id, 0, 0}; }
Action Slider(int id, LONG position) { return Action{Action::Kind::kSlider, id, position, 0}; }
Action Answer(int button) { return Action{Action::Kind::kAnswer, 0, button, 0}; }
Action Escape() { return Action{Action::Kind::kEscape, 0, 0, 0}; }
Action Close() { return Action{Action::Kind::kClose, 0, 0, 0}; }
Action Ok() { return Action{Action::Kind::kOk, 0, 0, 0}; }
Action Tick(int periods) { return Action{Action::Kind::kTick, 0, periods, 0}; }
Action Dump() { return Action{Action::Kind::kDump, 0, 0, 0}; }

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
    if (!ParseLine(words, &action, &reason)) {
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
    case Action::Kind::kDump:
      return "dump";
  }
  return "";
}

}  // namespace platform::headless
