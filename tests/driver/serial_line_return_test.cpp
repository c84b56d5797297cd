// A serial line that hangs up and comes back, end to end: COM1: is mapped to a symbolic link, as
// a USB adapter is reached through /dev/ttyUSB0; the real devmgr runs the driver; the link is
// pulled and then plugged into a fresh pseudo-terminal. Touches must reach the pointer log again
// without a restart, and devmgr must sleep while the line is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "movable_line.h"
#include "norvik_host.h"
#include "process.h"
#include "process_cpu.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::kTapBytes;
using testing_support::LoggedMouseEvents;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{30000};


TEST(SerialLineReturn, TouchesReachThePointerAgainOnceThePathLeadsToALiveTtyWithoutSpinningMeanwhile) {
  testing_support::TempDeviceRoot root;
  testing_support::MovableLine line(root.path() + "/ttyUSB0");
  const std::string log = root.path() + "/pointer.log";
  root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), log));
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);

  line.line()->Send(kTapBytes);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 2; }, kBound)) << "no tap on the first line";

  line.Pull();
  const std::string port = "serial: COM1: " + line.path();
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, port + " hung up; waiting for it to come back", kBound))
      << devmgr.Output(Stream::kStderr);
  // The time being measured: the driver waits through it, looking for the path now and then.
  const double gone = testing_support::ProcessCpuMillisecondsOver(devmgr.pid(), std::chrono::seconds(1));
  EXPECT_LT(gone, 100.0) << "devmgr spun while the line was gone";

  line.PlugIn();
  line.line()->Send(kTapBytes);  // waits in the new line until the port has it open
  EXPECT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 4; }, kBound))
      << "the tap on the returned line never reached the pointer: " << LoggedMouseEvents(log) << " events\n"
      << devmgr.Output(Stream::kStderr);
  EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, port + " is back", kBound)) << devmgr.Output(Stream::kStderr);

  // Hung up again, the line comes back again: nothing is left over from the first return.
  line.Pull();
  line.PlugIn();
  line.line()->Send(kTapBytes);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 6; }, kBound))
      << "the line came back once but not twice: " << LoggedMouseEvents(log) << " events\n"
      << devmgr.Output(Stream::kStderr);

  // Back under another number behind the same link, as an adapter is when another tty has its
  // number meanwhile: the new tty is made while the old one still holds its number, and the link
  // moves to it as the old one hangs up. The path decides, not the number.
  const std::string oldNumber = line.line()->slavePath();
  line.PlugIn();
  ASSERT_NE(line.line()->slavePath(), oldNumber);
  line.line()->Send(kTapBytes);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 8; }, kBound))
      << "the line that came back under another number never reached the pointer: " << LoggedMouseEvents(log)
      << " events\n"
      << devmgr.Output(Stream::kStderr);

  devmgr.Signal(SIGTERM);
  auto exit = devmgr.WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0) << devmgr.Output(Stream::kStderr);
}

}  // namespace
