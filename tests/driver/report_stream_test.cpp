// Reports end to end: touchsim plays the controller on a pseudo-terminal mapped as "COM1:", the
// real devmgr runs the driver, and the driver's count of complete reports (read with nrvctl) is
// exactly the number touchsim sent, garbage between them or not, paced or at full speed.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>

#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::DefaultInstallation;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{30000};

// A script of `touches` touches of five reports each, with broken reports and noise between them.
std::string MixedScript(int touches) {
  std::string script = "wait 200\n";
  for (int i = 0; i < touches; ++i) {
    int x = (i * 977) % 16000, y = (i * 613) % 16000;
    script += "drag " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(x + 300) + " " +
              std::to_string(y + 200) + " 3\n";
    script += "tap " + std::to_string(y) + " " + std::to_string(x) + "\n";
    if (i % 3 == 0) script += "raw 90 10 90 20 30 40 50\n";
    if (i % 5 == 0) script += "noise 9\n";
    if (i % 7 == 0) script += "raw 85 01 02 03 85\n";
  }
  return script;
}

class ReportStream : public ::testing::TestWithParam<std::pair<const char *, int>> {
 protected:
  // Reads the driver's count with nrvctl until the sum reaches `expected` or the bound passes;
  // returns the sum, and reads once more to show nothing more was counted.
  uint64_t CountedReports(uint64_t expected) {
    uint64_t total = 0;
    auto deadline = std::chrono::steady_clock::now() + kBound;
    do {
      ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", {"count"});
      auto exit = nrvctl.WaitForExit(kBound);
      EXPECT_TRUE(exit && exit->code == 0) << nrvctl.Output(Stream::kStderr);
      total += std::stoull("0" + nrvctl.Output(Stream::kStdout));
    } while (total < expected && std::chrono::steady_clock::now() < deadline);
    return total;
  }

  testing_support::TempDeviceRoot root;
};

TEST_P(ReportStream, DriverCountsExactlyTheCompleteReportsSent) {
  const auto [baud, touches] = GetParam();
  root.WriteHive(DefaultInstallation());
  testing_support::WriteFile(root.path() + "/script.txt", MixedScript(touches));
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim",
                        {"--port", "COM1:", "--baud", baud, "--seed", "7", root.path() + "/script.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);

  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);

  auto exit = touchsim.WaitForExit(std::chrono::milliseconds(120000));
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0) << touchsim.Output(Stream::kStderr);
  auto line = touchsim.WaitForLine(Stream::kStdout, "complete reports", kBound);
  ASSERT_TRUE(line);
  uint64_t sent = std::stoull(line->substr(line->find("sent ") + 5));
  // Noise can break a report now and then, but most of them arrive whole.
  EXPECT_GE(sent, static_cast<uint64_t>(touches) * 4);

  EXPECT_EQ(CountedReports(sent), sent);
  EXPECT_EQ(CountedReports(0), 0u) << "nothing more may be counted";
  devmgr.Signal(SIGTERM);
  ASSERT_TRUE(devmgr.WaitForExit(kBound));
}

INSTANTIATE_TEST_SUITE_P(Rates, ReportStream,
                         ::testing::Values(std::make_pair("9600", 60), std::make_pair("0", 2000)),
                         [](const auto &info) { return std::string("Baud") + info.param.first; });

}  // namespace
