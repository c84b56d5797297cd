// The Touch Settings dialog end to end, with no display: the real calvex, headless, opens it from
// the main dialog while devmgr runs the driver on a pseudo-terminal. Each change reaches the
// registry and the running driver at once; the measurement counts what touchsim sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <windows.h>

#include "norvik_host.h"

namespace {

using testing_support::ChildProcess;
using testing_support::NorvikHost;
using testing_support::Stream;
using testing_support::WaitUntil;

constexpr std::chrono::milliseconds kBound{20000};

const char kPointerLog[] = "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"pointer.log\"\n";

// One controller report at (x, y) in controller units.
std::string Report(bool touching, int x, int y) {
  return std::string{static_cast<char>(touching ? 0x90 : 0x80), static_cast<char>(x >> 7), static_cast<char>(x & 0x7F),
                     static_cast<char>(y >> 7), static_cast<char>(y & 0x7F)};
}

// The driver's key as it stands in the registry file: its value lines, in order.
std::string DriverKey(const std::string &hive) {
  size_t start = hive.find("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]");
  if (start == std::string::npos) return "";
  size_t end = hive.find("\n[", start);
  return hive.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

class CalvexSettings : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> StartCalvex(const std::string &script) {
    testing_support::WriteFile(root.path() + "/script.txt", script);
    return std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/calvex",
                                          std::vector<std::string>{"--headless", "--script", root.path() + "/script.txt"});
  }

  testing_support::TempDeviceRoot root;
  testing_support::PseudoTerminal line;
};

// A script opens Touch Settings and clicks Drawing, Touch Down, ">> &Slow" and the click-area
// slider at 7500. The touch sent right after the click on Drawing is handled in Drawing mode by
// the running driver: its first report only moves the pointer, the press comes after the hold.
TEST_F(CalvexSettings, EachChangeIsStoredAndLiveInTheRunningDriver) {
  NorvikHost host(root, line, kPointerLog);
  ASSERT_TRUE(host.Running()) << host.devmgr().Output(Stream::kStderr);
  const std::string installed = DriverKey(root.ReadHive());
  // The script waits for the test's window "touch checked" before it goes on.
  auto calvex = StartCalvex(
      "click 1015\nclick 1052\nawait \"touch checked\" 20000\nclick 1056\nclick 1060\nslider 1062 7500\n"
      "click 1\nclick 1016\n");
  ASSERT_TRUE(WaitUntil([&] { return root.ReadHive().find("\"MouseMod\"=dword:00000001") != std::string::npos; },
                        kBound))
      << "the click on Drawing was not stored:\n" << calvex->Output(Stream::kStderr);

  std::string touch;
  for (int i = 0; i < 30; ++i) touch += Report(true, 8000, 8000);
  touch += Report(false, 8000, 8000);
  line.Send(touch);
  const std::string logPath = root.path() + "/pointer.log";
  ASSERT_TRUE(WaitUntil([&] { return Lines(testing_support::ReadFile(logPath)).size() >= 31; }, kBound))
      << testing_support::ReadFile(logPath);
  std::vector<std::string> events;
  for (const std::string &logged : Lines(testing_support::ReadFile(logPath)))
    if (logged.rfind("mouse_event", 0) == 0) events.push_back(logged.substr(0, logged.find(" dx")));
  ASSERT_EQ(events.size(), 31u);
  EXPECT_EQ(events.front(), "mouse_event flags=0x8001") << "the first touching report pressed: not Drawing mode";
  EXPECT_EQ(std::count(events.begin(), events.end(), "mouse_event flags=0x8003"), 1) << "no press after the hold";
  EXPECT_EQ(events.back(), "mouse_event flags=0x8005");

  HWND checked = CreateWindowExW(0, u"BUTTON", u"touch checked", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(checked, nullptr);
  auto exit = calvex->WaitForExit(kBound);
  DestroyWindow(checked);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0) << calvex->Output(Stream::kStderr);

  std::string expected = installed;
  for (auto [from, to] : {std::pair{"\"MouseMod\"=dword:00000000", "\"MouseMod\"=dword:00000001"},
                          std::pair{"\"TouSound\"=dword:00000000", "\"TouSound\"=dword:00000001"},
                          std::pair{"\"SelDelay\"=dword:0000000a", "\"SelDelay\"=dword:00000014"},
                          std::pair{"\"CliDelay\"=dword:0000000a", "\"CliDelay\"=dword:00000014"},
                          std::pair{"\"XInplace\"=dword:00001388", "\"XInplace\"=dword:00001d4c"},
                          std::pair{"\"YInplace\"=dword:00001388", "\"YInplace\"=dword:00001d4c"}}) {
    size_t at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, std::string(from).size(), to);
  }
  EXPECT_EQ(DriverKey(root.ReadHive()), expected);
}

// touchsim sends 192 reports a second at 9600 baud while the dialog measures on the real clock
// for five ticks: the four counts shown after the first, and their average, are 192 within 3 %.
TEST_F(CalvexSettings, TheMeasurementCountsTheReportsOfEachSecond) {
  root.WriteHive(testing_support::DefaultInstallation());
  testing_support::WriteFile(root.path() + "/hold.txt", "hold 8000 8000 3000\n");
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim",
                        {"--root", root.path(), "--port", "COM1:", "--baud", "9600", root.path() + "/hold.txt"});
  ASSERT_TRUE(touchsim.WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim.Output(Stream::kStderr);
  NorvikHost host(root);
  ASSERT_TRUE(host.Running()) << host.devmgr().Output(Stream::kStderr);
  auto calvex = StartCalvex("click 1015\nclick 1065\nwait 5500\ndump\nclick 1\nclick 1016\n");
  auto exit = calvex->WaitForExit(kBound);
  ASSERT_TRUE(exit);
  ASSERT_EQ(exit->code, 0) << calvex->Output(Stream::kStderr);

  const std::string dump = calvex->Output(Stream::kStdout);
  std::vector<int> shown;
  for (int id = 1066; id <= 1070; ++id) {
    std::smatch match;
    std::regex readout("STATIC id=" + std::to_string(id) + " \"([0-9]*)\"");
    ASSERT_TRUE(std::regex_search(dump, match, readout)) << dump;
    ASSERT_FALSE(match[1].str().empty()) << "read-out " << id << " is empty:\n" << dump;
    shown.push_back(std::stoi(match[1].str()));
  }
  std::printf("measured reports/s (newest first): %d %d %d %d, average %d (touchsim sends 192)\n", shown[0], shown[1],
              shown[2], shown[3], shown[4]);
  // Each second ends at a WM_TIMER, which a loaded machine may deliver some tens of milliseconds
  // late, moving reports from one second to the next; what they add up to cannot move.
  for (int value : shown) {
    EXPECT_GE(value, 177) << "more than 8 % below 192";
    EXPECT_LE(value, 207) << "more than 8 % above 192";
  }
  EXPECT_GE(shown[4], 187) << "the average is more than 3 % below 192";
  EXPECT_LE(shown[4], 197) << "the average is more than 3 % above 192";
}

}  // namespace
