// Debug output capture for tests.
#include "debug_capture.h"

#include "platform/debug_output.h"
#include "platform/text.h"

namespace testing_support {

DebugCapture::DebugCapture() {
  platform::SetDebugOutputSink([this](const std::u16string &m) { messages.push_back(platform::ToUtf8(m)); });
}

DebugCapture::~DebugCapture() { platform::SetDebugOutputSink(nullptr); }

}  // namespace testing_support
