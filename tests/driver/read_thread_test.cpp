// The read thread on a live pseudo-terminal: every complete report is counted, however the bytes
// arrive, and the thread leaves on the stop request.
#include "read_thread.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>
#include <thread>

#include "driver_fixture.h"
#include "serial_link.h"

namespace {

using ReadThreadTest = DriverFixture;

std::string Report(bool touching, int x, int y) {
  return std::string{static_cast<char>(touching ? 0x90 : 0x80), static_cast<char>(x >> 7), static_cast<char>(x & 0x7F),
                     static_cast<char>(y >> 7), static_cast<char>(y & 0x7F)};
}

// Waits until the thread has counted `expected` reports (bounded), then returns what it counted.
DWORD WaitForCount(DWORD expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (driverState.reportCount < expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return driverState.reportCount;
}

TEST_F(ReadThreadTest, CountsEveryCompleteReportAndNothingElse) {
  WriteRegistry();
  ASSERT_TRUE(StartDriver());
  std::string stream;
  for (int i = 0; i < 300; ++i) stream += Report(i % 2 == 0, i * 50, 16383 - i * 50);
  stream += std::string("\x90\x10\x90\x20\x30\x40\x50", 7);  // no report in there
  stream += Report(false, 1, 1);
  pty.Send(stream);
  EXPECT_EQ(WaitForCount(301), 301u);
}

TEST_F(ReadThreadTest, ReportsSplitAcrossWritesAreCountedOnce) {
  WriteRegistry();
  ASSERT_TRUE(StartDriver());
  std::string report = Report(true, 100, 200);
  for (int i = 0; i < 20; ++i) {
    pty.Send(report.substr(0, 2));
    pty.WaitUntilRead();  // most likely the thread reads the first part before the rest arrives
    pty.Send(report.substr(2));
  }
  EXPECT_EQ(WaitForCount(20), 20u);
}

TEST_F(ReadThreadTest, StopRaisedBeforeTheThreadRunsEndsItWithoutReading) {
  WriteRegistry();
  ASSERT_TRUE(DetectSerialPort());
  pty.Send(Report(true, 1, 2));
  driverState.threadExitEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  driverState.stopRequested = 1;
  EXPECT_EQ(ReadThread(nullptr), 1u);
  EXPECT_EQ(WaitForSingleObject(driverState.threadExitEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(DebugHas("ReadThread Stop.\r\n"));
  EXPECT_EQ(driverState.reportCount, 0u);
  DWORD events = 0;
  SetCommMask(driverState.portHandle, EV_RXCHAR);
  ASSERT_TRUE(WaitCommEvent(driverState.portHandle, &events, nullptr));
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR)) << "the bytes were left unread";
  CloseHandle(driverState.threadExitEvent);
  driverState.threadExitEvent = nullptr;
}

}  // namespace
