// The stream entry points and the control codes, called as the device manager calls them.
#include "stream_interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "driver_fixture.h"
#include "norvik_device.h"
#include "settings_store.h"

namespace {

using StreamInterface = DriverFixture;

BOOL Control(DWORD code, void *in, DWORD inLength, void *out, DWORD outLength, DWORD *returned) {
  return NRV_IOControl(1, code, static_cast<PBYTE>(in), inLength, static_cast<PBYTE>(out), outLength, returned);
}

TEST_F(StreamInterface, OneHandleAtATime) {
  EXPECT_EQ(NRV_Open(1, GENERIC_READ | GENERIC_WRITE, 0), 1u);
  EXPECT_EQ(NRV_Open(1, 0, 0), 0u);
  EXPECT_TRUE(NRV_Close(1));
  EXPECT_EQ(NRV_Open(1, 0, 0), 1u);
  EXPECT_TRUE(NRV_Close(12345));  // any open context clears the flag
  EXPECT_EQ(NRV_Open(1, 0, 0), 1u);
}

TEST_F(StreamInterface, RacingOpensLetExactlyOneWin) {
  constexpr int kThreads = 16;
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> winners{0};
    // No thread opens before all of them are waiting at the gate, so all sixteen really race.
    std::latch gate(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&] {
        gate.arrive_and_wait();
        if (NRV_Open(1, 0, 0) == 1) ++winners;
      });
    for (auto &thread : threads) thread.join();
    ASSERT_EQ(winners, 1) << "round " << round;
    NRV_Close(1);
  }
}

TEST_F(StreamInterface, DataEntryPointsDoNothing) {
  char buffer[8] = {1, 2, 3};
  EXPECT_EQ(NRV_Read(1, buffer, sizeof buffer), 0u);
  EXPECT_EQ(NRV_Write(1, buffer, sizeof buffer), 0u);
  EXPECT_EQ(NRV_Seek(1, 10, 0), static_cast<DWORD>(-1));
  NRV_PowerUp(1);
  NRV_PowerDown(1);
  EXPECT_EQ(buffer[0], 1);
}

TEST_F(StreamInterface, ReservedCodesSucceedAndUnknownCodesFail) {
  for (DWORD code : {0x80000408u, 0x80000414u, 0x80000418u, 0x8000041Cu, 0x80000420u})
    EXPECT_TRUE(Control(code, nullptr, 0, nullptr, 0, nullptr)) << std::hex << code;
  for (DWORD code : {0u, 0x8000042Cu, 0x80000428u, 0x8000044Cu, 0x80000401u, 0x00000400u, 0xFFFFFFFFu})
    EXPECT_FALSE(Control(code, nullptr, 0, nullptr, 0, nullptr)) << std::hex << code;
}

TEST_F(StreamInterface, GetSettingsReloadsTheRegistryAndLeavesWordZero) {
  WriteRegistry({{"MouseMod", "dword:80000001"}});
  driverState.settings.MouseMod = 2;
  DWORD out[12];
  std::fill(std::begin(out), std::end(out), 0xAAAAAAAAu);
  DWORD returned = 0;
  ASSERT_TRUE(Control(IOCTL_NRV_GET_SETTINGS, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(out[0], 0xAAAAAAAAu);
  EXPECT_EQ(out[5], 9600u);
  EXPECT_EQ(out[6], 0x80000001u);
  EXPECT_EQ(out[7], 5000u);
  EXPECT_EQ(out[9], 10u);
  EXPECT_EQ(driverState.settings.MouseMod, 0x80000001u);
  ASSERT_TRUE(Control(IOCTL_NRV_GET_SETTINGS, nullptr, 0, out, sizeof out, nullptr));
}

TEST_F(StreamInterface, SetSettingsStoresWordsOneToElevenAndSavesThem) {
  WriteRegistry();
  DWORD in[12] = {0xDEADBEEF, 1, 2, 3, 4, 19200, 2, 2500, 2600, 5, 6, 2};
  ASSERT_TRUE(Control(IOCTL_NRV_SET_SETTINGS, in, sizeof in, nullptr, 0, nullptr));
  DriverSettings live = driverState.settings.Copy();
  EXPECT_EQ(live.reserved, 0u);
  EXPECT_EQ(live.URY, 4);
  EXPECT_EQ(live.TouSound, 2u);
  std::string hive = root.ReadHive();
  EXPECT_NE(hive.find("\"BaudRate\"=dword:00004b00"), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"XInplace\"=dword:000009c4"), std::string::npos) << hive;
  EXPECT_EQ(hive.find("deadbeef"), std::string::npos) << hive;
  // And back through a reload.
  DWORD out[12] = {};
  ASSERT_TRUE(Control(IOCTL_NRV_GET_SETTINGS, nullptr, 0, out, sizeof out, nullptr));
  EXPECT_EQ(std::vector<DWORD>(out + 1, out + 12), std::vector<DWORD>(in + 1, in + 12));
}

TEST_F(StreamInterface, PortNameAndFixedValue) {
  WriteRegistry();
  LoadDriverSettings();
  WCHAR name[8];
  std::fill(std::begin(name), std::end(name), u'#');
  DWORD returned = 0;
  ASSERT_TRUE(Control(IOCTL_NRV_GET_PORT_NAME, nullptr, 0, name, sizeof name, &returned));
  EXPECT_EQ(returned, 12u);
  EXPECT_EQ(std::u16string(name, 6), std::u16string(u"COM1:\0", 6));
  EXPECT_EQ(name[6], u'#');
  DWORD value = 0;
  ASSERT_TRUE(Control(IOCTL_NRV_GET_FIXED_VALUE, nullptr, 0, &value, sizeof value, &returned));
  EXPECT_EQ(value, 12u);
  EXPECT_EQ(returned, 4u);
}

TEST_F(StreamInterface, ReportCounterReadsAndClears) {
  driverState.reportCount = 41;
  DWORD count = 0;
  DWORD returned = 777;
  ASSERT_TRUE(Control(IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count, &returned));
  EXPECT_EQ(count, 41u);
  EXPECT_EQ(returned, 777u) << "the read does not report a byte count";
  ASSERT_TRUE(Control(IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count, &returned));
  EXPECT_EQ(count, 0u);
  driverState.reportCount = 9;
  ASSERT_TRUE(Control(IOCTL_NRV_RESET_REPORT_COUNT, nullptr, 0, nullptr, 0, nullptr));
  ASSERT_TRUE(Control(IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count, nullptr));
  EXPECT_EQ(count, 0u);
}

// Every code that needs a buffer refuses a null or short one, copies nothing and fails with
// ERROR_INVALID_PARAMETER.
struct BufferRule {
  DWORD code;
  bool input;
  DWORD needed;
};

class StreamInterfaceBuffers : public DriverFixture, public ::testing::WithParamInterface<BufferRule> {};

TEST_P(StreamInterfaceBuffers, NullOrShortBuffersAreRefused) {
  WriteRegistry();
  const BufferRule rule = GetParam();
  driverState.reportCount = 5;
  DriverSettings before = driverState.settings.Copy();
  BYTE buffer[64];
  for (DWORD length : {DWORD{0}, rule.needed - 1, rule.needed}) {
    for (bool null : {true, false}) {
      if (!null && length == rule.needed) continue;
      std::fill(std::begin(buffer), std::end(buffer), 0xCC);
      DWORD returned = 99;
      SetLastError(0);
      BYTE *pointer = null ? nullptr : buffer;
      BOOL ok = rule.input ? Control(rule.code, pointer, length, nullptr, 0, &returned)
                           : Control(rule.code, nullptr, 0, pointer, length, &returned);
      EXPECT_FALSE(ok) << "length " << length << (null ? " null" : "");
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      EXPECT_EQ(returned, 99u);
      EXPECT_EQ(buffer[0], 0xCC);
      EXPECT_EQ(buffer[rule.needed - 1], 0xCC);
    }
  }
  EXPECT_EQ(driverState.reportCount, 5u) << "no report may be lost to a refused read";
  DriverSettings after = driverState.settings.Copy();
  if (rule.input) {
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(EachCode, StreamInterfaceBuffers,
                         ::testing::Values(BufferRule{IOCTL_NRV_SET_SETTINGS, true, 48},
                                           BufferRule{IOCTL_NRV_GET_SETTINGS, false, 48},
                                           BufferRule{IOCTL_NRV_GET_PORT_NAME, false, 12},
                                           BufferRule{IOCTL_NRV_GET_FIXED_VALUE, false, 4},
                                           BufferRule{IOCTL_NRV_READ_REPORT_COUNT, false, 4}),
                         [](const auto &info) {
                           switch (info.param.code) {
                             case IOCTL_NRV_SET_SETTINGS: return std::string("SetSettings");
                             case IOCTL_NRV_GET_SETTINGS: return std::string("GetSettings");
                             case IOCTL_NRV_GET_PORT_NAME: return std::string("GetPortName");
                             case IOCTL_NRV_GET_FIXED_VALUE: return std::string("GetFixedValue");
                             default: return std::string("ReadReportCount");
                           }
                         });

TEST_F(StreamInterface, StopAndStartCodesRunTheLifecycle) {
  WriteRegistry();
  ASSERT_TRUE(Control(IOCTL_NRV_START, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_NE(driverState.portHandle, nullptr);
  ASSERT_TRUE(Control(IOCTL_NRV_STOP, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(driverState.portHandle, nullptr);
  WriteRegistry({{"COMM", ""}});
  EXPECT_TRUE(Control(IOCTL_NRV_START, nullptr, 0, nullptr, 0, nullptr)) << "the start's own result is not passed on";
}

}  // namespace
