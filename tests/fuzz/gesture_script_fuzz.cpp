// Fuzzes touchsim's gesture-script parser: any text goes in, and the parser must not crash. A
// refused script must be refused with a message naming one of its lines. An accepted one, written
// back as a script (numbers in decimal, bytes in hexadecimal, a repeat's commands up to its end),
// must parse to the same commands, with each command's line within the text.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gesture_script.h"

namespace {

using touchsim::Command;

[[noreturn]] void Violation(const std::string &what, const std::string &text) {
  std::fprintf(stderr, "gesture_script_fuzz: %s\n%s\n", what.c_str(), text.c_str());
  std::abort();
}

const char *Verb(Command::Kind kind) {
  switch (kind) {
    case Command::kTap: return "tap";
    case Command::kDrag: return "drag";
    case Command::kHold: return "hold";
    case Command::kLift: return "lift";
    case Command::kWait: return "wait";
    case Command::kRaw: return "raw";
    case Command::kNoise: return "noise";
    case Command::kRepeat: return "repeat";
    case Command::kAwait: return "await";
    case Command::kGone: return "gone";
  }
  return "?";
}

void Write(const std::vector<Command> &commands, std::string *text) {
  for (const Command &command : commands) {
    *text += Verb(command.kind);
    if (command.kind == Command::kAwait || command.kind == Command::kGone) *text += " \"" + command.caption + "\"";
    for (int64_t number : command.numbers) *text += " " + std::to_string(number);
    for (uint8_t byte : command.bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", byte);
      *text += hex;
    }
    *text += "\n";
    if (command.kind == Command::kRepeat) {
      Write(command.body, text);
      *text += "end\n";
    }
  }
}

bool Same(const std::vector<Command> &a, const std::vector<Command> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].numbers != b[i].numbers || a[i].bytes != b[i].bytes ||
        a[i].caption != b[i].caption || !Same(a[i].body, b[i].body))
      return false;
  }
  return true;
}

void RequireLinesWithin(const std::vector<Command> &commands, int lines, const std::string &text) {
  for (const Command &command : commands) {
    if (command.line < 1 || command.line > lines)
      Violation("a command on line " + std::to_string(command.line) + " of " + std::to_string(lines), text);
    RequireLinesWithin(command.body, lines, text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  // Lines as the parser reads them: a last line may lack its newline.
  int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  if (!text.empty() && text.back() != '\n') ++lines;

  std::vector<Command> commands;
  touchsim::ScriptError error;
  if (!touchsim::ParseScript(text, &commands, &error)) {
    if (error.line < 1 || error.line > lines)
      Violation("an error on line " + std::to_string(error.line) + " of " + std::to_string(lines), text);
    if (error.message.empty()) Violation("an error without a message", text);
    return 0;
  }
  RequireLinesWithin(commands, lines, text);

  std::string written;
  Write(commands, &written);
  std::vector<Command> reparsed;
  if (!touchsim::ParseScript(written, &reparsed, &error))
    Violation("the written script is refused on line " + std::to_string(error.line) + ": " + error.message, written);
  if (!Same(commands, reparsed)) Violation("the written script parses to other commands", written);
  return 0;
}
