// A port whose path appears after devmgr started, end to end: COM1: is mapped to a symbolic link
// that does not exist yet (as /dev/ttyUSB0 before the adapter is plugged in, or a link udev makes
// under /dev/serial/by-id, a folder it makes with the first adapter); the real devmgr publishes
// NRV1: without its line, and the driver must take the line up once the link appears, with
// devmgr asleep meanwhile.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <ostream>
#include <string>

#include "movable_line.h"
#include "norvik_host.h"
#include "process.h"
#include "process_cpu.h"
#include "test_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ChildProcess;
using testing_support::kTapBytes;
using testing_support::LoggedMouseEvents;
using testing_support::MovableLine;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{30000};
// From the path's appearance to the first pointer event of a tap sent then.
constexpr double kArrivalMs = 2000;
// devmgr's processor time while it waits for the path.
constexpr double kWaitingCpuMs = 50;

struct Arrival {
  const char *name;
  const char *link;  // under the device root
  std::chrono::seconds after;  // from NRV1:'s publication to the appearance
};

void PrintTo(const Arrival &arrival, std::ostream *out) { *out << arrival.name; }

class PortArrival : public testing::TestWithParam<Arrival> {};

TEST_P(PortArrival, TouchesReachThePointerSoonAfterThePathAppearsWithoutSpinningMeanwhile) {
  testing_support::TempDeviceRoot root;
  MovableLine line(root.path() + "/" + GetParam().link, MovableLine::Start::kUnplugged);
  const std::string log = root.path() + "/pointer.log";
  root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), log));
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound)) << devmgr.Output(Stream::kStderr);
  for (const char *missing : {"Fail to open COM1:. Error 2", "Tarsel Mouse  NOT Found."})
    EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, missing, kBound)) << devmgr.Output(Stream::kStderr);

  // The time being measured: devmgr waits for the path to appear.
  const double waiting = testing_support::ProcessCpuMillisecondsOver(devmgr.pid(), GetParam().after);
  RecordProperty("waiting_cpu_ms", std::to_string(waiting));
  EXPECT_LT(waiting, kWaitingCpuMs) << "devmgr spun while the path was missing";

  const Clock::time_point appeared = Clock::now();
  line.PlugIn();
  line.line()->Send(kTapBytes);  // waits in the line until the port has it open
  ASSERT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) >= 1; }, kBound))
      << "the tap on the line that appeared never reached the pointer\n" << devmgr.Output(Stream::kStderr);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - appeared).count();
  RecordProperty("arrival_ms", std::to_string(ms));
  EXPECT_LT(ms, kArrivalMs) << "the tap took too long after the path appeared";
  EXPECT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 2; }, kBound))
      << "the tap's end was lost";

  const auto taken = devmgr.WaitForLine(Stream::kStderr, "its port COM1: (", kBound);
  ASSERT_TRUE(taken) << devmgr.Output(Stream::kStderr);
  EXPECT_NE(taken->find(line.path()), std::string::npos) << *taken;
  EXPECT_NE(taken->find("appeared"), std::string::npos) << *taken;
  EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound))
      << devmgr.Output(Stream::kStderr);

  devmgr.Signal(SIGTERM);
  auto exit = devmgr.WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0) << devmgr.Output(Stream::kStderr);
}

INSTANTIATE_TEST_SUITE_P(
    , PortArrival,
    testing::Values(Arrival{"OneSecondAfterPublishing", "ttyUSB0", std::chrono::seconds(1)},
                    Arrival{"FiveSecondsAfterPublishing", "ttyUSB0", std::chrono::seconds(5)},
                    Arrival{"InAFolderMadeWithTheLink", "serial/by-id/usb-FTDI_FT232R_USB_UART_A9Q1XZ3-if00-port0",
                            std::chrono::seconds(2)}),
    [](const testing::TestParamInfo<Arrival> &info) { return std::string(info.param.name); });

}  // namespace
