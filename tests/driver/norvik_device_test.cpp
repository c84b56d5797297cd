// The driver end to end: the real devmgr loads libnorvik.so from the default installation of its
// key, with a pseudo-terminal as "COM1:", and clients reach it as "NRV1:" from this process and
// through nrvctl.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include <windows.h>

#include "norvik_device.h"
#include "norvik_host.h"
#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::DefaultInstallation;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{20000};

// Replaces (or, with an empty text, removes) one value line of the driver's key.
std::string WithValue(std::string hive, const std::string &name, const std::string &text) {
  const std::string prefix = "\"" + name + "\"=";
  size_t at = hive.find(prefix);
  if (at != std::string::npos) hive.erase(at, hive.find('\n', at) + 1 - at);
  if (!text.empty()) {
    size_t keyEnd = hive.find('\n', hive.find("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]")) + 1;
    hive.insert(keyEnd, prefix + text + "\n");
  }
  return hive;
}

class NorvikDevice : public ::testing::Test {
 protected:
  // Starts devmgr on the hive and waits until NRV1: is published.
  void Start(const std::string &hive, const std::map<std::string, std::optional<std::string>> &environment = {}) {
    root.WriteHive(hive.substr(hive.find('\n') + 1) + "\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"" +
                   pty.slavePath() + "\"\n");
    devmgr = std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/devmgr", std::vector<std::string>{"--root", root.path()},
                                            environment);
    ASSERT_TRUE(devmgr->WaitForLine(Stream::kStdout, "NRV1: published", kBound)) << devmgr->Output(Stream::kStderr);
  }

  // Runs nrvctl to its end; its standard output, with the exit status in `status`.
  std::string Nrvctl(const std::vector<std::string> &arguments, int *status = nullptr) {
    ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", arguments);
    auto exit = nrvctl.WaitForExit(kBound);
    EXPECT_TRUE(exit);
    if (status != nullptr) *status = exit ? exit->code : -1;
    lastStderr = nrvctl.Output(Stream::kStderr);
    return nrvctl.Output(Stream::kStdout);
  }

  bool StderrHas(const std::string &text) {
    return devmgr->WaitForLine(Stream::kStderr, text, kBound).has_value();
  }

  bool PortIsFree() {
    HANDLE port = CreateFileW(TEXT("COM1:"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    CloseHandle(port);
    return true;
  }

  void TearDown() override {
    if (!devmgr) return;
    devmgr->Signal(SIGTERM);
    auto exit = devmgr->WaitForExit(kBound);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
  }

  testing_support::TempDeviceRoot root;
  testing_support::PseudoTerminal pty;
  std::unique_ptr<ChildProcess> devmgr;
  std::string lastStderr;
};

TEST_F(NorvikDevice, DefaultInstallationFindsTheControllerPort) {
  Start(DefaultInstallation());
  EXPECT_TRUE(StderrHas("Tarsel Mouse Found."));
  EXPECT_FALSE(PortIsFree());
  EXPECT_EQ(Nrvctl({"port"}), "COM1:\n");
  EXPECT_EQ(Nrvctl({"settings"}),
            "LLX=0\nLLY=0\nURX=0\nURY=0\nBaudRate=9600\nMouseMod=0x00000000\nXInplace=5000\nYInplace=5000\n"
            "SelDelay=10\nCliDelay=10\nTouSound=0\nFilter=off\nLongPress=0\nWakeGuard=0\n");
  // Deinit stops the read thread before devmgr ends. The thread's last line comes after the exit
  // event that Deinit waits for, so the process may end before printing it: the stop test below
  // and the lifecycle tests check that line where nothing ends the process.
  devmgr->Signal(SIGTERM);
  auto exit = devmgr->WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0) << devmgr->Output(Stream::kStderr);
  devmgr.reset();
  EXPECT_TRUE(PortIsFree());
}

// Each way the port can be unusable still publishes the device, and says why.
struct Unusable {
  const char *name;
  const char *value;
  const char *text;  // empty: the value is removed
  const char *reason;
};

class NorvikDeviceUnusablePort : public NorvikDevice, public ::testing::WithParamInterface<Unusable> {};

TEST_P(NorvikDeviceUnusablePort, IsNotFoundAndTheDeviceStillAnswers) {
  Start(WithValue(DefaultInstallation(), GetParam().value, GetParam().text));
  EXPECT_TRUE(StderrHas(GetParam().reason));
  EXPECT_TRUE(StderrHas("Tarsel Mouse  NOT Found."));
  EXPECT_TRUE(PortIsFree()) << "the driver must not keep a port it cannot use";
  int status = -1;
  Nrvctl({"count"}, &status);
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NorvikDeviceUnusablePort,
    ::testing::Values(Unusable{"NoComm", "COMM", "", "Norvik : Fail to open . Error 2"},
                      Unusable{"SixCharacterName", "COMM", "\"COM10:\"", "Norvik : Fail to open . Error 2"},
                      Unusable{"UnknownPort", "COMM", "\"COM8:\"", "Norvik : Fail to open COM8:. Error 2"},
                      Unusable{"RefusedLineRate", "BaudRate", "dword:00003039", "SerMouse : SetCommState error 87"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(NorvikDevice, RefusedTimeOutsAreReportedAndTheStopFreesThePort) {
  Start(DefaultInstallation(), {{"PLATFORM_FAULTS", "SetCommTimeouts@COM1:=31"}});
  EXPECT_TRUE(StderrHas("SetCommTimeouts error 31"));
  EXPECT_TRUE(StderrHas("Tarsel Mouse  NOT Found."));
  EXPECT_FALSE(PortIsFree()) << "an unconfigured port stays open until the next stop";
  Nrvctl({"stop"});
  EXPECT_TRUE(PortIsFree());
}

TEST_F(NorvikDevice, OneHandleAtATime) {
  Start(DefaultInstallation());
  HANDLE first = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE second = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  int status = 0;
  Nrvctl({"count"}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(lastStderr.find("CreateFileW(NRV1:) failed"), std::string::npos) << lastStderr;
  ASSERT_TRUE(CloseHandle(first));
  HANDLE again = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(NorvikDevice, ControlCodesThroughTheDeviceManager) {
  Start(DefaultInstallation());
  HANDLE device = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  for (DWORD code : {0x80000408u, 0x80000414u, 0x80000418u, 0x8000041Cu, 0x80000420u})
    EXPECT_TRUE(DeviceIoControl(device, code, nullptr, 0, nullptr, 0, nullptr, nullptr)) << std::hex << code;
  EXPECT_FALSE(DeviceIoControl(device, 0x8000044Cu, nullptr, 0, nullptr, 0, nullptr, nullptr));

  DWORD settings[12];
  std::fill(std::begin(settings), std::end(settings), 0x5A5A5A5Au);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_NRV_GET_SETTINGS, nullptr, 0, settings, sizeof settings, &returned, nullptr));
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(settings[0], 0x5A5A5A5Au) << "word 0 of the caller's buffer is left as it was";
  EXPECT_EQ(settings[5], 9600u);

  DWORD value = 0;
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_NRV_GET_FIXED_VALUE, nullptr, 0, &value, sizeof value, &returned, nullptr));
  EXPECT_EQ(value, 12u);

  DWORD count = 1234;
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(device, IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, 3, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(count, 1234u);
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(device, IOCTL_NRV_SET_SETTINGS, settings, 47, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_NRV_RESET_REPORT_COUNT, nullptr, 0, nullptr, 0, nullptr, nullptr));
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count, nullptr, nullptr));
  EXPECT_EQ(count, 0u);
  CloseHandle(device);
}

TEST_F(NorvikDevice, SettingsWrittenReachTheHiveAndAreReloadedFromIt) {
  Start(DefaultInstallation());
  int status = -1;
  Nrvctl({"set", "TouSound=2", "MouseMod=0x80000001", "LLX=-3"}, &status);
  ASSERT_EQ(status, 0) << lastStderr;
  std::string hive = root.ReadHive();
  EXPECT_NE(hive.find("\"TouSound\"=dword:00000002"), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"MouseMod\"=dword:80000001"), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"LLX\"=dword:fffffffd"), std::string::npos) << hive;
  EXPECT_NE(Nrvctl({"settings"}).find("LLX=-3\n"), std::string::npos);

  // A change made in the registry directly is what the next settings read returns.
  size_t at = hive.find("\"SelDelay\"=dword:0000000a");
  ASSERT_NE(at, std::string::npos);
  hive.replace(at, 25, "\"SelDelay\"=dword:00000003");
  testing_support::WriteFile(root.registryPath(), hive);
  EXPECT_NE(Nrvctl({"settings"}).find("SelDelay=3\n"), std::string::npos);

  Nrvctl({"set", "Bogus=1"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(lastStderr.find("unknown setting 'Bogus'"), std::string::npos) << lastStderr;

  // A rate the controller does not send at would leave the driver without touches: nothing is stored.
  Nrvctl({"set", "TouSound=1", "BaudRate=14400"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(lastStderr.find("BaudRate 14400 is not a rate the controller sends at"), std::string::npos) << lastStderr;
  EXPECT_NE(lastStderr.find("4800, 9600, 19200"), std::string::npos) << lastStderr;
  EXPECT_NE(root.ReadHive().find("\"TouSound\"=dword:00000002"), std::string::npos) << "a refused set stored";
}

TEST_F(NorvikDevice, FilterAndLongPressAreCheckedStoredInTheHiveAndTakenAtTheNextStart) {
  Start(DefaultInstallation());
  int status = -1;
  // A bad Filter is refused before anything, the settings words with it included, is stored.
  Nrvctl({"set", "TouSound=2", "Filter=smooth,noise=900"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(lastStderr.find("nrvctl: 'smooth,noise=900' is not a Filter value (noise is out of range): use off, "
                            "smooth or smooth,noise=N with N from 1 to 256; nothing was stored"),
            std::string::npos)
      << lastStderr;
  EXPECT_EQ(root.ReadHive().find("Filter"), std::string::npos);
  EXPECT_EQ(root.ReadHive().find("\"TouSound\"=dword:00000002"), std::string::npos);
  Nrvctl({"set", "LongPress=5001"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(lastStderr.find("nrvctl: '5001' is not a LongPress value (more than 5000 ms): use 0 (off) to 5000 "
                            "milliseconds; nothing was stored"),
            std::string::npos)
      << lastStderr;

  Nrvctl({"set", "WakeGuard=86401"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(lastStderr.find("nrvctl: '86401' is not a WakeGuard value (more than a day): use 0 (off) to 86400 seconds; "
                            "nothing was stored"),
            std::string::npos)
      << lastStderr;
  Nrvctl({"set", "wakeguard=30"}, &status);
  EXPECT_EQ(status, 0) << lastStderr;
  EXPECT_NE(root.ReadHive().find("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"WakeGuard\"=dword:0000001e"),
            std::string::npos)
      << root.ReadHive();

  const std::string said = Nrvctl({"set", "Filter=smooth", "TouSound=2", "longpress=600"}, &status);
  ASSERT_EQ(status, 0) << lastStderr;
  EXPECT_NE(said.find("the driver takes it at its next start"), std::string::npos) << said;
  std::string hive = root.ReadHive();
  EXPECT_NE(hive.find("\"Filter\"=\"smooth\""), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"TouSound\"=dword:00000002"), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"LongPress\"=dword:00000258"), std::string::npos) << hive;
  EXPECT_NE(Nrvctl({"settings"}).find("TouSound=2\nFilter=smooth\nLongPress=600\nWakeGuard=30\n"), std::string::npos);

  // Values refused, put in the hive by hand, are one line each at the start, and neither is used.
  const size_t at = hive.find("\"Filter\"=\"smooth\"");
  hive.replace(at, 17, "\"Filter\"=\"blur\"");
  hive.replace(hive.find("\"LongPress\"=dword:00000258"), 26, "\"LongPress\"=dword:00002328");
  testing_support::WriteFile(root.registryPath(), hive);
  Nrvctl({"start"}, &status);
  EXPECT_TRUE(StderrHas("Filter value \"blur\" ignored (unknown filter): the touch filter is off; set it to off, "
                        "smooth or smooth,noise=N with N from 1 to 256, e.g. nrvctl set Filter=smooth, and restart "
                        "the driver"))
      << devmgr->Output(Stream::kStderr);
  EXPECT_TRUE(StderrHas("LongPress value ignored (more than 5000 ms): the long press is off; set it to 0 to 5000 ms, "
                        "e.g. nrvctl set LongPress=600, and restart the driver"));
  EXPECT_TRUE(StderrHas("Tarsel Mouse Found."));
}

TEST_F(NorvikDevice, StopFreesThePortAndStartTakesItAgain) {
  Start(DefaultInstallation());
  ASSERT_TRUE(StderrHas("Tarsel Mouse Found."));
  Nrvctl({"stop"});
  EXPECT_TRUE(StderrHas("ReadThread Stop."));
  EXPECT_TRUE(PortIsFree());
  Nrvctl({"start"});
  EXPECT_FALSE(PortIsFree());
  // The driver's line reaches this process through devmgr's standard error, maybe after nrvctl ended.
  int found = 0;
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] {
        found = 0;
        for (const std::string &line : devmgr->Lines(Stream::kStderr)) found += line == "Tarsel Mouse Found.\r";
        return found == 2;
      },
      kBound))
      << found << " starts found the port";
}

// The usage needs no device: it prints without a device root and ends with status 0.
TEST(NrvctlUsage, HelpPrintsTheUsageWithoutADeviceRoot) {
  for (const char *flag : {"--help", "-h"}) {
    ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", {flag}, {{"DEVICE_ROOT", std::nullopt}});
    auto exit = nrvctl.WaitForExit(kBound);
    ASSERT_TRUE(exit) << flag;
    EXPECT_EQ(exit->code, 0) << flag;
    EXPECT_EQ(nrvctl.Output(Stream::kStdout).rfind("usage: nrvctl [--root DIR] COMMAND\n", 0), 0u) << flag;
    EXPECT_EQ(nrvctl.Output(Stream::kStderr), "") << flag;
  }
}

}  // namespace
