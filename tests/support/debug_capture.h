// Captures the kernel debug output of this process, as UTF-8 lines, while it lives.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture &) = delete;
  DebugCapture &operator=(const DebugCapture &) = delete;

  std::vector<std::string> messages;
};

}  // namespace testing_support
