// The settings store: what a load takes from the registry key, what it leaves alone, and what a
// save writes.
#include "settings_store.h"

#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace {

using SettingsStore = DriverFixture;

std::u16string PortName() { return std::u16string(driverState.portName, platform::WideLength(driverState.portName)); }

TEST_F(SettingsStore, LoadTakesEveryValueIntoItsWord) {
  WriteRegistry({{"MouseMod", "dword:80000002"}, {"TouSound", "dword:00000002"}, {"LLX", "dword:ffffffff"},
                 {"LLY", "dword:00000100"}, {"URX", "dword:00000700"}, {"URY", "dword:000007ff"},
                 {"SelDelay", "dword:00000003"}, {"CliDelay", "dword:00000004"}});
  DriverSettings settings = LoadDriverSettings();
  EXPECT_EQ(settings.reserved, 0u);
  EXPECT_EQ(settings.BaudRate, 9600u);
  EXPECT_EQ(settings.MouseMod, 0x80000002u);
  EXPECT_EQ(settings.XInplace, 5000);
  EXPECT_EQ(settings.YInplace, 5000);
  EXPECT_EQ(settings.SelDelay, 3u);
  EXPECT_EQ(settings.CliDelay, 4u);
  EXPECT_EQ(settings.TouSound, 2u);
  EXPECT_EQ(settings.LLX, -1);
  EXPECT_EQ(settings.LLY, 0x100);
  EXPECT_EQ(settings.URX, 0x700);
  EXPECT_EQ(settings.URY, 0x7ff);
  EXPECT_EQ(PortName(), u"COM1:");
}

TEST_F(SettingsStore, MissingValuesKeepWhatWasLoadedBefore) {
  WriteRegistry({{"SelDelay", "dword:00000007"}});
  LoadDriverSettings();
  WriteRegistry({{"SelDelay", ""}, {"COMM", ""}, {"BaudRate", "dword:00004b00"}});
  DriverSettings settings = LoadDriverSettings();
  EXPECT_EQ(settings.SelDelay, 7u);
  EXPECT_EQ(settings.BaudRate, 19200u);
  EXPECT_EQ(PortName(), u"COM1:");
}

TEST_F(SettingsStore, FirstLoadWithoutValuesLeavesZeros) {
  WriteRegistry({{"COMM", ""}, {"BaudRate", ""}, {"XInplace", ""}});
  DriverSettings settings = LoadDriverSettings();
  EXPECT_EQ(settings.BaudRate, 0u);
  EXPECT_EQ(settings.XInplace, 0);
  EXPECT_EQ(PortName(), u"");
}

TEST_F(SettingsStore, MissingKeyChangesNothing) {
  root.WriteHive("");
  driverState.settings.BaudRate = 4800;
  DriverSettings settings = LoadDriverSettings();
  EXPECT_EQ(settings.BaudRate, 4800u);
  EXPECT_EQ(PortName(), u"");
}

TEST_F(SettingsStore, PortNamesThatDoNotFitAreRefusedAndTheOldNameStays) {
  WriteRegistry({{"COMM", "\"COM2:\""}});
  LoadDriverSettings();
  ASSERT_EQ(PortName(), u"COM2:");
  // Six characters need 14 bytes; six characters without a terminator fill all 12.
  for (const char *tooLong : {"\"COM10:\"", "hex(1):43,00,4f,00,4d,00,31,00,30,00,3a,00"}) {
    WriteRegistry({{"COMM", tooLong}});
    LoadDriverSettings();
    EXPECT_EQ(PortName(), u"COM2:") << tooLong;
    EXPECT_EQ(driverState.portName[5], 0) << tooLong;
  }
  // A shorter name stored without its terminator is still taken, terminated.
  WriteRegistry({{"COMM", "hex(1):43,00,4f,00,4d,00,33,00"}});
  LoadDriverSettings();
  EXPECT_EQ(PortName(), u"COM3");
}

TEST_F(SettingsStore, ValuesOfAnotherSizeAreIgnoredAndNeverOverrunTheirWord) {
  WriteRegistry({{"BaudRate", "\"9600\""}, {"MouseMod", "hex:01,02"}, {"XInplace", "hex:01,00,00,00,00,00,00,00"},
                 {"YInplace", "hex:10,27,00,00"}});
  driverState.settings.BaudRate = 1200;
  DriverSettings settings = LoadDriverSettings();
  EXPECT_EQ(settings.BaudRate, 1200u);
  EXPECT_EQ(settings.MouseMod, 0u);
  EXPECT_EQ(settings.XInplace, 0);
  // Four bytes of another type are a word like any other.
  EXPECT_EQ(settings.YInplace, 10000);
  EXPECT_EQ(settings.SelDelay, 10u);
}

TEST_F(SettingsStore, SaveWritesTheElevenWordsAndNothingElse) {
  WriteRegistry({{"ButShow", "dword:00000016"}});
  DriverSettings settings{};
  settings.reserved = 0xdeadbeef;
  settings.LLX = -5;
  settings.LLY = 1;
  settings.URX = 2;
  settings.URY = 3;
  settings.BaudRate = 19200;
  settings.MouseMod = 0x80000001;
  settings.XInplace = 2500;
  settings.YInplace = 2600;
  settings.SelDelay = 1;
  settings.CliDelay = 100;
  settings.TouSound = 1;
  EXPECT_TRUE(SaveDriverSettings(settings));
  std::string hive = root.ReadHive();
  for (const char *line : {"\"LLX\"=dword:fffffffb", "\"LLY\"=dword:00000001", "\"URX\"=dword:00000002",
                           "\"URY\"=dword:00000003", "\"BaudRate\"=dword:00004b00", "\"MouseMod\"=dword:80000001",
                           "\"XInplace\"=dword:000009c4", "\"YInplace\"=dword:00000a28", "\"SelDelay\"=dword:00000001",
                           "\"CliDelay\"=dword:00000064", "\"TouSound\"=dword:00000001", "\"COMM\"=\"COM1:\"",
                           "\"ButShow\"=dword:00000016"})
    EXPECT_NE(hive.find(line), std::string::npos) << line << "\n" << hive;
  EXPECT_EQ(hive.find("deadbeef"), std::string::npos);
  EXPECT_EQ(hive.find("de,be"), std::string::npos);
}

TEST_F(SettingsStore, SaveNeverCreatesTheKey) {
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform]\n");
  EXPECT_TRUE(SaveDriverSettings(DriverSettings{}));
  EXPECT_EQ(root.ReadHive().find("Norvik"), std::string::npos);
}

}  // namespace
