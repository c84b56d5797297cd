// Report encoding and the reference count of complete reports.
#include "report_encoder.h"

namespace touchsim {

std::string EncodeReport(bool touching, uint16_t x, uint16_t y) {
  x &= 0x3FFF;
  y &= 0x3FFF;
  std::string report(5, '\0');
  report[0] = static_cast<char>(touching ? 0x90 : 0x80);
  report[1] = static_cast<char>(x >> 7);
  report[2] = static_cast<char>(x & 0x7F);
  report[3] = static_cast<char>(y >> 7);
  report[4] = static_cast<char>(y & 0x7F);
  return report;
}

void ReportCounter::Feed(const std::string &bytes) {
  for (char c : bytes) {
    bool markBit = (static_cast<unsigned char>(c) & 0x80) != 0;
    if (position_ == 0) {
      position_ = markBit ? 1 : 0;
    } else if (markBit) {
      position_ = 0;
    } else if (++position_ == 5) {
      ++complete_;
      position_ = 0;
    }
  }
}

}  // namespace touchsim
