// nrvctl init, run as a program: the device root it makes for a serial port, what a second init
// keeps of the first, the pointer outputs it stores, and the ports it refuses.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "scratch_accounts.h"
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

TEST(NrvctlInit, StoresEachUinputShapeAndRefusesAPointerOutputItDoesNotName) {
  TempDeviceRoot scratch;
  PseudoTerminal line;
  const std::string root = scratch.path() + "/touch0";
  InitRun refused = Init(root, {"--port", line.slavePath(), "--pointer", "touch"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.error.find("--pointer takes windows, log, xtest, uinput or uinput-touch, not 'touch'"),
            std::string::npos)
      << refused.error;
  EXPECT_TRUE(ReadFile(root + "/registry.reg").empty());
  for (const char *pointer : {"uinput-touch", "uinput"}) {
    InitRun made = Init(root, {"--port", line.slavePath(), "--pointer", pointer, "--force"});
    ASSERT_EQ(made.code, 0) << made.error;
    const std::string text = ReadFile(root + "/registry.reg");
    EXPECT_NE(text.find("\"Pointer\"=\"" + std::string(pointer) + "\"\n"), std::string::npos) << text;
  }
}

std::string OwnersAndMode(const std::string &path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return "missing";
  const group *entry = getgrgid(info.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return std::to_string(info.st_uid) + ":" + (entry != nullptr ? entry->gr_name : "?") + " " + mode;
}

// Root makes a device root for the service: its members may read the hive and publish windows in
// run/, and change nothing else. What init makes or replaces there is reached without following
// a link that someone else put in its way, and it refuses folders that others could swap.
TEST(NrvctlInit, AsRootMakesTheServicesRootAndActsOnNothingOthersCouldChoose) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  testing_support::MemberGroup group;
  ASSERT_TRUE(group.exists()) << "groupadd norvik failed";
  TempDeviceRoot scratch;
  PseudoTerminal line;
  const std::string root = scratch.path() + "/touch0";
  // No service account on a build machine: root owns what the account would.
  const std::string owner = std::to_string(getpwnam("norvikd") != nullptr ? getpwnam("norvikd")->pw_uid : 0);

  InitRun made = Init(root, {"--port", line.slavePath()});
  ASSERT_EQ(made.code, 0) << made.error;
  EXPECT_EQ(OwnersAndMode(root), owner + ":norvik 2750");
  EXPECT_EQ(OwnersAndMode(root + "/registry.reg"), owner + ":norvik 0640");
  EXPECT_EQ(OwnersAndMode(root + "/registry.reg.lock"), owner + ":norvik 0600");
  EXPECT_EQ(OwnersAndMode(root + "/run"), owner + ":norvik 3770");

  // A root of the earlier layout, 2770, where a member put links to root's own files.
  const std::string victim = scratch.path() + "/victim";
  WriteFile(victim, "root's own\n");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  ASSERT_EQ(chmod(root.c_str(), 02770), 0);
  ASSERT_EQ(unlink((root + "/registry.reg.lock").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (root + "/registry.reg.lock").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (root + "/registry.reg.init").c_str()), 0);
  InitRun linked = Init(root, {"--port", line.slavePath(), "--force"});
  EXPECT_EQ(linked.code, 1);
  EXPECT_NE(linked.error.find(root + "/registry.reg.lock: it is a symbolic link: remove it"), std::string::npos)
      << linked.error;
  EXPECT_EQ(ReadFile(victim), "root's own\n");
  EXPECT_EQ(OwnersAndMode(victim), "0:root 0600");
  EXPECT_EQ(OwnersAndMode(root), owner + ":norvik 2750") << "the root is closed to others first";
  ASSERT_EQ(unlink((root + "/registry.reg.lock").c_str()), 0);
  InitRun mended = Init(root, {"--port", line.slavePath(), "--force"});
  EXPECT_EQ(mended.code, 0) << mended.error;
  EXPECT_EQ(ReadFile(victim), "root's own\n");

  // Folders that someone else could swap: one of another user's, one that others may write.
  const std::string foreign = scratch.path() + "/foreign";
  const std::string open = scratch.path() + "/open";
  const std::string sticky = scratch.path() + "/sticky";
  ASSERT_EQ(mkdir(foreign.c_str(), 0755), 0);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(sticky.c_str(), 0777), 0);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  ASSERT_EQ(mkdir((scratch.path() + "/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(symlink((scratch.path() + "/elsewhere").c_str(), (scratch.path() + "/link").c_str()), 0);
  const struct {
    std::string root;
    std::string says;
  } refused[] = {
      {foreign + "/touch0", foreign + " belongs to "},
      {foreign, foreign + ": it belongs to "},
      {open + "/touch0", open + ": others may write it (mode 0777)"},
      {scratch.path() + "/link/touch0", scratch.path() + "/link is a symbolic link"},
      {scratch.path() + "/link", scratch.path() + "/link: it is a symbolic link or not a folder"},
  };
  for (const auto &c : refused) {
    InitRun run = Init(c.root, {"--port", line.slavePath()});
    EXPECT_EQ(run.code, 1) << c.root;
    EXPECT_NE(run.error.find(c.says), std::string::npos) << c.root << ": " << run.error;
    EXPECT_EQ(OwnersAndMode(c.root + "/registry.reg"), "missing") << c.root;
  }
  // A sticky folder (as /tmp) lets nobody swap what root made in it.
  InitRun inSticky = Init(sticky + "/touch0", {"--port", line.slavePath()});
  EXPECT_EQ(inSticky.code, 0) << inSticky.error;
}

}  // namespace
