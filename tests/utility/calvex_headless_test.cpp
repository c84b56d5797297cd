// Calvex end to end without a display: the real program on a device root, driven by a script of
// user actions, its main dialog read back from the dump of its windows.
#include <gtest/gtest.h>

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

  static std::string WithButShow(const char *value) {
    std::string hive = testing_support::DefaultInstallation();
    const std::string line = "\"ButShow\"=dword:0000001f";
    hive.replace(hive.find(line), line.size(), std::string("\"ButShow\"=dword:") + value);
    return hive;
  }

  static bool Has(const std::string &dump, const std::string &line) { return dump.find(line) != std::string::npos; }

  testing_support::TempDeviceRoot root;
  std::string errors;
};

TEST_F(CalvexHeadless, ButShowChoosesAndPlacesTheFunctionButtons) {
  std::string dump;
  ASSERT_EQ(Run(WithButShow("00000016"), "dump\nclick 1016\n", &dump), 0) << errors;
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

TEST_F(CalvexHeadless, WithoutTheDriversKeyAllFiveButtonsShow) {
  std::string dump;
  ASSERT_EQ(Run("", "dump\nclick 1016\n", &dump), 0) << errors;
  for (const char *line : {"id=1011 \"Calibrate 2pt\" (283,42)", "id=1012 \"Calibrate 5pt\" (401,42)",
                           "id=1013 \"Calibrate 25pt\" (283,96)", "id=1014 \"Draw Test\" (401,96)",
                           "id=1015 \"Touch Setting\" (283,150)", "id=1016 \"Quit\" (401,150)"})
    EXPECT_TRUE(Has(dump, line)) << line << "\n" << dump;
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

}  // namespace
