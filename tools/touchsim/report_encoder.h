// The controller's report format on the sending side, and an independent count of the complete
// reports in a byte stream, to tell how many reports a receiver that frames by bit 7 will see.
#pragma once

#include <cstdint>
#include <string>

namespace touchsim {

// Five bytes: the header (bit 7, and bit 4 while touching) and the two 14-bit coordinates, high
// seven bits first.
std::string EncodeReport(bool touching, uint16_t x, uint16_t y);

// Counts complete reports as a receiver sees them: a header byte followed by four bytes with bit
// 7 clear. A byte with bit 7 set inside a report breaks it and is itself dropped.
class ReportCounter {
 public:
  void Feed(const std::string &bytes);
  uint64_t complete() const { return complete_; }

 private:
  int position_ = 0;
  uint64_t complete_ = 0;
};

}  // namespace touchsim
