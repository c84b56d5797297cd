// Gesture scripts: the text that tells the controller simulator what to send. One command a line;
// '#' starts a comment.
//
//   tap X Y               a touching report at (X, Y), then the report that ends the touch there
//   drag X1 Y1 X2 Y2 N    N touching reports on the line from (X1, Y1) to (X2, Y2), ends included
//   hold X Y N            N touching reports at (X, Y)
//   lift                  the report that ends the touch, at the last position
//   wait MS               send nothing for MS milliseconds
//   raw HEX...            the given bytes as they stand (for framing tests)
//   noise N               N random bytes
//   repeat N ... end      the enclosed commands N times
//   await "CAPTION" MS    wait until a window captioned CAPTION is open on the device root (at most MS)
//   gone "CAPTION" MS     wait until no window captioned CAPTION is open there (at most MS)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace touchsim {

struct Command {
  enum Kind { kTap, kDrag, kHold, kLift, kWait, kRaw, kNoise, kRepeat, kAwait, kGone } kind;
  int line = 0;
  std::vector<int64_t> numbers;     // the command's numbers, in order
  std::vector<uint8_t> bytes;       // raw
  std::string caption;              // await, gone
  std::vector<Command> body;        // repeat
};

struct ScriptError {
  int line = 0;
  std::string message;
};

// Parses a whole script. On failure returns false with the first error's line and reason.
bool ParseScript(const std::string &text, std::vector<Command> *commands, ScriptError *error);
// Checks every position of the commands, repeated ones included, against the range they are
// given in: screen points (0..65535) or controller units (0..16383). On failure returns false
// with the first such command's line and the reason.
bool CheckPositions(const std::vector<Command> &commands, bool screenPoints, ScriptError *error);
// The line of the first 'await' or 'gone', repeated ones included, which need a device root to
// look in; 0 when there is none.
int FirstWindowCommandLine(const std::vector<Command> &commands);

}  // namespace touchsim
