// Parsing calvex's own arguments.
#include "command_line.h"

#include <vector>

namespace {

// The arguments as 8-bit text; a character beyond it makes the argument one no option matches.
std::vector<std::string> Split(LPCWSTR commandLine) {
  std::vector<std::string> arguments;
  std::string current;
  bool inArgument = false;
  for (LPCWSTR c = commandLine; c != nullptr && *c != 0; ++c) {
    if (*c == u' ') {
      if (inArgument) arguments.push_back(current);
      current.clear();
      inArgument = false;
      continue;
    }
    current += *c < 0x80 ? static_cast<char>(*c) : '?';
    inArgument = true;
  }
  if (inArgument) arguments.push_back(current);
  return arguments;
}

}  // namespace

CalvexCommand ParseCalvexCommand(LPCWSTR commandLine) {
  const std::vector<std::string> arguments = Split(commandLine);
  CalvexCommand command;
  if (arguments.empty()) return command;
  if (arguments.size() == 1 && arguments[0] == "--check") {
    command.kind = CalvexCommand::Kind::kCheck;
    return command;
  }
  if (arguments[0] == "--calibrate") {
    if (arguments.size() == 2 && (arguments[1] == "2" || arguments[1] == "5" || arguments[1] == "25")) {
      command.kind = CalvexCommand::Kind::kCalibrate;
      command.points = std::stoi(arguments[1]);
      return command;
    }
    command.kind = CalvexCommand::Kind::kError;
    command.error = "--calibrate takes the number of points, 2, 5 or 25 (calvex --calibrate 5)";
    return command;
  }
  command.kind = CalvexCommand::Kind::kError;
  command.error = "unknown argument '" + arguments[0] + "': calvex takes --check or --calibrate 2|5|25 (calvex --help)";
  return command;
}
