// Calvex end to end without a display: the real program on a device root, driven by a script of
// user actions, its main dialog read back from the dump of its windows.
#include <gtest/gtest.h>

#include <filesystem>

#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{20000};

class CalvexHeadless : public ::testing::Test {
 protected:
  // Runs calvex with the script; its exit status, with the dump in `output`.
  int Run(const std::string &hive, const std::string &script, std::string *output) {
    root.WriteHive(hive);
    testing_support::WriteFile(root.path() + "/script.txt", script);
    ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
    auto exit = calvex.WaitForExit(kBound);
    EXPECT_TRUE(exit);
    *output = calvex.Output(Stream::kStdout);
    errors = calvex.Output(Stream::kStderr);
    return exit ? exit->code : -1;
  }

  // The installation with its ButShow line as `line`.
  static std::string WithButShow(const std::string &line) {
    std::string hive = testing_support::DefaultInstallation();
    const std::string installed = "\"ButShow\"=dword:0000001f";
    hive.replace(hive.find(installed), installed.size(), line);
    return hive;
  }

  static bool Has(const std::string &dump, const std::string &line) { return dump.find(line) != std::string::npos; }

  testing_support::TempDeviceRoot root;
  std::string errors;
};

TEST_F(CalvexHeadless, ButShowChoosesAndPlacesTheFunctionButtons) {
  std::string dump;
  ASSERT_EQ(Run(WithButShow("\"ButShow\"=dword:00000016"), "dump\nclick 1016\n", &dump), 0) << errors;
  // A 538 x 240 client area under a 26-pixel caption with its OK and close boxes, the window
  // centred on the 800 x 480 screen and kept above other windows.
  EXPECT_TRUE(Has(dump, "#32770 id=0 \"Calvex\" (131,107)-(669,373) visible enabled topmost\n"
                        "  caption \"Calvex\" (131,107)-(669,133)\n"
                        "  caption ok (617,107)-(643,133)\n"
                        "  caption close (643,107)-(669,133)\n"
                        "  client (131,133)-(669,373)\n"))
      << dump;
  EXPECT_TRUE(Has(dump, "BUTTON id=1012 \"Calibrate 5pt\" (283,42)-(393,82) visible enabled")) << dump;
  EXPECT_TRUE(Has(dump, "BUTTON id=1013 \"Calibrate 25pt\" (401,42)-(511,82) visible enabled")) << dump;
  EXPECT_TRUE(Has(dump, "BUTTON id=1015 \"Touch Setting\" (283,96)-(393,136) visible enabled")) << dump;
  EXPECT_TRUE(Has(dump, "BUTTON id=1016 \"Quit\" (401,150)-(511,190) visible enabled")) << dump;
  EXPECT_TRUE(Has(dump, "BUTTON id=1008 \"Functional List\" (269,14)-(519,226) visible enabled")) << dump;
  // The buttons whose bit is clear are hidden.
  EXPECT_TRUE(Has(dump, "BUTTON id=1011 \"Calibrate 2pt\" (284,40)-(394,80) hidden")) << dump;
  EXPECT_TRUE(Has(dump, "BUTTON id=1014 \"Draw Test\" (400,40)-(510,80) hidden")) << dump;
}

// Without the driver's key, or with a ButShow that is not a 32-bit word (the string "1" must not
// read as its character codes), all five function buttons show.
TEST_F(CalvexHeadless, AButShowThatCannotBeReadShowsAllFiveButtons) {
  for (const std::string &hive : {std::string(), WithButShow("\"ButShow\"=\"1\"")}) {
    SCOPED_TRACE(hive.empty() ? "no key" : "ButShow a string");
    std::string dump;
    ASSERT_EQ(Run(hive, "dump\nclick 1016\n", &dump), 0) << errors;
    for (const char *line : {"id=1011 \"Calibrate 2pt\" (283,42)", "id=1012 \"Calibrate 5pt\" (401,42)",
                             "id=1013 \"Calibrate 25pt\" (283,96)", "id=1014 \"Draw Test\" (401,96)",
                             "id=1015 \"Touch Setting\" (283,150)", "id=1016 \"Quit\" (401,150)"})
      EXPECT_TRUE(Has(dump, line)) << line << "\n" << dump;
  }
}

// Quit, the caption's OK button, Escape and the close box each end the program the same way.
struct Ending {
  const char *name;
  const char *script;
};

class CalvexEnds : public CalvexHeadless, public ::testing::WithParamInterface<Ending> {};

TEST_P(CalvexEnds, EndsTheProgramWithStatusZero) {
  std::string dump;
  EXPECT_EQ(Run(testing_support::DefaultInstallation(), GetParam().script, &dump), 0) << errors;
  EXPECT_EQ(errors, "");
}

INSTANTIATE_TEST_SUITE_P(Ways, CalvexEnds,
                         ::testing::Values(Ending{"Quit", "click 1016\n"}, Ending{"CaptionOk", "ok\n"},
                                           Ending{"Escape", "escape\n"}, Ending{"CloseBox", "close\n"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CalvexHeadless, AScriptThatDoesNotEndTheDialogIsAnError) {
  std::string dump;
  EXPECT_EQ(Run(testing_support::DefaultInstallation(), "click 1011\n", &dump), 1);
  EXPECT_NE(errors.find("the script failed"), std::string::npos) << errors;
}

// A program without its resources has no dialog to show: it names the file it looked for, says
// what to do, and exits 2, whether the file is missing or is not a resource file.
TEST_F(CalvexHeadless, WithoutItsResourcesItSaysWhichFileAndExits2) {
  root.WriteHive(testing_support::DefaultInstallation());
  testing_support::WriteFile(root.path() + "/script.txt", "click 1016\n");
  const std::string program = root.path() + "/calvex";
  std::filesystem::copy_file(NORVIK_BIN_DIR "/calvex", program);
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "not a resource file" : "missing");
    if (present) testing_support::WriteFile(program + ".res", "not resources");
    ChildProcess calvex(program, {"--headless", "--script", root.path() + "/script.txt"});
    auto exit = calvex.WaitForExit(kBound);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 2);
    std::string said = calvex.Output(Stream::kStderr);
    EXPECT_NE(said.find("calvex: "), std::string::npos) << said;
    EXPECT_NE(said.find(program + ".res"), std::string::npos) << said;
    EXPECT_NE(said.find(present ? "rebuild" : "build the resources"), std::string::npos) << said;
  }
}

// The usage needs no device: it prints without a device root and ends with status 0.
TEST(CalvexUsage, HelpPrintsTheUsageWithoutADeviceRoot) {
  ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--help"}, {{"DEVICE_ROOT", std::nullopt}});
  auto exit = calvex.WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0) << calvex.Output(Stream::kStderr);
  EXPECT_EQ(calvex.Output(Stream::kStdout).rfind("usage: calvex [--root DIR] [--headless --script FILE] [--check | --calibrate 2|5|25]\n", 0), 0u)
      << calvex.Output(Stream::kStdout);
}

}  // namespace
