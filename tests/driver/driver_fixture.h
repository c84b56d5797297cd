// What the driver's in-process suites share: a temporary device root whose registry holds the
// driver's key, a pseudo-terminal mapped as "COM1:", captured debug output, and a driver state
// returned to its load-time zero before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "debug_zones.h"
#include "driver_lifecycle.h"
#include "driver_state.h"
#include "platform/debug_output.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "test_root.h"

class DriverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClearFaults();
    ResetDriverState();
    platform::SetDebugOutputSink([this](const std::u16string &message) {
      std::lock_guard lock(debugMutex_);
      debug_.push_back(platform::ToUtf8(message));
      debugChanged_.notify_all();
    });
  }

  void TearDown() override {
    StopDriver();
    ResetDriverState();
    platform::SetDebugOutputSink(nullptr);
    platform::ClearFaults();
  }

  static void ResetDriverState() {
    StopDriver();
    driverState.settings.Assign(DriverSettings{});
    std::memset(driverState.portName, 0, sizeof driverState.portName);
    driverState.reportCount = 0;
    driverState.isOpen = 0;
    driverState.stopRequested = 0;
  }

  // The driver's key as installed, with the port mapped to the pseudo-terminal. Each change
  // replaces a value's registry text (`dword:00000001`, `"COM2:"`) or, when empty, removes it.
  void WriteRegistry(const std::vector<std::pair<std::string, std::string>> &changes = {}) {
    std::vector<std::pair<std::string, std::string>> values = {
        {"COMM", "\"COM1:\""},          {"BaudRate", "dword:00002580"}, {"MouseMod", "dword:00000000"},
        {"XInplace", "dword:00001388"}, {"YInplace", "dword:00001388"}, {"SelDelay", "dword:0000000a"},
        {"CliDelay", "dword:0000000a"}, {"TouSound", "dword:00000000"}, {"LLX", "dword:00000000"},
        {"LLY", "dword:00000000"},      {"URX", "dword:00000000"},      {"URY", "dword:00000000"},
    };
    for (const auto &[name, text] : changes) {
      bool found = false;
      for (auto &value : values)
        if (value.first == name) {
          value.second = text;
          found = true;
        }
      if (!found) values.emplace_back(name, text);
    }
    std::string hive = "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"" + pty.slavePath() + "\"\n\n";
    hive += "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n";
    for (const auto &[name, text] : values)
      if (!text.empty()) hive += "\"" + name + "\"=" + text + "\n";
    root.WriteHive(hive);
  }

  std::vector<std::string> Debug() {
    std::lock_guard lock(debugMutex_);
    return debug_;
  }

  bool DebugHas(const std::string &line) {
    for (const std::string &message : Debug())
      if (message == line) return true;
    return false;
  }

  // Waits until the line has been printed `times` times in all (the read thread prints its last
  // line after setting its exit event, so it may come just after a stop returned).
  bool WaitForDebug(const std::string &line, int times = 1) {
    std::unique_lock lock(debugMutex_);
    return debugChanged_.wait_for(lock, std::chrono::seconds(10), [&] {
      int seen = 0;
      for (const std::string &message : debug_) seen += message == line;
      return seen >= times;
    });
  }

  void ClearDebug() {
    std::lock_guard lock(debugMutex_);
    debug_.clear();
  }

  testing_support::TempDeviceRoot root;
  testing_support::PseudoTerminal pty;

 private:
  std::mutex debugMutex_;
  std::condition_variable debugChanged_;
  std::vector<std::string> debug_;
};
