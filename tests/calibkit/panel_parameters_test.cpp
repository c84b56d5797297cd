// The panel-parameter calls of libcalibkit.so against the real driver in devmgr: through "NRV1:"
// when it is published, tried again while another client holds it, never falling back to the
// registry when the device is busy or fails, and through the driver's key when it is not loaded.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "calibkit.h"
#include "debug_capture.h"
#include "norvik_device.h"
#include "norvik_host.h"
#include "platform/faults.h"

namespace {

using testing_support::DebugCapture;
using testing_support::NorvikHost;

constexpr std::chrono::milliseconds kBound{20000};

bool Logged(const DebugCapture &capture, const std::string &text) {
  for (const std::string &message : capture.messages)
    if (message.find(text) != std::string::npos) return true;
  return false;
}

bool HiveHas(const testing_support::TempDeviceRoot &root, const std::string &line) {
  return root.ReadHive().find(line) != std::string::npos;
}

// The settings of config/norvik.reg, as the record carries them.
void ExpectDefaultInstallation(const tagParameter &record) {
  EXPECT_EQ(record.BaudRate, 9600u);
  EXPECT_EQ(record.MouseMod, 0u);
  EXPECT_EQ(record.XInplace, 5000);
  EXPECT_EQ(record.YInplace, 5000);
  EXPECT_EQ(record.SelDelay, 10u);
  EXPECT_EQ(record.CliDelay, 10u);
  EXPECT_EQ(record.TouSound, 0u);
  EXPECT_EQ(record.LLX, 0);
  EXPECT_EQ(record.URY, 0);
}

class PanelParameters : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  testing_support::TempDeviceRoot root;
  testing_support::PseudoTerminal line;
};

TEST_F(PanelParameters, ThroughTheDeviceTheRecordIsLiveAndStored) {
  NorvikHost host(root, line);
  ASSERT_TRUE(host.Running()) << host.devmgr().Output(testing_support::Stream::kStderr);
  tagParameter record{};
  record.reserved = 0xA5A5A5A5;
  ASSERT_EQ(GetDevicePanelParameter(&record), 1);
  ExpectDefaultInstallation(record);
  EXPECT_EQ(record.reserved, 0xA5A5A5A5u) << "word 0 is the caller's";

  record.MouseMod = 0x80000002;
  record.XInplace = record.YInplace = 7500;
  ASSERT_EQ(SetDevicePanelParameter(&record), 1);
  EXPECT_TRUE(HiveHas(root, "\"MouseMod\"=dword:80000002")) << root.ReadHive();
  EXPECT_TRUE(HiveHas(root, "\"XInplace\"=dword:00001d4c")) << root.ReadHive();
  tagParameter again{};
  ASSERT_EQ(GetDevicePanelParameter(&again), 1);
  EXPECT_EQ(again.MouseMod, 0x80000002u);
  EXPECT_EQ(again.YInplace, 7500);
}

// A device that another client holds for a moment is tried again; one that stays busy fails
// after the bound, and neither reaches for the registry.
TEST_F(PanelParameters, ABusyDeviceIsTriedAgainAndNeverFallsBackToTheKey) {
  NorvikHost host(root, line);
  ASSERT_TRUE(host.Running());
  {
    // The first three opens find the device busy, as the driver's own refusal looks.
    platform::InjectFault("CreateFileW", "NRV1:", ERROR_OPEN_FAILED, 3);
    tagParameter record{};
    ASSERT_EQ(GetDevicePanelParameter(&record), 1);
    record.TouSound = 2;
    platform::InjectFault("CreateFileW", "NRV1:", ERROR_OPEN_FAILED, 3);
    EXPECT_EQ(SetDevicePanelParameter(&record), 1);
    EXPECT_TRUE(HiveHas(root, "\"TouSound\"=dword:00000002"));
  }
  {
    HANDLE holder = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    DebugCapture capture;
    tagParameter record{};
    record.TouSound = 7;
    EXPECT_EQ(GetDevicePanelParameter(&record), 0);
    EXPECT_EQ(record.TouSound, 7u) << "a failed read changed the record";
    EXPECT_EQ(SetDevicePanelParameter(&record), 0);
    EXPECT_TRUE(HiveHas(root, "\"TouSound\"=dword:00000002")) << "a busy device fell back to the key";
    EXPECT_TRUE(Logged(capture, "GetDevicePanelParameter: NRV1: stayed busy for 1000 ms")) << capture.messages.size();
    EXPECT_TRUE(Logged(capture, "SetDevicePanelParameter: NRV1: stayed busy for 1000 ms"));
    CloseHandle(holder);
  }
  {
    DebugCapture capture;
    platform::InjectFault("DeviceIoControl", "NRV1:", ERROR_GEN_FAILURE);
    tagParameter record{};
    record.TouSound = 1;
    EXPECT_EQ(SetDevicePanelParameter(&record), 0);
    EXPECT_TRUE(HiveHas(root, "\"TouSound\"=dword:00000002")) << "a failing device fell back to the key";
    EXPECT_TRUE(Logged(capture, "SetDevicePanelParameter: IOCTL_NRV_SET_SETTINGS on NRV1: failed with error 31"));
  }
}

// A measurement tick and command-line calls take the device's one handle over and over while the
// user changes a setting: every change is stored all the same.
TEST_F(PanelParameters, ChangesAreNotLostToOtherClientsOfTheDevice) {
  NorvikHost host(root, line);
  ASSERT_TRUE(host.Running());
  std::atomic<bool> done{false};
  std::atomic<int> busyOpens{0};
  std::thread other([&] {
    while (!done) {
      HANDLE device = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (device == INVALID_HANDLE_VALUE) continue;
      DWORD count = 0;
      DeviceIoControl(device, IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count, nullptr, nullptr);
      CloseHandle(device);
      ++busyOpens;
    }
  });
  for (DWORD value = 1; value <= 40; ++value) {
    tagParameter record{};
    ASSERT_EQ(GetDevicePanelParameter(&record), 1) << value;
    record.SelDelay = record.CliDelay = value;
    ASSERT_EQ(SetDevicePanelParameter(&record), 1) << value;
    tagParameter stored{};
    ASSERT_EQ(GetDevicePanelParameter(&stored), 1) << value;
    ASSERT_EQ(stored.SelDelay, value);
  }
  done = true;
  other.join();
  EXPECT_GT(busyOpens.load(), 0) << "the other client never had the device";
}

// Without the driver the same words come from and go to its key, and the driver starts with them.
TEST_F(PanelParameters, WithoutTheDriverTheKeyIsReadAndWritten) {
  root.WriteHive(testing_support::DefaultDevice(line.slavePath()));
  tagParameter record{};
  ASSERT_EQ(GetDevicePanelParameter(&record), 1);
  ExpectDefaultInstallation(record);
  record.MouseMod = 1;
  record.SelDelay = record.CliDelay = 30;
  ASSERT_EQ(SetDevicePanelParameter(&record), 1);
  EXPECT_TRUE(HiveHas(root, "\"MouseMod\"=dword:00000001"));
  EXPECT_TRUE(HiveHas(root, "\"CliDelay\"=dword:0000001e"));
  EXPECT_TRUE(HiveHas(root, "\"COMM\"=\"COM1:\"")) << "the port name is the installer's, never written";

  NorvikHost host(root);
  ASSERT_TRUE(host.Running());
  tagParameter live{};
  ASSERT_EQ(GetDevicePanelParameter(&live), 1);
  EXPECT_EQ(live.MouseMod, 1u);
  EXPECT_EQ(live.SelDelay, 30u);
}

// A value of another type reads as a missing one does: the string "2" is not the word 0x32.
TEST_F(PanelParameters, WithoutTheDriverAValueOfAnotherTypeReadsAsMissing) {
  std::string hive = testing_support::DefaultDevice(line.slavePath());
  const std::string installed = "\"TouSound\"=dword:00000000";
  hive.replace(hive.find(installed), installed.size(), "\"TouSound\"=\"2\"");
  root.WriteHive(hive);
  tagParameter record{};
  record.TouSound = 7;
  ASSERT_EQ(GetDevicePanelParameter(&record), 1);
  EXPECT_EQ(record.TouSound, 0u);
  EXPECT_EQ(record.BaudRate, 9600u) << "the other words are read as usual";
}

TEST_F(PanelParameters, WithoutTheDriverOrItsKeyNothingIsReadOrStored) {
  root.WriteHive("");
  DebugCapture capture;
  tagParameter record{};
  record.MouseMod = 2;
  EXPECT_EQ(GetDevicePanelParameter(&record), 0);
  EXPECT_EQ(record.MouseMod, 2u);
  EXPECT_EQ(SetDevicePanelParameter(&record), 0);
  EXPECT_EQ(root.ReadHive().find("Norvik"), std::string::npos) << "the key was created";
  EXPECT_TRUE(Logged(capture, "GetDevicePanelParameter: NRV1: is not published and the driver's key "
                              "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik cannot be opened (error 2)"));
  EXPECT_TRUE(Logged(capture, "SetDevicePanelParameter: NRV1: is not published"));
  EXPECT_EQ(GetDevicePanelParameter(nullptr), 0);
  EXPECT_EQ(SetDevicePanelParameter(nullptr), 0);
}

}  // namespace
