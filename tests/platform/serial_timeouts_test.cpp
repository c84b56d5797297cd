// The read and write time-out arithmetic of serial ports, one table per COMMTIMEOUTS rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "serial_timeouts.h"

namespace {

using platform::kWaitWithoutLimit;
using platform::ReadTimeoutRule;

struct ReadCase {
  const char *what;
  COMMTIMEOUTS timeouts;
  DWORD count;
  uint64_t elapsed;
  DWORD bytesRead;
  uint64_t sinceLastByte;
  int64_t expected;
};

void ExpectRead(const ReadCase &c) {
  ReadTimeoutRule rule(c.timeouts, c.count);
  EXPECT_EQ(rule.RemainingWait(c.elapsed, c.bytesRead, c.sinceLastByte), c.expected) << c.what;
}

TEST(SerialReadTimeouts, IntervalMaxAloneReturnsWhateverIsBuffered) {
  const COMMTIMEOUTS poll{MAXDWORD, 0, 0, 0, 0};
  for (const ReadCase &c : {
           ReadCase{"nothing read yet", poll, 10, 0, 0, 0, 0},
           ReadCase{"some bytes read", poll, 10, 0, 3, 0, 0},
       }) {
    ExpectRead(c);
  }
}

TEST(SerialReadTimeouts, MaxIntervalAndMultiplierWaitForTheFirstByteUpToTheConstant) {
  const COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 5, 0, 0};
  for (const ReadCase &c : {
           ReadCase{"no byte, call just began: the whole constant", firstByte, 64, 0, 0, 0, 5},
           ReadCase{"no byte, part of the constant spent", firstByte, 64, 3, 0, 0, 2},
           ReadCase{"no byte, constant spent: return empty", firstByte, 64, 5, 0, 0, 0},
           ReadCase{"no byte, overdue", firstByte, 64, 9, 0, 0, 0},
           ReadCase{"a byte is there: return at once", firstByte, 64, 0, 1, 0, 0},
           ReadCase{"the count does not stretch the wait", firstByte, 100000, 0, 0, 0, 5},
           ReadCase{"a MAXDWORD constant is the general rule", {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0}, 1, 0, 0, 0,
                    2 * static_cast<int64_t>(MAXDWORD)},
           ReadCase{"a zero constant is the general rule", {MAXDWORD, MAXDWORD, 0, 0, 0}, 2, 0, 0, 0,
                    2 * static_cast<int64_t>(MAXDWORD)},
       }) {
    ExpectRead(c);
  }
}

TEST(SerialReadTimeouts, GeneralRuleCombinesTotalAndIntervalTimeouts) {
  for (const ReadCase &c : {
           ReadCase{"all zero: wait until the count is read", {0, 0, 0, 0, 0}, 8, 100000, 3, 100000, kWaitWithoutLimit},
           ReadCase{"total is multiplier * count + constant", {0, 10, 100, 0, 0}, 5, 0, 0, 0, 150},
           ReadCase{"total counts from the start of the call", {0, 10, 100, 0, 0}, 5, 100, 2, 0, 50},
           ReadCase{"total spent", {0, 10, 100, 0, 0}, 5, 150, 2, 0, 0},
           ReadCase{"multiplier alone", {0, 7, 0, 0, 0}, 3, 1, 0, 0, 20},
           ReadCase{"interval does not run before the first byte", {20, 0, 0, 0, 0}, 8, 5000, 0, 5000,
                    kWaitWithoutLimit},
           ReadCase{"interval runs from the last byte", {20, 0, 0, 0, 0}, 8, 5000, 1, 5, 15},
           ReadCase{"interval spent", {20, 0, 0, 0, 0}, 8, 5000, 1, 20, 0},
           ReadCase{"the interval ends first", {20, 0, 100, 0, 0}, 8, 10, 2, 5, 15},
           ReadCase{"the total ends first", {20, 0, 100, 0, 0}, 8, 90, 2, 5, 10},
           ReadCase{"a MAXDWORD interval with a total is the general rule", {MAXDWORD, 0, 100, 0, 0}, 8, 40, 0, 0, 60},
           ReadCase{"the largest total does not wrap round", {0, MAXDWORD, MAXDWORD, 0, 0}, MAXDWORD, 0, 0, 0,
                    std::numeric_limits<int64_t>::max()},
       }) {
    ExpectRead(c);
  }
}

TEST(SerialWriteTimeouts, TotalIsMultiplierTimesCountPlusConstantOrNoLimit) {
  struct Case {
    COMMTIMEOUTS timeouts;
    DWORD count;
    int64_t expected;
  };
  for (const Case &c : {
           Case{{0, 0, 0, 0, 0}, 100, kWaitWithoutLimit},
           Case{{5, 5, 5, 0, 0}, 100, kWaitWithoutLimit},
           Case{{0, 0, 0, 10, 0}, 3, 30},
           Case{{0, 0, 0, 0, 50}, 3, 50},
           Case{{0, 0, 0, 2, 7}, 4, 15},
           Case{{0, 0, 0, 2, 7}, 0, 7},
       }) {
    EXPECT_EQ(platform::WriteTotalTimeout(c.timeouts, c.count), c.expected)
        << c.timeouts.WriteTotalTimeoutMultiplier << "*" << c.count << "+" << c.timeouts.WriteTotalTimeoutConstant;
  }
}

}  // namespace
