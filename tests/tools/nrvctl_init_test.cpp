// nrvctl init, run as a program: the device root it makes for a serial port, what a second init
// keeps of the first, and the ports it refuses.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ProcessExit;
using testing_support::PseudoTerminal;
using testing_support::ReadFile;
using testing_support::Stream;
using testing_support::TempDeviceRoot;
using testing_support::WriteFile;

struct InitRun {
  int code;
  std::string error;
};

InitRun Init(const std::string &root, std::vector<std::string> options) {
  options.insert(options.begin(), {"--root", root, "init"});
  ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", options);
  std::optional<ProcessExit> exit = nrvctl.WaitForExit(std::chrono::seconds(60));
  return {exit ? exit->code : -2, nrvctl.Output(Stream::kStderr)};
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(NrvctlInit, ReplacesARegistryOnlyWithForceAndKeepsItsCalibrationAndTouchSettings) {
  TempDeviceRoot scratch;
  PseudoTerminal first;
  PseudoTerminal second;
  const std::string root = scratch.path() + "/touch0";
  const std::string hive = root + "/registry.reg";

  InitRun made = Init(root, {"--port", first.slavePath(), "--pointer", "log"});
  ASSERT_EQ(made.code, 0) << made.error;
  std::string text = ReadFile(hive);
  char driver[PATH_MAX];
  ASSERT_NE(realpath(NORVIK_LIB_DIR "/libnorvik.so", driver), nullptr);
  EXPECT_NE(text.find("\"Dll\"=\"" + std::string(driver) + "\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"" + first.slavePath() + "\""),
            std::string::npos) << text;
  EXPECT_NE(text.find("\"Pointer\"=\"log\"\n\"PointerLog\"=\"pointer.log\""), std::string::npos) << text;

  // The device was calibrated and tuned, with a right click armed at that moment.
  text = Replace(text, "\"LLX\"=dword:00000000", "\"LLX\"=dword:00000677");
  text = Replace(text, "\"URY\"=dword:00000000", "\"URY\"=dword:fffffe0c");
  text = Replace(text, "\"MouseMod\"=dword:00000000", "\"MouseMod\"=dword:80000001");
  text = Replace(text, "\"TouSound\"=dword:00000000", "\"TouSound\"=dword:00000001");
  WriteFile(hive, text);

  InitRun refused = Init(root, {"--port", second.slavePath()});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.error.find("--force"), std::string::npos) << refused.error;
  EXPECT_EQ(ReadFile(hive), text);

  InitRun replaced = Init(root, {"--port", second.slavePath(), "--baud", "19200", "--force"});
  ASSERT_EQ(replaced.code, 0) << replaced.error;
  std::string after = ReadFile(hive);
  EXPECT_NE(after.find("\"LLX\"=dword:00000677"), std::string::npos) << after;
  EXPECT_NE(after.find("\"URY\"=dword:fffffe0c"), std::string::npos) << after;
  EXPECT_NE(after.find("\"MouseMod\"=dword:00000001"), std::string::npos) << after;
  EXPECT_NE(after.find("\"TouSound\"=dword:00000001"), std::string::npos) << after;
  EXPECT_NE(after.find("\"BaudRate\"=dword:00004b00"), std::string::npos) << after;
  EXPECT_NE(after.find("\"COM1:\"=\"" + second.slavePath() + "\""), std::string::npos) << after;
  EXPECT_EQ(after.find(first.slavePath()), std::string::npos) << after;
  EXPECT_EQ(after.find("PointerLog"), std::string::npos) << after;
}

TEST(NrvctlInit, RefusesAPortThatIsNotAnExistingTtyAndMakesNoRegistry) {
  TempDeviceRoot scratch;
  WriteFile(scratch.path() + "/plain", "not a tty");
  const std::string root = scratch.path() + "/touch0";
  const struct {
    std::string port;
    std::string says;
  } cases[] = {
      {"/dev/ttyUSB-none-such", "does not exist"},
      {scratch.path() + "/plain", "is not a tty"},
      {"/dev/null", "is not a tty"},
      {"ttyUSB0", "is not a path"},
  };
  for (const auto &bad : cases) {
    InitRun run = Init(root, {"--port", bad.port});
    EXPECT_EQ(run.code, 2) << bad.port;
    EXPECT_NE(run.error.find(bad.says), std::string::npos) << bad.port << ": " << run.error;
    EXPECT_NE(run.error.find(bad.port), std::string::npos) << run.error;
  }
  EXPECT_TRUE(ReadFile(root + "/registry.reg").empty());
}

}  // namespace
