// Start and stop: what each start reports, that the stop handshake ends the read thread at once,
// and that no start or stop leaks or reuses the port, the event or the thread.
#include "driver_lifecycle.h"

#include <gtest/gtest.h>

#include <chrono>

#include "driver_fixture.h"
#include "kernel_object.h"
#include "stream_interface.h"

namespace {

using DriverLifecycle = DriverFixture;

int Count(const std::vector<std::string> &lines, const std::string &line) {
  int n = 0;
  for (const auto &each : lines) n += each == line;
  return n;
}

bool PortIsFree() {
  HANDLE port = CreateFileW(TEXT("COM1:"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return false;
  CloseHandle(port);
  return true;
}

TEST_F(DriverLifecycle, InitWithUsablePortRunsTheReadThread) {
  WriteRegistry();
  EXPECT_EQ(NRV_Init(NORVIK_REGISTRY_KEY, nullptr), 1u);
  EXPECT_TRUE(DebugHas("Tarsel Mouse Found.\r\n"));
  EXPECT_NE(driverState.portHandle, nullptr);
  EXPECT_FALSE(PortIsFree());
  EXPECT_TRUE(NRV_Deinit(1));
  EXPECT_TRUE(WaitForDebug("ReadThread Stop.\r\n"));
  EXPECT_EQ(driverState.portHandle, nullptr);
  EXPECT_TRUE(PortIsFree());
}

TEST_F(DriverLifecycle, StopWakesTheWaitingReadThreadAtOnce) {
  WriteRegistry();
  ASSERT_TRUE(StartDriver());
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(StopDriver());
  auto elapsed = std::chrono::steady_clock::now() - before;
  // The mask change ends the wait; the 2000 ms bound is only for a thread that does not answer.
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
  EXPECT_TRUE(WaitForDebug("ReadThread Stop.\r\n"));
}

TEST_F(DriverLifecycle, StopWhileBytesStreamStillEndsTheThread) {
  WriteRegistry();
  ASSERT_TRUE(StartDriver());
  pty.Send(std::string(2000, '\x55'));
  EXPECT_TRUE(StopDriver());
  EXPECT_TRUE(WaitForDebug("ReadThread Stop.\r\n"));
}

TEST_F(DriverLifecycle, InitWithoutUsablePortStillGivesTheDevice) {
  WriteRegistry({{"COMM", ""}});
  EXPECT_EQ(NRV_Init(nullptr, nullptr), 1u);
  EXPECT_TRUE(DebugHas("Tarsel Mouse  NOT Found.\r\n"));
  EXPECT_FALSE(DebugHas("ReadThread Stop.\r\n"));
}

TEST_F(DriverLifecycle, ThreadCreationFailureLeavesThePortOpenUntilTheStop) {
  WriteRegistry();
  platform::InjectFault("CreateThread", "", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_FALSE(StartDriver());
  EXPECT_TRUE(DebugHas("Tarsel Mouse Found.\r\n"));
  EXPECT_TRUE(DebugHas("Fatal Error!  Failed to create SerMouse Read thread.\r\n"));
  EXPECT_FALSE(PortIsFree());
  EXPECT_TRUE(StopDriver());
  EXPECT_TRUE(PortIsFree());
}

TEST_F(DriverLifecycle, StopThenStartReopensThePort) {
  WriteRegistry();
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(StopDriver());
  EXPECT_TRUE(PortIsFree());
  ASSERT_TRUE(StartDriver());
  EXPECT_FALSE(PortIsFree());
  EXPECT_EQ(Count(Debug(), "Tarsel Mouse Found.\r\n"), 2);
}

TEST_F(DriverLifecycle, StartAfterTheRegistryIsMendedFindsThePort) {
  WriteRegistry({{"COMM", ""}});
  ASSERT_TRUE(StartDriver());
  WriteRegistry();
  ASSERT_TRUE(StartDriver());
  EXPECT_TRUE(DebugHas("Tarsel Mouse Found.\r\n"));
  EXPECT_FALSE(PortIsFree());
}

TEST_F(DriverLifecycle, RepeatedStartsAndStopsLeakNoHandle) {
  WriteRegistry();
  size_t before = platform::OpenHandleCount();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(StartDriver());
    ASSERT_TRUE(StartDriver());  // a start while started stops first
  }
  ASSERT_TRUE(StopDriver());
  ASSERT_TRUE(StopDriver());  // a second stop touches nothing twice
  EXPECT_EQ(platform::OpenHandleCount(), before);
  EXPECT_TRUE(WaitForDebug("ReadThread Stop.\r\n", 10));
}

TEST_F(DriverLifecycle, UnconfiguredPortIsClosedByTheNextStop) {
  WriteRegistry();
  platform::InjectFault("SetCommMask", "COM1:", ERROR_GEN_FAILURE, 1);
  ASSERT_TRUE(StartDriver());
  EXPECT_TRUE(DebugHas("Tarsel Mouse  NOT Found.\r\n"));
  EXPECT_FALSE(PortIsFree());
  ASSERT_TRUE(StopDriver());
  EXPECT_TRUE(PortIsFree());
}

TEST_F(DriverLifecycle, StopWithoutStartReturnsAtOnce) {
  EXPECT_TRUE(StopDriver());
  EXPECT_TRUE(NRV_Deinit(1));
  EXPECT_FALSE(DebugHas("THREAD EXIT...\r\n"));
}

TEST_F(DriverLifecycle, TracesAndProgressFollowTheirZones) {
  WriteRegistry();
  ULONG mask = dpCurSettings.ulZoneMask;
  dpCurSettings.ulZoneMask = 0x3000;
  ASSERT_TRUE(StartDriver());
  ASSERT_TRUE(StopDriver());
  dpCurSettings.ulZoneMask = mask;
  std::vector<std::string> debug = Debug();
  ASSERT_GE(debug.size(), 8u);
  EXPECT_EQ(debug.front(), "[FUNC] +NRV_Init()\r\n");
  EXPECT_EQ(Count(debug, "[FUNC] -NRV_Init()\r\n"), 1);
  EXPECT_EQ(Count(debug, "THREAD EXIT...\r\n"), 1);
  EXPECT_EQ(Count(debug, "Tarsel Mouse Found.\r\n"), 1);
}

}  // namespace
