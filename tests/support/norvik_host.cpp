// devmgr with the Norvik driver for end-to-end tests.
#include "norvik_host.h"

#include <signal.h>

#include <thread>

namespace testing_support {
namespace {

constexpr std::chrono::milliseconds kBound{20000};

}  // namespace

bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

NorvikHost::NorvikHost(TempDeviceRoot &root, const PseudoTerminal &line, const std::string &extraHive)
    : NorvikHost((root.WriteHive(DefaultDevice(line.slavePath()) + extraHive), root)) {}

NorvikHost::NorvikHost(const TempDeviceRoot &root) {
  devmgr_ = std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/devmgr", std::vector<std::string>{"--root", root.path()});
  running_ = devmgr_->WaitForLine(Stream::kStdout, "NRV1: published", kBound).has_value() &&
             devmgr_->WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound).has_value();
}

NorvikHost::~NorvikHost() {
  devmgr_->Signal(SIGTERM);
  devmgr_->WaitForExit(kBound);
}

}  // namespace testing_support
