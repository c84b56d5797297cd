// Read and write time-outs of serial ports, following the device's COMMTIMEOUTS rules.
#include "serial_timeouts.h"

#include <algorithm>
#include <limits>

namespace platform {
namespace {

// multiplier * count + constant can exceed 32 bits (and, at the extreme, 63); the wait is then
// clamped to the longest one the caller can express.
int64_t TotalMilliseconds(DWORD multiplier, DWORD constant, DWORD count) {
  uint64_t total = static_cast<uint64_t>(multiplier) * count + constant;
  return static_cast<int64_t>(std::min<uint64_t>(total, std::numeric_limits<int64_t>::max()));
}

int64_t Remaining(uint64_t limit, uint64_t spent) { return spent >= limit ? 0 : static_cast<int64_t>(limit - spent); }

}  // namespace

ReadTimeoutRule::ReadTimeoutRule(const COMMTIMEOUTS &timeouts, DWORD count) {
  const DWORD interval = timeouts.ReadIntervalTimeout;
  const DWORD multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const DWORD constant = timeouts.ReadTotalTimeoutConstant;
  if (interval == MAXDWORD && multiplier == 0 && constant == 0) {
    kind_ = Kind::ReturnBuffered;
  } else if (interval == MAXDWORD && multiplier == MAXDWORD && constant > 0 && constant < MAXDWORD) {
    kind_ = Kind::FirstByteOrConstant;
    total_ = constant;
  } else {
    kind_ = Kind::TotalAndInterval;
    total_ = static_cast<uint64_t>(TotalMilliseconds(multiplier, constant, count));
    interval_ = interval;
  }
}

int64_t ReadTimeoutRule::RemainingWait(uint64_t elapsed, DWORD bytesRead, uint64_t sinceLastByte) const {
  switch (kind_) {
    case Kind::ReturnBuffered:
      return 0;
    case Kind::FirstByteOrConstant:
      return bytesRead > 0 ? 0 : Remaining(total_, elapsed);
    case Kind::TotalAndInterval:
      break;
  }
  int64_t wait = kWaitWithoutLimit;
  if (total_ != 0) wait = Remaining(total_, elapsed);
  if (interval_ != 0 && bytesRead > 0) {
    int64_t gap = Remaining(interval_, sinceLastByte);
    wait = wait == kWaitWithoutLimit ? gap : std::min(wait, gap);
  }
  return wait;
}

int64_t WriteTotalTimeout(const COMMTIMEOUTS &timeouts, DWORD count) {
  if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0) return kWaitWithoutLimit;
  return TotalMilliseconds(timeouts.WriteTotalTimeoutMultiplier, timeouts.WriteTotalTimeoutConstant, count);
}

}  // namespace platform
