// The gesture-script parser: numbers are checked against what each command can take, so a typo
// stops the run with its line number instead of sending something else.
#include "gesture_script.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string_view>

namespace touchsim {
namespace {

struct Syntax {
  const char *word;
  Command::Kind kind;
  size_t count;  // numbers the command takes
};

const Syntax kSyntax[] = {
    {"tap", Command::kTap, 2},   {"drag", Command::kDrag, 5}, {"hold", Command::kHold, 3},
    {"lift", Command::kLift, 0}, {"wait", Command::kWait, 1}, {"noise", Command::kNoise, 1},
    {"repeat", Command::kRepeat, 1},
};

// Repeats nested deeper than this are refused: the script is kept, and played, as a tree, so a
// runaway nesting would exhaust the stack; no gesture needs more than a few levels.
constexpr size_t kDeepestRepeat = 64;

bool ParseNumber(const std::string &word, int64_t *value) {
  char *end = nullptr;
  long long parsed = std::strtoll(word.c_str(), &end, 0);
  if (word.empty() || *end != 0 || parsed < 0 || parsed > 0x7fffffffLL) return false;
  *value = parsed;
  return true;
}

// await "CAPTION" MS, gone "CAPTION" MS: the caption in double quotes, so that it may hold blanks.
bool ParseWindowWait(const std::string &text, int line, Command *command, ScriptError *error) {
  std::istringstream split(text);
  std::string verb;
  split >> verb;
  command->kind = verb == "await" ? Command::kAwait : Command::kGone;
  command->line = line;
  const std::string usage = "'" + verb + "' is written " + verb + " \"CAPTION\" MILLISECONDS";
  size_t open = text.find('"');
  size_t close = open == std::string::npos ? std::string::npos : text.find('"', open + 1);
  if (open == std::string::npos || close == std::string::npos) {
    *error = {line, usage};
    return false;
  }
  // Nothing but blanks may stand between the verb and the caption, nor be glued to its closing
  // quote: a word there is a mistake, not something to skip.
  const size_t verbEnd = text.find(verb) + verb.size();
  const size_t stray = text.find_first_not_of(" \t\r", verbEnd);
  if (stray < open) {
    const size_t strayEnd = std::min(text.find_first_of(" \t\r\"", stray), open);
    *error = {line, usage + ", found '" + text.substr(stray, strayEnd - stray) + "' before the caption"};
    return false;
  }
  if (close + 1 < text.size() && std::string_view(" \t\r").find(text[close + 1]) == std::string_view::npos) {
    *error = {line, usage + ", with a blank after the caption's closing quote"};
    return false;
  }
  command->caption = text.substr(open + 1, close - open - 1);
  std::istringstream rest(text.substr(close + 1));
  std::string word, extra;
  int64_t value = 0;
  if (!(rest >> word) || (rest >> extra) || !ParseNumber(word, &value) || value < 1) {
    *error = {line, usage};
    return false;
  }
  command->numbers.push_back(value);
  return true;
}

bool ParseLine(const std::vector<std::string> &words, int line, Command *command, ScriptError *error) {
  auto fail = [&](const std::string &message) {
    *error = {line, message};
    return false;
  };
  command->line = line;
  if (words[0] == "raw") {
    command->kind = Command::kRaw;
    if (words.size() < 2) return fail("'raw' needs at least one byte in hexadecimal");
    for (size_t i = 1; i < words.size(); ++i) {
      char *end = nullptr;
      unsigned long byte = std::strtoul(words[i].c_str(), &end, 16);
      if (words[i].empty() || *end != 0 || byte > 0xFF || words[i].size() > 4)
        return fail("'" + words[i] + "' is not a byte in hexadecimal (00 to FF)");
      command->bytes.push_back(static_cast<uint8_t>(byte));
    }
    return true;
  }
  for (const Syntax &syntax : kSyntax) {
    if (words[0] != syntax.word) continue;
    command->kind = syntax.kind;
    if (words.size() != syntax.count + 1)
      return fail("'" + words[0] + "' takes " + std::to_string(syntax.count) + " number(s), found " +
                  std::to_string(words.size() - 1));
    for (size_t i = 1; i < words.size(); ++i) {
      int64_t value = 0;
      if (!ParseNumber(words[i], &value)) return fail("'" + words[i] + "' is not a number from 0 to 2147483647");
      command->numbers.push_back(value);
    }
    if ((syntax.kind == Command::kDrag && command->numbers[4] < 1) ||
        (syntax.kind == Command::kHold && command->numbers[2] < 1))
      return fail("'" + words[0] + "' needs a count of at least 1");
    return true;
  }
  return fail("unknown command '" + words[0] + "' (tap, drag, hold, lift, wait, raw, noise, repeat, end, await, gone)");
}

}  // namespace

bool ParseScript(const std::string &text, std::vector<Command> *commands, ScriptError *error) {
  std::vector<std::vector<Command> *> open{commands};
  std::vector<int> openLines;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream split(line);
    std::vector<std::string> words;
    for (std::string word; split >> word;) words.push_back(word);
    if (words.empty()) continue;
    if (words[0] == "end") {
      if (words.size() != 1 || open.size() == 1) {
        *error = {number, open.size() == 1 ? "'end' without 'repeat'" : "'end' takes nothing"};
        return false;
      }
      open.pop_back();
      openLines.pop_back();
      continue;
    }
    Command command{};
    if (words[0] == "repeat" && open.size() > kDeepestRepeat) {
      *error = {number, "'repeat' nested more than " + std::to_string(kDeepestRepeat) + " deep"};
      return false;
    }
    if (words[0] == "await" || words[0] == "gone") {
      if (!ParseWindowWait(line, number, &command, error)) return false;
    } else if (!ParseLine(words, number, &command, error)) {
      return false;
    }
    open.back()->push_back(std::move(command));
    if (open.back()->back().kind == Command::kRepeat) {
      open.push_back(&open.back()->back().body);
      openLines.push_back(number);
    }
  }
  if (open.size() > 1) {
    *error = {openLines.back(), "'repeat' without 'end'"};
    return false;
  }
  return true;
}

bool CheckPositions(const std::vector<Command> &commands, bool screenPoints, ScriptError *error) {
  const int64_t largest = screenPoints ? 65535 : 16383;
  for (const Command &command : commands) {
    size_t positions = 0;  // leading numbers that are x, y pairs
    if (command.kind == Command::kTap || command.kind == Command::kHold) positions = 2;
    if (command.kind == Command::kDrag) positions = 4;
    for (size_t i = 0; i < positions; ++i) {
      if (command.numbers[i] <= largest) continue;
      *error = {command.line, screenPoints ? "screen positions run from 0 to 65535"
                                           : "controller positions run from 0 to 16383 (use --panel for screen points)"};
      return false;
    }
    if (command.kind == Command::kRepeat && !CheckPositions(command.body, screenPoints, error)) return false;
  }
  return true;
}

int FirstWindowCommandLine(const std::vector<Command> &commands) {
  for (const Command &command : commands) {
    if (command.kind == Command::kAwait || command.kind == Command::kGone) return command.line;
    if (command.kind == Command::kRepeat)
      if (const int line = FirstWindowCommandLine(command.body); line != 0) return line;
  }
  return 0;
}

}  // namespace touchsim
