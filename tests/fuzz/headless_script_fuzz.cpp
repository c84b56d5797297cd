// Fuzzes the headless script parser: any text goes in, and the parser must not crash. A refused
// script must be refused with "line N: " and a reason, N one of its lines. In an accepted one the
// actions keep the order of their lines, and each action written back as its line (Describe)
// must parse to the same action and write back as the very same line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/headless.h"

namespace {

using platform::headless::Action;

[[noreturn]] void Violation(const std::string &what, std::string_view text) {
  std::fprintf(stderr, "headless_script_fuzz: %s\n%.*s\n", what.c_str(), static_cast<int>(text.size()), text.data());
  std::abort();
}

bool SameAction(const Action &a, const Action &b) {
  return a.kind == b.kind && a.id == b.id && a.value == b.value && a.caption == b.caption;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  // Lines as the parser reads them: a last line may lack its newline.
  long lines = std::count(text.begin(), text.end(), '\n');
  if (!text.empty() && text.back() != '\n') ++lines;

  std::vector<Action> actions;
  std::string error;
  if (!platform::headless::ParseScript(text, &actions, &error)) {
    long line = 0;
    const size_t colon = error.find(": ");
    if (error.rfind("line ", 0) != 0 || colon == std::string::npos || colon + 2 == error.size())
      Violation("an error not written \"line N: reason\": " + error, text);
    line = std::strtol(error.c_str() + 5, nullptr, 10);
    if (line < 1 || line > lines) Violation("an error on a line the script does not have: " + error, text);
    return 0;
  }

  int previous = 0;
  for (const Action &action : actions) {
    if (action.line <= previous || action.line > lines)
      Violation("an action on line " + std::to_string(action.line) + " after one on line " + std::to_string(previous),
                text);
    previous = action.line;
    const std::string line = platform::headless::Describe(action);
    std::vector<Action> reparsed;
    if (!platform::headless::ParseScript(line, &reparsed, &error))
      Violation("the action written back is refused: " + error, line);
    if (reparsed.size() != 1 || !SameAction(action, reparsed[0]))
      Violation("the action written back parses to another action", line);
    if (platform::headless::Describe(reparsed[0]) != line) Violation("the reparsed action writes back otherwise", line);
  }
  return 0;
}
