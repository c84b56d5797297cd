// Controller detection: the port opens and takes its line format, time-outs and event mask, or
// the start reports why not and leaves the port as documented.
#include "serial_link.h"

#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace {

using SerialLink = DriverFixture;

TEST_F(SerialLink, UsablePortIsFoundAndConfigured) {
  WriteRegistry({{"BaudRate", "dword:00004b00"}});
  ASSERT_TRUE(DetectSerialPort());
  ASSERT_NE(driverState.portHandle, nullptr);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(driverState.portHandle, &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(driverState.portHandle, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 5u);
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(driverState.portHandle, &mask));
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(SerialLink, OnlyTheFourLineFieldsOfTheReportedStateChange) {
  WriteRegistry();
  HANDLE port = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB reported{};
  ASSERT_TRUE(GetCommState(port, &reported));
  CloseHandle(port);
  ASSERT_TRUE(DetectSerialPort());
  DCB after{};
  ASSERT_TRUE(GetCommState(driverState.portHandle, &after));
  after.BaudRate = reported.BaudRate;
  after.ByteSize = reported.ByteSize;
  after.Parity = reported.Parity;
  after.StopBits = reported.StopBits;
  EXPECT_EQ(std::memcmp(&after, &reported, sizeof after), 0);
}

TEST_F(SerialLink, OpenFailureNamesThePortAndTheError) {
  WriteRegistry({{"COMM", "\"COM7:\""}});
  std::string hive = root.ReadHive();
  hive.insert(hive.find("\"COM1:\"="), "\"COM7:\"=\"/nonexistent/tty\"\n");
  testing_support::WriteFile(root.registryPath(), hive);
  EXPECT_FALSE(DetectSerialPort());
  EXPECT_EQ(driverState.portHandle, nullptr);
  EXPECT_TRUE(DebugHas("Norvik : Fail to open COM7:. Error 2\r\n"));
}

TEST_F(SerialLink, WithoutCommTheOpenFailsWithAnEmptyName) {
  WriteRegistry({{"COMM", ""}});
  EXPECT_FALSE(DetectSerialPort());
  EXPECT_EQ(driverState.portHandle, nullptr);
  EXPECT_TRUE(DebugHas("Norvik : Fail to open . Error 2\r\n"));
}

TEST_F(SerialLink, PortHeldElsewhereFailsWithAccessDenied) {
  WriteRegistry();
  HANDLE other = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DetectSerialPort());
  EXPECT_TRUE(DebugHas("Norvik : Fail to open COM1:. Error 5\r\n"));
  CloseHandle(other);
}

TEST_F(SerialLink, RefusedLineFormatClosesThePortAgain) {
  WriteRegistry({{"BaudRate", "dword:00003039"}});  // 12345: no tty can do it
  EXPECT_FALSE(DetectSerialPort());
  EXPECT_EQ(driverState.portHandle, nullptr);
  EXPECT_TRUE(DebugHas("SerMouse : SetCommState error 87\r\n"));
  HANDLE again = CreateFileW(TEXT("COM1:"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the refused port must have been closed";
  CloseHandle(again);
}

TEST_F(SerialLink, GetCommStateFailureClosesThePort) {
  WriteRegistry();
  platform::InjectFault("GetCommState", "COM1:", ERROR_GEN_FAILURE);
  EXPECT_FALSE(DetectSerialPort());
  EXPECT_EQ(driverState.portHandle, nullptr);
  EXPECT_TRUE(DebugHas("SerMouse : GetCommState error 31\r\n"));
}

// Failures while setting the time-outs or the mask leave the port open for the stop to close.
struct ConfigurationFailure {
  const char *call;
  const char *message;
};

class SerialLinkConfiguration : public DriverFixture, public ::testing::WithParamInterface<ConfigurationFailure> {};

TEST_P(SerialLinkConfiguration, FailureLeavesThePortOpenAndSaysWhy) {
  WriteRegistry();
  platform::InjectFault(GetParam().call, "COM1:", ERROR_GEN_FAILURE);
  EXPECT_FALSE(DetectSerialPort());
  EXPECT_NE(driverState.portHandle, nullptr);
  EXPECT_TRUE(DebugHas(GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(EachCall, SerialLinkConfiguration,
                         ::testing::Values(ConfigurationFailure{"GetCommTimeouts", "GetCommTimeouts error 31\r\n"},
                                           ConfigurationFailure{"SetCommTimeouts", "SetCommTimeouts error 31\r\n"},
                                           ConfigurationFailure{"SetCommMask", "Error from SetCommMask  31\r\n"}),
                         [](const auto &info) { return std::string(info.param.call); });

TEST_F(SerialLink, TimeOutFailuresPrintWhateverTheZoneMask) {
  WriteRegistry();
  ULONG mask = dpCurSettings.ulZoneMask;
  dpCurSettings.ulZoneMask = 0;
  platform::InjectFault("SetCommTimeouts", "COM1:", ERROR_GEN_FAILURE);
  EXPECT_FALSE(DetectSerialPort());
  platform::ClearFaults();
  platform::InjectFault("SetCommMask", "COM1:", ERROR_GEN_FAILURE);
  CloseHandle(driverState.portHandle);
  driverState.portHandle = nullptr;
  EXPECT_FALSE(DetectSerialPort());
  dpCurSettings.ulZoneMask = mask;
  EXPECT_TRUE(DebugHas("SetCommTimeouts error 31\r\n"));
  EXPECT_FALSE(DebugHas("Error from SetCommMask  31\r\n"));
}

TEST_F(SerialLink, ProgressAndTracesFollowTheirZones) {
  WriteRegistry();
  ULONG mask = dpCurSettings.ulZoneMask;
  dpCurSettings.ulZoneMask = 0x3000;
  EXPECT_TRUE(DetectSerialPort());
  dpCurSettings.ulZoneMask = mask;
  // The serial port's own notes (a pseudo-terminal has no low-latency setting) are the platform's.
  std::vector<std::string> driverLines;
  for (const std::string &line : Debug())
    if (line.rfind("serial: ", 0) != 0) driverLines.push_back(line);
  EXPECT_EQ(driverLines, (std::vector<std::string>{"[FUNC] +DetectSerialPort()\r\n", "SerMouse : GetCommState okay.\r\n",
                                                   "SerMouse : SetCommState okay.\r\n", "[FUNC] +InitSerialPort()\r\n"}));
}

}  // namespace
