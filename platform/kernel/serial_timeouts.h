// The time-out arithmetic of a serial port's ReadFile and WriteFile: from the port's COMMTIMEOUTS
// and the byte count asked, how long a call may still wait. Pure, so that every rule is tested
// without a line.
#pragma once

#include <cstdint>

#include <windows.h>

namespace platform {

// A wait with no bound: the call ends only when its count is done or the port is closed.
inline constexpr int64_t kWaitWithoutLimit = -1;

class ReadTimeoutRule {
 public:
  ReadTimeoutRule(const COMMTIMEOUTS &timeouts, DWORD count);

  // Milliseconds the read may still wait for input: 0 when it returns now with what it has,
  // kWaitWithoutLimit when nothing bounds the wait. sinceLastByte is only looked at once
  // bytesRead is not 0.
  int64_t RemainingWait(uint64_t elapsed, DWORD bytesRead, uint64_t sinceLastByte) const;

 private:
  enum class Kind {
    ReturnBuffered,       // take what is buffered and return
    FirstByteOrConstant,  // return with the first input, or empty after the constant
    TotalAndInterval,     // the general rule: a total and an inter-byte time-out, each optional
  };
  Kind kind_;
  uint64_t total_ = 0;  // 0: no total time-out
  uint64_t interval_ = 0;  // 0: no interval time-out
};

// Milliseconds a write of count bytes may take, or kWaitWithoutLimit.
int64_t WriteTotalTimeout(const COMMTIMEOUTS &timeouts, DWORD count);

}  // namespace platform
