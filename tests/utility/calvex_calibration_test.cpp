// Calibration end to end, with no display: the real calvex, headless, clicks a calibration button
// while touchsim, on an offset and noisy panel, touches the targets the screen asks for; devmgr
// runs the driver on touchsim's line throughout. The corners reach the registry, the driver maps
// touches through them once it runs again, and every way a run can end leaves the driver running,
// even the program's being killed.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <windows.h>

#include "calibration_mapping.h"
#include "calibration_touches.h"
#include "norvik_host.h"

namespace {

using testing_support::CalibrationRound;
using testing_support::ChildProcess;
using testing_support::NorvikHost;
using testing_support::ScreenPointOf;
using testing_support::Stream;
using testing_support::TargetsOf;
using testing_support::WaitUntil;

constexpr std::chrono::milliseconds kBound{60000};

const char kPanel[] = "left=900,right=15200,bottom=700,top=15900,noise=16";
const char kPointerLog[] = "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"pointer.log\"\n";

class CalvexCalibration : public ::testing::Test {
 protected:
  // Installs the driver's key (with `extraHive`), starts touchsim on COM1: with `gestures`, then
  // devmgr with the driver on that line.
  void Start(const std::string &gestures, const std::string &extraHive = "", const char *panel = kPanel) {
    root.WriteHive(testing_support::DefaultInstallation() + kPointerLog + extraHive);
    std::remove((root.path() + "/pointer.log").c_str());
    testing_support::WriteFile(root.path() + "/gestures.txt", gestures);
    touchsim = std::make_unique<ChildProcess>(
        NORVIK_BIN_DIR "/touchsim", std::vector<std::string>{"--root", root.path(), "--port", "COM1:", "--baud",
                                                             "9600", "--panel", panel, root.path() + "/gestures.txt"});
    ASSERT_TRUE(touchsim->WaitForLine(Stream::kStderr, "COM1: is", kBound)) << touchsim->Output(Stream::kStderr);
    host = std::make_unique<NorvikHost>(root);
    ASSERT_TRUE(host->Running()) << host->devmgr().Output(Stream::kStderr);
  }

  // Runs calvex (with `arguments` of its own) and the script to its end: its exit status; what it
  // showed in `shown`.
  int RunCalvex(const std::string &script, std::string *shown = nullptr, std::vector<std::string> arguments = {}) {
    testing_support::WriteFile(root.path() + "/script.txt", script);
    arguments.insert(arguments.begin(), {"--headless", "--script", root.path() + "/script.txt"});
    ChildProcess calvex(NORVIK_BIN_DIR "/calvex", arguments);
    auto exit = calvex.WaitForExit(kBound);
    EXPECT_TRUE(exit) << "calvex did not end";
    if (shown != nullptr) *shown = calvex.Output(Stream::kStdout);
    errors = calvex.Output(Stream::kStderr);
    return exit ? exit->code : -1;
  }

  CalibrationCorners StoredCorners() {
    auto value = [&](const char *name) {
      std::smatch match;
      std::string hive = root.ReadHive();
      std::regex line(std::string("\"") + name + "\"=dword:([0-9a-f]{8})");
      return std::regex_search(hive, match, line) ? static_cast<LONG>(std::stoul(match[1].str(), nullptr, 16)) : 0;
    };
    return CalibrationCorners{value("LLX"), value("LLY"), value("URX"), value("URY")};
  }

  std::vector<std::string> LoggedEvents() {
    std::vector<std::string> events;
    std::string log = testing_support::ReadFile(root.path() + "/pointer.log");
    for (size_t at = log.find("mouse_event"); at != std::string::npos; at = log.find("mouse_event", at + 1))
      events.push_back(log.substr(at, log.find('\n', at) - at));
    return events;
  }

  // The pointer log's last mouse event, in pixels of the 800 x 480 screen, once it has more than
  // `seen` events; false when no more came.
  bool LastTouch(size_t seen, double *x, double *y) {
    std::vector<std::string> events;
    if (!WaitUntil([&] { return (events = LoggedEvents()).size() > seen; }, kBound)) return false;
    unsigned flags = 0, dx = 0, dy = 0;
    if (std::sscanf(events.back().c_str(), "mouse_event flags=%x dx=%u dy=%u", &flags, &dx, &dy) != 3) return false;
    *x = dx * 799.0 / 65535.0;
    *y = dy * 479.0 / 65535.0;
    return true;
  }

  // A window of the test's own whose caption a gesture script awaits: it tells touchsim when to go on.
  static HWND TellTouchsim(const char16_t *caption) {
    return CreateWindowExW(0, u"STATIC", caption, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  }

  // A number the page shows after `label`, or -1.
  static double ShownPixels(const std::string &shown, const std::string &label) {
    std::smatch match;
    return std::regex_search(shown, match, std::regex(label + " ([0-9.]+) pixels")) ? std::stod(match[1].str()) : -1;
  }

  testing_support::TempDeviceRoot root;
  std::unique_ptr<ChildProcess> touchsim;
  std::unique_ptr<NorvikHost> host;
  std::string errors;
};

// Each calibration button, on an offset, noisy panel: the prompt for a finished run, new corners
// in the registry, and a tap made after the run lands where it was made.
TEST_F(CalvexCalibration, EachRunStoresCornersThatPutTouchesWhereTheyWereMade) {
  struct Case {
    int button;
    int points;
    const char *caption;
    const char *prompt;
  };
  const Case cases[] = {
      {1011, 2, " 2 Point Calibration", " 2 Point Calibration Finished!, Calibrate again? "},
      {1012, 5, " 5 Point Calibration", " 5 Point Calibration Finished!, Calibrate again? "},
      {1013, 25, " 25 Point Calibration", " 25 Point Calibration Finished!, Calibrate again? "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.caption);
    host.reset();
    touchsim.reset();
    // After the run, a tap at (300, 200) for the driver to map.
    Start(CalibrationRound(TargetsOf(c.points)) + "wait 300\ntap " + std::to_string(ScreenPointOf(300, 800)) + " " +
          std::to_string(ScreenPointOf(200, 480)) + "\n");
    std::string shown;
    ASSERT_EQ(RunCalvex("click " + std::to_string(c.button) + "\nawait \"Calibration result\" 50000\ndump\nclick 1\n"
                        "await \"" + c.caption + "\" 10000\nanswer no\nclick 1016\n",
                        &shown),
              0)
        << errors;
    EXPECT_NE(shown.find(std::string("message box \"") + c.caption + "\" \"" + c.prompt + "\" buttons=yes,no"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("Calibration finished: the new corners are stored"), std::string::npos) << shown;
    const double check = ShownPixels(shown, "Check point \\(560,360\\):");
    EXPECT_TRUE(check >= 0 && check <= 1.0) << shown;
    CalibrationCorners corners = StoredCorners();
    EXPECT_TRUE(HasCalibration(corners)) << root.ReadHive();
    double x = 0, y = 0;
    ASSERT_TRUE(LastTouch(0, &x, &y)) << "the driver mapped no touch after the run";
    EXPECT_LE(std::hypot(x - 300, y - 200), 3.0) << "the tap landed at (" << x << ", " << y << ")";
  }
}

// touchsim's panel models as its usage and docs/touchsim.md give them: a panel turned half round
// or a quarter calibrates, its check point within a pixel, and a tap after the run lands where it
// was made; one whose y axis alone runs the other way, or whose axes are exchanged without a turn,
// is mirrored: refused, nothing stored. A 2-point run whose second touch is 30 pixels off its
// target fits exactly, but its check point shows the error: nothing is stored, and the prompt is
// the one for a run that did not finish; with "CheckBound" 0 there is no check point, and the same
// run stores.
TEST_F(CalvexCalibration, DocumentedPanelsCalibrateAndMirroredOnesAreRefused) {
  enum class Outcome { kStored, kMirrored, kCheckFailed, kStoredUnchecked };
  struct Case {
    const char *panel;
    int points;
    int secondOff;  // pixels left of and below the second target, where it is touched
    Outcome outcome;
    const char *hive = "";
  };
  const Case cases[] = {
      {"left=15200,right=900,bottom=16000,top=700,noise=4", 5, 0, Outcome::kStored},
      {"swap,left=15200,right=900,bottom=700,top=15900,noise=16", 5, 0, Outcome::kStored},
      {"left=16000,right=200,bottom=300,top=16100,swap,noise=8", 5, 0, Outcome::kStored},
      {"left=900,right=15200,bottom=16000,top=700,noise=4", 5, 0, Outcome::kMirrored},
      {"swap,left=900,right=15200,bottom=700,top=15900,noise=4", 5, 0, Outcome::kMirrored},
      {"left=900,right=15200,bottom=700,top=15900,noise=4", 2, 30, Outcome::kCheckFailed},
      {"left=900,right=15200,bottom=700,top=15900,noise=4", 2, 30, Outcome::kStoredUnchecked,
       "\n[HKEY_LOCAL_MACHINE\\Software\\Calibkit]\n\"CheckBound\"=dword:00000000\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.panel);
    host.reset();
    touchsim.reset();
    std::vector<std::pair<int, int>> touched = TargetsOf(c.points);
    touched[1].first -= c.secondOff;
    touched[1].second += c.secondOff;
    Start(CalibrationRound(touched) + "wait 300\ntap " + std::to_string(ScreenPointOf(300, 800)) + " " +
              std::to_string(ScreenPointOf(200, 480)) + "\n",
          c.hive, c.panel);
    const std::string caption = c.points == 2 ? " 2 Point Calibration" : " 5 Point Calibration";
    std::string shown;
    ASSERT_EQ(RunCalvex(std::string("click ") + (c.points == 2 ? "1011" : "1012") + "\nawait \"" +
                            (c.outcome == Outcome::kStored || c.outcome == Outcome::kStoredUnchecked
                                 ? "Calibration result"
                                 : "Calibration not finished") +
                            "\" 50000\ndump\nclick 1\nawait \"" + caption + "\" 10000\nanswer no\nclick 1016\n",
                        &shown),
              0)
        << errors;
    if (c.outcome == Outcome::kMirrored) {
      EXPECT_NE(shown.find("The panel is mirrored: nothing was stored"), std::string::npos) << shown;
      EXPECT_FALSE(HasCalibration(StoredCorners())) << root.ReadHive();
      continue;
    }
    if (c.outcome == Outcome::kCheckFailed) {
      EXPECT_GT(ShownPixels(shown, "The check point is"), 18.7) << shown;
      EXPECT_NE(shown.find("the bound is 18.7 pixels"), std::string::npos) << shown;
      EXPECT_NE(shown.find(caption + " not Finished!, Calibrate again? "), std::string::npos) << shown;
      EXPECT_FALSE(HasCalibration(StoredCorners())) << root.ReadHive();
      continue;
    }
    EXPECT_NE(shown.find("Calibration finished: the new corners are stored"), std::string::npos) << shown;
    const double check = ShownPixels(shown, "Check point \\(560,360\\):");
    if (c.outcome == Outcome::kStoredUnchecked) {
      EXPECT_EQ(check, -1) << shown;
      continue;
    }
    EXPECT_TRUE(check >= 0 && check <= 1.0) << shown;
    double x = 0, y = 0;
    ASSERT_TRUE(LastTouch(0, &x, &y)) << "the driver mapped no touch after the run";
    EXPECT_LE(std::hypot(x - 300, y - 200), 3.0) << "the tap landed at (" << x << ", " << y << ")";
  }
}

// calvex --calibrate and --check, without the main dialog: a 5-point run at once; then check runs
// that store nothing (the hive byte for byte), within a pixel on the stored calibration, and
// offering to calibrate once a corner is moved by 5 %; a wrong number of points is refused.
TEST_F(CalvexCalibration, CommandLineRunsCalibrateAndCheckWithoutTheMainDialog) {
  Start(CalibrationRound(TargetsOf(5)) + CalibrationRound(testing_support::CheckTargetsOf()) +
        CalibrationRound(testing_support::CheckTargetsOf()));
  std::string shown;
  ASSERT_EQ(RunCalvex("await \"Calibration result\" 50000\nclick 1\n", &shown, {"--calibrate", "5"}), 0) << errors;
  const CalibrationCorners stored = StoredCorners();
  ASSERT_TRUE(HasCalibration(stored)) << root.ReadHive();
  struct Case {
    const char *what;
    LONG moveLLX;
    int status;
    const char *title;
  };
  const Case cases[] = {
      {"the stored calibration", 0, 0, "The calibration is right"},
      {"LLX moved by 5 %", (stored.URX - stored.LLX) / 20, 1, " pixels off: calibrate again"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.moveLLX != 0) {
      ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", {"set", "LLX=" + std::to_string(stored.LLX + c.moveLLX)});
      auto exit = nrvctl.WaitForExit(kBound);
      ASSERT_TRUE(exit && exit->code == 0) << nrvctl.Output(Stream::kStderr);
    }
    const std::string hive = root.ReadHive();
    EXPECT_EQ(RunCalvex(std::string("await \"Calibration check\" 50000\ndump\nclick 1\n") +
                            (c.status != 0 ? "await \" Calibration Check\" 10000\nanswer no\n" : ""),
                        &shown, {"--check"}),
              c.status)
        << errors << shown;
    EXPECT_NE(shown.find(c.title), std::string::npos) << shown;
    const double largest = ShownPixels(shown, "Largest error:");
    EXPECT_TRUE(c.status == 0 ? largest >= 0 && largest <= 1.0 : largest > 18.7) << shown;
    EXPECT_EQ(root.ReadHive(), hive) << "a check run stored something";
  }
  EXPECT_EQ(RunCalvex("", &shown, {"--calibrate", "3"}), 2);
  EXPECT_NE(errors.find("calvex: --calibrate takes the number of points, 2, 5 or 25"), std::string::npos) << errors;
}

// Yes runs the same calibration again; No ends the sequence.
TEST_F(CalvexCalibration, YesRunsTheCalibrationAgain) {
  Start(CalibrationRound(TargetsOf(5)) + CalibrationRound(TargetsOf(5)));
  std::string shown;
  ASSERT_EQ(RunCalvex("click 1012\nawait \"Calibration result\" 50000\nclick 1\nawait \" 5 Point Calibration\" 10000\n"
                      "answer yes\nawait \"Calibration result\" 50000\nclick 1\nawait \" 5 Point Calibration\" 10000\n"
                      "answer no\nclick 1016\n",
                      &shown),
            0)
      << errors;
  size_t prompts = 0;
  for (size_t at = shown.find(" 5 Point Calibration Finished!"); at != std::string::npos;
       at = shown.find(" 5 Point Calibration Finished!", at + 1))
    ++prompts;
  EXPECT_EQ(prompts, 2u) << shown;
  EXPECT_TRUE(HasCalibration(StoredCorners()));
}

// Escape in the middle, a time-out, and the program's end by SIGTERM each leave the corners as
// they were and the driver running: a tap after the run reaches the pointer log.
TEST_F(CalvexCalibration, ARunLeftEndsUnfinishedWithTheDriverRunningAgain) {
  const std::string afterwards = "wait 300\ntap 30000 30000\n";
  struct Case {
    const char *name;
    std::string gestures;
    std::string extraHive;
    std::string script;
  };
  const std::vector<Case> cases = {
      {"Escape after two touches",
       "await \"Touch calibration\" 20000\nwait 200\nhold 5000 5000 9\nlift\nhold 60000 5000 9\nlift\n"
       "gone \"Touch calibration\" 30000\n" + afterwards,
       "", "click 1012\nwait 1500\nescape\nanswer no\nclick 1016\n"},
      {"no touch within the time-out", "await \"Touch calibration\" 20000\ngone \"Touch calibration\" 30000\n" + afterwards,
       "\n[HKEY_LOCAL_MACHINE\\Software\\Calibkit]\n\"TouchTimeout\"=dword:0000012c\n",
       "click 1012\nawait \" 5 Point Calibration\" 20000\nanswer no\nclick 1016\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    host.reset();
    touchsim.reset();
    Start(c.gestures, c.extraHive);
    std::string shown;
    ASSERT_EQ(RunCalvex(c.script, &shown), 0) << errors;
    EXPECT_NE(shown.find("\" 5 Point Calibration not Finished!, Calibrate again? \" buttons=yes,no"), std::string::npos)
        << shown;
    EXPECT_FALSE(HasCalibration(StoredCorners())) << "the corners changed:\n" << root.ReadHive();
    double x = 0, y = 0;
    EXPECT_TRUE(LastTouch(0, &x, &y)) << "the driver does not run again after the run";
  }
}

TEST_F(CalvexCalibration, SigtermDuringARunGivesThePortBackAndChangesNothing) {
  // A tap every 100 ms throughout: the driver logs those before and after the run.
  Start("repeat 400\ntap 30000 30000\nwait 100\nend\n");
  testing_support::WriteFile(root.path() + "/script.txt", "click 1012\nwait 30000\nanswer no\nclick 1016\n");
  ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
  ASSERT_TRUE(host->devmgr().WaitForLine(Stream::kStderr, "ReadThread Stop.", kBound)) << "the run never stopped the driver";
  ASSERT_TRUE(WaitUntil([] { return FindWindowW(nullptr, u"Touch calibration") != nullptr; }, kBound))
      << "the calibration screen never opened";
  ASSERT_TRUE(calvex.Signal(SIGTERM));
  auto exit = calvex.WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 128 + SIGTERM);
  EXPECT_NE(calvex.Output(Stream::kStderr).find("calvex: ended by SIGTERM"), std::string::npos);
  EXPECT_EQ(calvex.Output(Stream::kStdout).find("message box"), std::string::npos) << "a prompt after the end";
  EXPECT_FALSE(HasCalibration(StoredCorners()));
  const size_t before = LoggedEvents().size();
  double x = 0, y = 0;
  EXPECT_TRUE(LastTouch(before, &x, &y)) << "the driver does not run again after the program ended:\n"
                                         << host->devmgr().Output(Stream::kStderr);
}

// The gestures of a touch on a target of the 800 x 480 screen, held for `reports` reports.
std::string TouchOn(std::pair<int, int> target, int reports = 9) {
  return "hold " + std::to_string(ScreenPointOf(target.first, 800)) + " " +
         std::to_string(ScreenPointOf(target.second, 480)) + " " + std::to_string(reports) + "\nlift\n";
}

// A headless script that starts a 5-point run and then dumps the screen every 50 ms for a minute,
// so that the test sees which target it asks for ("N of 5").
std::string FivePointRunWatched() {
  std::string script = "click 1012\n";
  for (int i = 0; i < 1200; ++i) script += "wait 50\ndump\n";
  return script;
}

// SIGKILL of calvex while its run has the driver stopped, at three moments: the guard that the
// run posted starts the driver again, a touch reaches the pointer within 2 s of the kill, the
// corners are as they were, and the debug output says why the driver was started.
TEST_F(CalvexCalibration, AKilledProgramsRunHasTheDriverStartedAgainByItsGuard) {
  const std::vector<std::pair<int, int>> targets = TargetsOf(5);
  // After the kill touchsim taps on; the test's window "calvex killed" tells it when, as the
  // screen of a program killed at once may be gone before touchsim has seen it.
  const std::string taps = "await \"calvex killed\" 60000\nrepeat 600\ntap 30000 30000\nwait 20\nend\n";
  struct Case {
    const char *moment;
    std::string gestures;
    const char *shownBeforeKill;  // in calvex's dumps; empty: the screen just opened
  };
  const std::vector<Case> cases = {
      {"the target screen just up", taps, ""},
      {"two of five targets touched",
       "await \"Touch calibration\" 20000\nwait 200\n" + TouchOn(targets[0]) + "wait 60\n" + TouchOn(targets[1]) + taps,
       "\"3 of 6\""},
      // The second touch is held for about 4 s: the kill comes as it begins, and the rest of it
      // reaches the driver once it runs again.
      {"in the middle of a touch",
       "await \"Touch calibration\" 20000\nwait 200\n" + TouchOn(targets[0]) + TouchOn(targets[1], 800) + taps,
       "\"2 of 6\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.moment);
    host.reset();
    touchsim.reset();
    Start(c.gestures);
    const CalibrationCorners before = StoredCorners();
    testing_support::WriteFile(root.path() + "/script.txt", FivePointRunWatched());
    ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
    ASSERT_TRUE(host->devmgr().WaitForLine(Stream::kStderr, "ReadThread Stop.", kBound)) << "the run never stopped the driver";
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(nullptr, u"Touch calibration") != nullptr; }, kBound))
        << "the calibration screen never opened";
    if (*c.shownBeforeKill != 0) {
      ASSERT_TRUE(calvex.WaitForLine(Stream::kStdout, c.shownBeforeKill, kBound)) << calvex.Output(Stream::kStdout);
    }
    const size_t eventsBefore = LoggedEvents().size();
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(calvex.Signal(SIGKILL));
    HWND told = TellTouchsim(u"calvex killed");
    ASSERT_NE(told, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return LoggedEvents().size() > eventsBefore; }, kBound))
        << "no touch reached the pointer after the kill:\n"
        << host->devmgr().Output(Stream::kStderr) << touchsim->Output(Stream::kStderr);
    EXPECT_LE(std::chrono::steady_clock::now() - killed, std::chrono::seconds(2));
    DestroyWindow(told);
    ASSERT_TRUE(calvex.WaitForExit(kBound));
    EXPECT_NE(calvex.Output(Stream::kStderr)
                  .find("calguard: the calibrating program (pid " + std::to_string(calvex.pid()) +
                        ") ended during a calibration; the driver was started again"),
              std::string::npos)
        << calvex.Output(Stream::kStderr);
    const CalibrationCorners after = StoredCorners();
    EXPECT_TRUE(after.LLX == before.LLX && after.LLY == before.LLY && after.URX == before.URX && after.URY == before.URY)
        << root.ReadHive();
  }
}

// NRV1: held by another program when the run ends: the settings cannot be read again, so nothing
// is stored and the result page says so; the run's own start fails too, so its guard stays and
// starts the driver once calvex ends.
TEST_F(CalvexCalibration, ARunThatCannotStartTheDriverLeavesItToTheGuard) {
  const std::vector<std::pair<int, int>> targets = TargetsOf(5);
  std::string gestures = "await \"NRV1: held\" 20000\nwait 200\n";
  for (const auto &target : targets) gestures += TouchOn(target) + "wait 60\n";
  Start(gestures + "await \"calvex killed\" 60000\nrepeat 600\ntap 30000 30000\nwait 20\nend\n");
  const CalibrationCorners before = StoredCorners();
  testing_support::WriteFile(root.path() + "/script.txt", FivePointRunWatched());
  ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
  ASSERT_TRUE(WaitUntil([] { return FindWindowW(nullptr, u"Touch calibration") != nullptr; }, kBound))
      << "the calibration screen never opened";
  HANDLE held = CreateFileW(u"NRV1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
  HWND heldWindow = TellTouchsim(u"NRV1: held");
  ASSERT_NE(heldWindow, nullptr);
  EXPECT_TRUE(calvex.WaitForLine(Stream::kStdout, "The driver's settings cannot be read again: nothing was stored",
                                 kBound))
      << calvex.Output(Stream::kStdout);
  EXPECT_TRUE(calvex.WaitForLine(Stream::kStderr, "calguard starts it when this program ends", kBound))
      << calvex.Output(Stream::kStderr);
  CloseHandle(held);
  DestroyWindow(heldWindow);
  const size_t eventsBefore = LoggedEvents().size();
  ASSERT_TRUE(calvex.Signal(SIGKILL));
  HWND told = TellTouchsim(u"calvex killed");
  ASSERT_NE(told, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return LoggedEvents().size() > eventsBefore; }, kBound))
      << "no touch reached the pointer after calvex ended:\n"
      << host->devmgr().Output(Stream::kStderr) << calvex.Output(Stream::kStderr);
  DestroyWindow(told);
  ASSERT_TRUE(calvex.WaitForExit(kBound));
  const CalibrationCorners after = StoredCorners();
  EXPECT_TRUE(after.LLX == before.LLX && after.LLY == before.LLY && after.URX == before.URX && after.URY == before.URY)
      << root.ReadHive();
}

// A setting changed while the targets are up (here by nrvctl) is kept when the corners are stored.
TEST_F(CalvexCalibration, ASettingChangedDuringTheRunSurvivesTheStore) {
  const std::vector<std::pair<int, int>> targets = TargetsOf(5);
  // touchsim touches two targets, waits for the test's window that says the change is made, then
  // touches the rest.
  std::string gestures = "await \"Touch calibration\" 20000\nwait 200\n" + TouchOn(targets[0]) + "wait 60\n" +
                         TouchOn(targets[1]) + "await \"TouSound changed\" 60000\n";
  for (size_t i = 2; i < targets.size(); ++i) gestures += "wait 60\n" + TouchOn(targets[i]);
  Start(gestures + "gone \"Touch calibration\" 30000\n");
  testing_support::WriteFile(root.path() + "/script.txt",
                             "click 1012\nawait \"Calibration result\" 60000\ndump\nclick 1\nanswer no\nclick 1016\n");
  ChildProcess calvex(NORVIK_BIN_DIR "/calvex", {"--headless", "--script", root.path() + "/script.txt"});
  ASSERT_TRUE(WaitUntil([] { return FindWindowW(nullptr, u"Touch calibration") != nullptr; }, kBound))
      << "the calibration screen never opened";
  ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", {"set", "TouSound=2"});
  auto set = nrvctl.WaitForExit(kBound);
  ASSERT_TRUE(set && set->code == 0) << nrvctl.Output(Stream::kStderr);
  HWND changed = TellTouchsim(u"TouSound changed");
  ASSERT_NE(changed, nullptr);
  auto exit = calvex.WaitForExit(kBound);
  DestroyWindow(changed);
  ASSERT_TRUE(exit && exit->code == 0) << calvex.Output(Stream::kStderr);
  EXPECT_NE(calvex.Output(Stream::kStdout).find("Calibration finished: the new corners are stored"), std::string::npos)
      << calvex.Output(Stream::kStdout);
  EXPECT_TRUE(HasCalibration(StoredCorners())) << root.ReadHive();
  EXPECT_NE(root.ReadHive().find("\"TouSound\"=dword:00000002"), std::string::npos) << root.ReadHive();
}

// A touch held for three times the screen's time-out keeps the screen up: the run finishes.
TEST_F(CalvexCalibration, ATouchHeldPastTheTimeOutDoesNotEndTheRun) {
  const std::vector<std::pair<int, int>> targets = TargetsOf(5);
  // About 3.1 s of reports on the first target, against a time-out of 1 s.
  std::string gestures = "await \"Touch calibration\" 20000\nwait 50\n" + TouchOn(targets[0], 600);
  for (size_t i = 1; i < targets.size(); ++i) gestures += "wait 60\n" + TouchOn(targets[i]);
  Start(gestures + "gone \"Touch calibration\" 30000\n",
        "\n[HKEY_LOCAL_MACHINE\\Software\\Calibkit]\n\"TouchTimeout\"=dword:000003e8\n");
  std::string shown;
  ASSERT_EQ(RunCalvex("click 1012\nawait \" 5 Point Calibration\" 60000\nanswer no\nclick 1016\n", &shown), 0) << errors;
  EXPECT_NE(shown.find("\" 5 Point Calibration Finished!, Calibrate again? \""), std::string::npos) << shown;
  EXPECT_TRUE(HasCalibration(StoredCorners())) << root.ReadHive();
}

// A touch far from its target is refused and the same target asked again; the run still fits.
TEST_F(CalvexCalibration, AMisclickIsRefusedAndTheTargetAskedAgain) {
  std::vector<std::pair<int, int>> targets = TargetsOf(5);
  // After the first three touches, the fourth target (700, 420) is first missed by a quarter of
  // the screen, at (500, 420).
  std::vector<std::pair<int, int>> touched(targets.begin(), targets.begin() + 3);
  touched.push_back({500, 420});
  touched.insert(touched.end(), targets.begin() + 3, targets.end());
  Start(CalibrationRound(touched));
  std::string shown;
  ASSERT_EQ(RunCalvex("click 1012\nawait \"Calibration result\" 50000\ndump\nclick 1\nanswer no\nclick 1016\n", &shown),
            0)
      << errors;
  EXPECT_NE(errors.find("calibkit: the touch for target 4 of 6 was refused as a misclick; it is asked again"),
            std::string::npos)
      << errors;
  std::smatch largest;
  ASSERT_TRUE(std::regex_search(shown, largest, std::regex("Largest error: ([0-9.]+) pixels"))) << shown;
  EXPECT_LE(std::stod(largest[1].str()), 2.0) << "the misclick was taken for the target";
}

// A COMM that names no usable port ends the run unfinished, says why, and starts the driver again.
TEST_F(CalvexCalibration, AWrongPortEndsTheRunWithTheDriverStartedAgain) {
  // COM9: names a tty that does not exist, whatever serial ports the machine has. touchsim keeps
  // COM1: up until the test ends: a line that hung up before a slow devmgr opened it fails the start.
  Start("wait 60000\n", "\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM9:\"=\"" + root.path() + "/no-such-tty\"\n");
  // touchsim takes its port's name out of the registry as it ends, which may be now.
  ASSERT_TRUE(root.StoreString(u"Drivers\\BuiltIn\\Norvik", u"COMM", u"COM9:"));
  std::string shown;
  ASSERT_EQ(RunCalvex("click 1012\ndump\nclick 1\nanswer no\nclick 1016\n", &shown), 0) << errors;
  EXPECT_NE(shown.find("The controller's port COM9: cannot be used: nothing was changed"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\" 5 Point Calibration not Finished!, Calibrate again? \""), std::string::npos) << shown;
  EXPECT_TRUE(host->devmgr().WaitForLine(Stream::kStderr, "ReadThread Stop.", kBound));
  int starts = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        starts = 0;
        for (const std::string &line : host->devmgr().Lines(Stream::kStderr)) starts += line.find("Tarsel Mouse") == 0;
        return starts == 2;
      },
      kBound))
      << "the driver was not started again: " << starts << " starts";
  EXPECT_FALSE(HasCalibration(StoredCorners()));
}

}  // namespace
