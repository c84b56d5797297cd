// What a member of the group norvik may do on a device root that root's nrvctl init made for the
// service, with devmgr running as root at SCHED_FIFO as the unit starts it: set every setting and
// calibrate, and nothing else. Each way an earlier layout let a member reach root is tried as a
// user made for the test and refused; a user outside the group reaches nothing. Needs root,
// useradd, setpriv and chrt; skipped otherwise.
#include <gtest/gtest.h>

#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "calibration_touches.h"
#include "scratch_accounts.h"
#include "norvik_host.h"
#include "process.h"
#include "test_root.h"

namespace {

using testing_support::CalibrationRound;
using testing_support::ChildProcess;
using testing_support::ReadFile;
using testing_support::Stream;
using testing_support::TargetsOf;
using testing_support::WaitUntil;
using testing_support::WriteFile;

constexpr std::chrono::milliseconds kBound{30000};

struct Outcome {
  int code;
  std::string errors;
  std::string output;
};

// Runs a program as `user` with the supplementary groups useradd gave that user.
Outcome RunAs(const std::string &user, const std::string &program, const std::vector<std::string> &arguments) {
  std::vector<std::string> all{"--reuid", user, "--regid", "users", "--init-groups", "--", program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  ChildProcess child("/usr/bin/setpriv", all);
  auto exit = child.WaitForExit(kBound);
  return {exit ? exit->code : -1, child.Output(Stream::kStderr), child.Output(Stream::kStdout)};
}

std::string Dword(const std::string &hive, const std::string &name) {
  std::smatch match;
  std::regex line("\"" + name + "\"=dword:([0-9a-f]{8})");
  return std::regex_search(hive, match, line) ? match[1].str() : "missing";
}

// The scheduling policy of each thread of a process (field 41 of /proc/PID/task/TID/stat) by
// the thread's name.
std::vector<std::pair<std::string, int>> ThreadPolicies(pid_t pid) {
  std::vector<std::pair<std::string, int>> policies;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto &task : std::filesystem::directory_iterator(tasks)) {
    const std::string stat = ReadFile(task.path().string() + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 41 && fields >> field; ++i)
      if (i == 41) policies.emplace_back(ReadFile(task.path().string() + "/comm"), std::stoi(field));
  }
  return policies;
}

TEST(MemberRights, AMemberSetsEverySettingAndCalibratesAndReachesNothingMore) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make users and run devmgr as root";
  for (const char *tool : {"/usr/sbin/useradd", "/usr/bin/setpriv", "/usr/bin/chrt"})
    if (access(tool, X_OK) != 0) GTEST_SKIP() << "needs " << tool;
  testing_support::MemberGroup group;
  ASSERT_TRUE(group.exists()) << "groupadd norvik failed";
  testing_support::ScratchUser member("nrvm", "norvik"), outsider("nrvo");
  ASSERT_TRUE(member.made() && outsider.made()) << "useradd failed";

  testing_support::TempDeviceRoot scratch;
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string root = scratch.path() + "/touch0";
  const std::string hive = root + "/registry.reg";
  testing_support::PseudoTerminal firstLine;
  ChildProcess init(NORVIK_BIN_DIR "/nrvctl", {"--root", root, "init", "--port", firstLine.slavePath(), "--pointer",
                                               "log"});
  ASSERT_TRUE(init.WaitForExit(kBound));
  ASSERT_NE(ReadFile(hive).find("\"Dll\""), std::string::npos) << init.Output(Stream::kStderr);
  // Programs that calvex starts (calguard) find the root through the environment.
  setenv("DEVICE_ROOT", root.c_str(), 1);

  // touchsim, run by root, plays a user calibrating on a line of its own, which only root (the
  // service here) may open: calvex reads it through devmgr, which lends it its own handle.
  const std::string gestures = scratch.path() + "/gestures.txt";
  WriteFile(gestures, CalibrationRound(TargetsOf(2)));
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim", {"--root", root, "--port", "COM1:", "--baud", "9600", "--panel",
                                                     "left=900,right=15200,bottom=700,top=15900", gestures});
  auto mapped = touchsim.WaitForLine(Stream::kStderr, "COM1: is ", kBound);
  ASSERT_TRUE(mapped) << touchsim.Output(Stream::kStderr);
  const std::string tty = mapped->substr(mapped->find("/dev/"), mapped->find_first_of(" ,", mapped->find("/dev/")) -
                                                                    mapped->find("/dev/"));
  ASSERT_EQ(chmod(tty.c_str(), 0600), 0) << tty;
  Outcome tried = RunAs(member.name(), "/bin/sh", {"-c", "exec 3<>" + tty});
  EXPECT_NE(tried.errors.find("Permission denied"), std::string::npos) << "the member reaches the tty: " << tried.errors;

  ChildProcess devmgr("/usr/bin/chrt", {"-f", "10", NORVIK_BIN_DIR "/devmgr", "--root", root});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound));

  // Every setting, through the driver, which stores it.
  Outcome set = RunAs(member.name(), NORVIK_BIN_DIR "/nrvctl",
                      {"--root", root, "set", "LLX=1", "LLY=2", "URX=3", "URY=4", "BaudRate=9600", "MouseMod=2",
                       "XInplace=3000", "YInplace=3000", "SelDelay=7", "CliDelay=7", "TouSound=1"});
  ASSERT_EQ(set.code, 0) << set.errors;
  const std::string stored = ReadFile(hive);
  EXPECT_EQ(Dword(stored, "URY"), "00000004");
  EXPECT_EQ(Dword(stored, "MouseMod"), "00000002");
  EXPECT_EQ(Dword(stored, "XInplace"), "00000bb8");
  EXPECT_EQ(Dword(stored, "TouSound"), "00000001");

  // A calibration, which reads the controller through devmgr while the driver lets go of it.
  const std::string script = scratch.path() + "/calvex.txt";
  WriteFile(script, "click 1011\nawait \"Calibration result\" 50000\nclick 1\nawait \" 2 Point Calibration\" 10000\n"
                    "answer no\nclick 1016\n");
  Outcome calibrated = RunAs(member.name(), NORVIK_BIN_DIR "/calvex", {"--root", root, "--headless", "--script",
                                                                          script});
  EXPECT_EQ(calibrated.code, 0) << calibrated.errors;
  const std::string after = ReadFile(hive);
  EXPECT_NE(Dword(after, "LLX"), "00000001") << calibrated.errors;
  EXPECT_EQ(Dword(after, "TouSound"), "00000001") << "the other settings are kept";

  // What the member may not do. Each is refused and leaves the hive as it was (touchsim takes its
  // mapping out of the hive as it ends).
  ASSERT_TRUE(touchsim.WaitForExit(kBound));
  const std::string kept = ReadFile(hive);
  struct Attempt {
    const char *what;
    std::string program;
    std::vector<std::string> arguments;
    std::string says;
  };
  const Attempt attempts[] = {
      {"name a library of one's own in the hive", "/bin/sh",
       {"-c", "echo '\"Dll\"=\"/tmp/own.so\"' >> " + hive}, "Permission denied"},
      {"map COM1: to another tty", NORVIK_BIN_DIR "/touchsim",
       {"--root", root, "--port", "COM1:", "-"}, "registry: cannot write " + hive},
      {"plant a link in the device root", "/bin/ln", {"-s", "/etc/shadow", root + "/registry.reg.lock2"},
       "Permission denied"},
      {"replace devmgr's socket in run/", "/bin/sh", {"-c", "ln -sf /etc/shadow " + root + "/run/device.NRV1"},
       "Operation not permitted"},
      {"store the driver's Filter, which only the hive holds", NORVIK_BIN_DIR "/nrvctl",
       {"--root", root, "set", "Filter=smooth"}, "nrvctl: Filter was not stored: this user may not change the hive"},
  };
  for (const Attempt &attempt : attempts) {
    SCOPED_TRACE(attempt.what);
    Outcome outcome = RunAs(member.name(), attempt.program, attempt.arguments);
    EXPECT_NE(outcome.code, 0);
    EXPECT_NE(outcome.errors.find(attempt.says), std::string::npos) << outcome.errors;
    EXPECT_EQ(ReadFile(hive), kept);
  }

  // Someone outside the group reaches neither the driver nor the settings.
  Outcome outside = RunAs(outsider.name(), NORVIK_BIN_DIR "/nrvctl", {"--root", root, "set", "TouSound=2"});
  EXPECT_NE(outside.code, 0);
  EXPECT_NE(outside.errors.find("adduser $USER norvik"), std::string::npos) << outside.errors;
  EXPECT_EQ(ReadFile(hive), kept);

  // The threads that served the members ran at normal priority and are gone; the read thread,
  // started again from one of them at the end of the calibration, has the real-time priority
  // the unit gives devmgr.
  int realTime = 0;
  for (const auto &[name, policy] : ThreadPolicies(devmgr.pid())) {
    realTime += policy == SCHED_FIFO ? 1 : 0;
    if (name == "devmgr accept\n" || name == "devmgr serve\n") {
      EXPECT_EQ(policy, SCHED_OTHER) << name;
    }
  }
  EXPECT_GE(realTime, 2) << "devmgr's main thread, which only waits, and the read thread";

  // With the driver not loaded, a change falls back to the registry, which a member may only
  // read: calibkit says that the driver must run, and nothing is stored.
  const std::string settingsScript = scratch.path() + "/settings.txt";
  WriteFile(settingsScript, "click 1015\nclick 1052\nclick 1\nclick 1016\n");
  devmgr.Signal(SIGTERM);
  ASSERT_TRUE(devmgr.WaitForExit(kBound));
  Outcome fallback = RunAs(member.name(), NORVIK_BIN_DIR "/calvex", {"--root", root, "--headless", "--script",
                                                                        settingsScript});
  EXPECT_NE(fallback.errors.find("may not write the driver's key"), std::string::npos) << fallback.errors;
  EXPECT_NE(fallback.errors.find("the driver must run to store settings"), std::string::npos) << fallback.errors;
  EXPECT_EQ(ReadFile(hive), kept);
}

}  // namespace
