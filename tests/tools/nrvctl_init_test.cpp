// nrvctl init, run as a program: the device root it makes for a serial port, what a second init
// keeps of the first, the pointer outputs it stores, the ports it refuses, and its refusal to
// replace the registry under a running driver.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "controller_line_rates.h"
#include "process.h"
#include "scratch_accounts.h"
#include "serial_line_settings.h"
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
  std::string output;
};

InitRun Nrvctl(const std::string &root, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--root", root});
  ChildProcess nrvctl(NORVIK_BIN_DIR "/nrvctl", arguments);
  std::optional<ProcessExit> exit = nrvctl.WaitForExit(std::chrono::seconds(60));
  return {exit ? exit->code : -2, nrvctl.Output(Stream::kStderr), nrvctl.Output(Stream::kStdout)};
}

InitRun Init(const std::string &root, std::vector<std::string> options) {
  options.insert(options.begin(), "init");
  return Nrvctl(root, options);
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string OwnersAndMode(const std::string &path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return "missing";
  const group *entry = getgrgid(info.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return std::to_string(info.st_uid) + ":" + (entry != nullptr ? entry->gr_name : "?") + " " + mode;
}

TEST(NrvctlInit, ReplacesARegistryOnlyWithForceAndKeepsWhatNoOptionChanges) {
  TempDeviceRoot scratch;
  PseudoTerminal first;
  PseudoTerminal second;
  const std::string root = scratch.path() + "/touch0";
  const std::string hive = root + "/registry.reg";

  InitRun made = Init(root, {"--port", first.slavePath(), "--pointer", "log", "--baud", "19200"});
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
  text = Replace(text, "\"TouSound\"=dword:00000001",
                 "\"TouSound\"=dword:00000001\n\"Filter\"=\"smooth,noise=24\"\n\"LongPress\"=dword:00000258");
  WriteFile(hive, text);

  InitRun refused = Init(root, {"--port", second.slavePath()});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.error.find("--force"), std::string::npos) << refused.error;
  EXPECT_EQ(ReadFile(hive), text);

  // Each choice is replaced only by its own option, and the line says which were.
  const struct {
    std::vector<std::string> options;
    std::string port, rate, pointer, says;
    std::string monitor = "";  // the value Output, none when empty
    std::string size = "";     // the value Size, none when empty
  } steps[] = {
      {{"--force", "--port", second.slavePath()}, second.slavePath(), "00004b00", "\"Pointer\"=\"log\"\n\"PointerLog\"",
       "; replaced the port (was " + first.slavePath() + "); calibration and touch settings kept\n"},
      {{"--force"}, second.slavePath(), "00004b00", "\"Pointer\"=\"log\"\n\"PointerLog\"",
       "; unchanged, calibration and touch settings kept\n"},
      {{"--force", "--output", "HDMI-1"}, second.slavePath(), "00004b00", "\"Pointer\"=\"log\"\n\"PointerLog\"",
       " on monitor HDMI-1; replaced the monitor (was none); calibration and touch settings kept\n", "HDMI-1"},
      {{"--force", "--size", "344x194"}, second.slavePath(), "00004b00", "\"Pointer\"=\"log\"\n\"PointerLog\"",
       ", a panel of 344x194 mm; replaced the panel's size (was none); calibration and touch settings kept\n",
       "HDMI-1", "344x194"},
      {{"--force", "--pointer", "uinput", "--baud", "9600"}, second.slavePath(), "00002580", "\"Pointer\"=\"uinput\"\n",
       "; replaced the rate (was 19200) and the pointer output (was log); calibration and touch settings kept\n",
       "HDMI-1", "344x194"},
      {{"--force", "--output", "", "--touch-only", "on"}, second.slavePath(), "00002580",
       "\"Pointer\"=\"uinput\"\n\"TouchOnly\"=dword:00000001\n",
       "; replaced the monitor (was HDMI-1) and the buttons device (was made); calibration and touch settings kept\n",
       "", "344x194"},
  };
  for (const auto &step : steps) {
    InitRun replaced = Init(root, step.options);
    ASSERT_EQ(replaced.code, 0) << replaced.error;
    EXPECT_NE(replaced.output.find(step.says), std::string::npos) << replaced.output;
    const std::string after = ReadFile(hive);
    EXPECT_NE(after.find("\"LLX\"=dword:00000677"), std::string::npos) << after;
    EXPECT_NE(after.find("\"URY\"=dword:fffffe0c"), std::string::npos) << after;
    EXPECT_NE(after.find("\"MouseMod\"=dword:00000001"), std::string::npos) << after;
    EXPECT_NE(after.find("\"TouSound\"=dword:00000001"), std::string::npos) << after;
    EXPECT_NE(after.find("\"Filter\"=\"smooth,noise=24\""), std::string::npos) << "the touch filter was dropped";
    EXPECT_NE(after.find("\"LongPress\"=dword:00000258"), std::string::npos) << "the long press was dropped";
    EXPECT_NE(after.find("\"BaudRate\"=dword:" + step.rate), std::string::npos) << after;
    EXPECT_NE(after.find("\"COM1:\"=\"" + step.port + "\""), std::string::npos) << after;
    EXPECT_NE(after.find(step.pointer), std::string::npos) << after;
    EXPECT_EQ(after.find("[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Output\"=\"" + step.monitor + "\"\n") !=
                  std::string::npos,
              !step.monitor.empty())
        << after;
    EXPECT_EQ(after.find("\"Size\"=\"" + step.size + "\"\n") != std::string::npos, !step.size.empty()) << after;
  }
  InitRun badSize = Init(root, {"--force", "--size", "34cm"});
  EXPECT_EQ(badSize.code, 2);
  EXPECT_NE(badSize.error.find("--size takes the panel's width and height in millimetres"), std::string::npos)
      << badSize.error;
  EXPECT_EQ(ReadFile(hive).find("PointerLog"), std::string::npos) << "a uinput output writes no log";

  // The settings cannot be read: nothing is replaced, and --force without --port has nothing to keep.
  WriteFile(hive, "not a registry\n");
  InitRun unreadable = Init(root, {"--force"});
  EXPECT_EQ(unreadable.code, 2);
  EXPECT_NE(unreadable.error.find("cannot read the settings of the existing " + hive + " (error 1009)"),
            std::string::npos) << unreadable.error;
  InitRun none = Init(scratch.path() + "/touch1", {"--force"});
  EXPECT_EQ(none.code, 2);
  EXPECT_NE(none.error.find("/touch1/registry.reg does not exist, so there is no port to keep"), std::string::npos)
      << none.error;
  EXPECT_EQ(OwnersAndMode(scratch.path() + "/touch1"), "missing") << "a refused init makes nothing";
}

TEST(NrvctlInit, RefusesAPortThatIsNotAnExistingFreeTtyAndMakesNoRegistry) {
  TempDeviceRoot scratch;
  WriteFile(scratch.path() + "/plain", "not a tty");
  const std::string root = scratch.path() + "/touch0";
  // A program that has the line as its own, as devmgr and calvex do.
  PseudoTerminal taken;
  const int holder = open(taken.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  struct Case {
    std::string port;
    std::string says;
  };
  std::vector<Case> cases = {
      {"/dev/ttyUSB-none-such", "does not exist"},
      {scratch.path() + "/plain", "is not a tty"},
      {"/dev/null", "is not a tty"},
      {"ttyUSB0", "is not a path"},
      {taken.slavePath(), "(pid " + std::to_string(getpid()) + "), and a tty serves one program at a time: end it"},
  };
  // A /dev/ttyS node whose line the kernel has no UART for (ttyS191, the last minor).
  const std::string noUart = scratch.path() + "/ttyS191";
  if (mknod(noUart.c_str(), S_IFCHR | 0600, makedev(4, 255)) == 0)
    cases.push_back({noUart, "No such device or address: no serial line is behind the node"});
  for (const auto &bad : cases) {
    InitRun run = Init(root, {"--port", bad.port});
    EXPECT_EQ(run.code, 2) << bad.port;
    EXPECT_NE(run.error.find(bad.says), std::string::npos) << bad.port << ": " << run.error;
    EXPECT_NE(run.error.find(bad.port), std::string::npos) << run.error;
  }
  close(holder);
  EXPECT_TRUE(ReadFile(root + "/registry.reg").empty());
}

// While devmgr runs the driver, its registry is not replaced under it: the port, the rate and
// the pointer output would be taken up in part, at no moment anyone chose.
TEST(NrvctlInit, ReplacesNoRegistryWhileItsDriverRunsNorTakesItsPort) {
  TempDeviceRoot scratch;
  PseudoTerminal line;
  const std::string root = scratch.path() + "/touch0";
  ASSERT_EQ(Init(root, {"--port", line.slavePath(), "--pointer", "log"}).code, 0);
  const std::string before = ReadFile(root + "/registry.reg");
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", std::chrono::seconds(30)))
      << devmgr.Output(Stream::kStderr);

  InitRun running = Init(root, {"--force", "--baud", "19200"});
  EXPECT_EQ(running.code, 2);
  EXPECT_NE(running.error.find("the driver of " + root + " runs and holds COM1: (" + line.slavePath() +
                               "), so the registry is left as it is: stop the driver first (nrvctl --root " + root +
                               " stop), then run init again"),
            std::string::npos)
      << running.error;
  EXPECT_EQ(ReadFile(root + "/registry.reg"), before);
  InitRun other = Init(scratch.path() + "/touch1", {"--port", line.slavePath()});
  EXPECT_EQ(other.code, 2);
  EXPECT_NE(other.error.find("is held by devmgr (pid " + std::to_string(devmgr.pid()) + ") for the device root " +
                             root + ", and a tty serves one program at a time: stop its driver first"),
            std::string::npos)
      << other.error;

  ASSERT_EQ(Nrvctl(root, {"stop"}).code, 0);
  InitRun stopped = Init(root, {"--force", "--baud", "19200"});
  EXPECT_EQ(stopped.code, 0) << stopped.error;
  EXPECT_NE(ReadFile(root + "/registry.reg").find("\"BaudRate\"=dword:00004b00"), std::string::npos);
  devmgr.Signal(SIGTERM);
  EXPECT_TRUE(devmgr.WaitForExit(std::chrono::seconds(30)));

  // A driver whose port is gone holds nothing, and no stop ends devmgr's wait for it: the port is
  // corrected under it, and its next start takes the new one up.
  const std::string waiting = scratch.path() + "/touch2";
  const std::string gone = scratch.path() + "/ttyUSB0";
  ASSERT_EQ(symlink(line.slavePath().c_str(), gone.c_str()), 0);
  ASSERT_EQ(Init(waiting, {"--port", gone, "--pointer", "log"}).code, 0);
  ASSERT_EQ(unlink(gone.c_str()), 0);
  ChildProcess waitingDevmgr(NORVIK_BIN_DIR "/devmgr", {"--root", waiting});
  ASSERT_TRUE(waitingDevmgr.WaitForLine(Stream::kStdout, "NRV1: published", std::chrono::seconds(30)))
      << waitingDevmgr.Output(Stream::kStderr);
  InitRun corrected = Init(waiting, {"--force", "--port", line.slavePath()});
  EXPECT_EQ(corrected.code, 0) << corrected.error;
  EXPECT_NE(corrected.error.find("the driver of " + waiting + " runs without its port (COM1: (" + gone +
                                 ") could not be opened), and takes up the new registry when it starts again"),
            std::string::npos)
      << corrected.error;
  InitRun started = Nrvctl(waiting, {"start"});
  EXPECT_EQ(started.code, 0) << started.error;
  waitingDevmgr.Signal(SIGTERM);
  EXPECT_TRUE(waitingDevmgr.WaitForExit(std::chrono::seconds(30)));
}

// init --baud and set BaudRate= take the same rates, each one a serial port can run at, and
// refuse others with the same advice.
TEST(NrvctlInit, InitAndSetTakeTheSameLineRates) {
  for (unsigned long rate : kControllerRates) EXPECT_TRUE(platform::IsLineRate(rate)) << rate;
  TempDeviceRoot scratch;
  PseudoTerminal line;
  const std::string root = scratch.path() + "/touch0";
  ASSERT_EQ(Init(root, {"--port", line.slavePath(), "--pointer", "log", "--baud", "115200"}).code, 0);
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", std::chrono::seconds(30)))
      << devmgr.Output(Stream::kStderr);
  const std::string advice = ": use 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 (the controller's own, "
                             "usually 9600)\n";
  for (const char *rate : {"14400", "230400", "-9600"}) {
    InitRun init = Init(scratch.path() + "/touch1", {"--port", "/dev/null", "--baud", rate});
    EXPECT_EQ(init.code, 2) << rate;
    EXPECT_NE(init.error.find(std::string("--baud ") + rate + " is not a rate the controller sends at" + advice),
              std::string::npos) << init.error;
    InitRun set = Nrvctl(root, {"set", std::string("BaudRate=") + rate});
    EXPECT_EQ(set.code, 2) << rate;
    EXPECT_NE(set.error.find(std::string("BaudRate ") + rate + " is not a rate the controller sends at"),
              std::string::npos) << set.error;
    EXPECT_NE(set.error.find("nothing was stored" + advice), std::string::npos) << set.error;
  }
  EXPECT_EQ(Nrvctl(root, {"set", "BaudRate=57600"}).code, 0);
  EXPECT_NE(ReadFile(root + "/registry.reg").find("\"BaudRate\"=dword:0000e100"), std::string::npos);
  devmgr.Signal(SIGTERM);
  EXPECT_TRUE(devmgr.WaitForExit(std::chrono::seconds(30)));
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
  // A monitor's name goes into the hive as it stands, so one that could break it out is refused.
  refused = Init(root, {"--port", line.slavePath(), "--output", "HDMI\"1\n\x1b[2J"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.error.find("--output takes the name of a monitor as xrandr lists it"), std::string::npos)
      << refused.error;
  EXPECT_NE(refused.error.find("not 'HDMI\"1\\x0a\\x1b[2J'"), std::string::npos) << refused.error;
  EXPECT_TRUE(ReadFile(root + "/registry.reg").empty());
  for (const char *pointer : {"uinput-touch", "uinput"}) {
    InitRun made = Init(root, {"--port", line.slavePath(), "--pointer", pointer, "--force"});
    ASSERT_EQ(made.code, 0) << made.error;
    const std::string text = ReadFile(root + "/registry.reg");
    EXPECT_NE(text.find("\"Pointer\"=\"" + std::string(pointer) + "\"\n"), std::string::npos) << text;
  }
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
  // A FIFO a member put in the hive's place is refused, not waited on.
  ASSERT_EQ(unlink((root + "/registry.reg").c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/registry.reg").c_str(), 0600), 0);
  InitRun fifo = Init(root, {"--port", line.slavePath(), "--force"});
  EXPECT_EQ(fifo.code, 1);
  EXPECT_NE(fifo.error.find(root + "/registry.reg: it is not a regular file"), std::string::npos) << fifo.error;

  // A hive a member wrote in that layout: its port, pointer output, log and monitor are not kept,
  // its calibration is; one only root could write keeps them, its port checked as --port is, and
  // what it names is printed escaped.
  ASSERT_EQ(unlink((root + "/registry.reg").c_str()), 0);
  ASSERT_EQ(Init(root, {"--port", line.slavePath(), "--force"}).code, 0);
  const std::string hive = ReadFile(root + "/registry.reg");
  const auto withValues = [&](const std::string &port, const std::string &output) {
    return hive.substr(0, hive.find("[HKEY_LOCAL_MACHINE\\Platform\\Serial]")) +
           "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"" + port + "\"\n\n"
           "[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"../../victim\"\n\n"
           "[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Output\"=\"" + output + "\"\n";
  };
  const std::string calibrated = "\"LLX\"=dword:00000007";
  auto write = [&](const std::string &text, uid_t uid, mode_t mode) {
    const std::string path = root + "/registry.reg";
    WriteFile(path, text.substr(0, text.find("\"LLX\"=")) + calibrated + text.substr(text.find('\n', text.find("\"LLX\"="))));
    ASSERT_EQ(chown(path.c_str(), uid, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  };
  write(withValues(victim, "DUMMY0"), 65534, 0640);
  InitRun noPort = Init(root, {"--force"});
  EXPECT_EQ(noPort.code, 2);
  EXPECT_NE(noPort.error.find("the port of a registry that others could write is not kept"), std::string::npos)
      << noPort.error;
  InitRun member = Init(root, {"--port", line.slavePath(), "--force"});
  EXPECT_EQ(member.code, 0) << member.error;
  EXPECT_NE(member.error.find(root + "/registry.reg belongs to nobody, who could have chosen its port"),
            std::string::npos) << member.error;
  std::string replaced = ReadFile(root + "/registry.reg");
  EXPECT_NE(replaced.find(calibrated), std::string::npos) << replaced;
  EXPECT_EQ(replaced.find("victim"), std::string::npos) << replaced;
  EXPECT_EQ(replaced.find("DUMMY0"), std::string::npos) << replaced;
  write(withValues(victim, "DUMMY0"), 0, 0660);
  InitRun writable = Init(root, {"--port", line.slavePath(), "--force"});
  EXPECT_NE(writable.error.find("may be written by others than its owner (mode 0660)"), std::string::npos)
      << writable.error;
  write(withValues(victim, "DUMMY0"), 0, 0640);
  InitRun notATty = Init(root, {"--force"});
  EXPECT_EQ(notATty.code, 2);
  EXPECT_NE(notATty.error.find("port " + victim + " is not a tty"), std::string::npos) << notATty.error;
  write(withValues(line.slavePath(), "HDMI\xc2\x9b" "2J"), 0, 0640);  // a terminal's CSI, as UTF-8
  InitRun escaped = Init(root, {"--force"});
  EXPECT_EQ(escaped.code, 0) << escaped.error;
  EXPECT_NE(escaped.output.find("on monitor HDMI\\xc2\\x9b2J"), std::string::npos) << escaped.output;
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
  // An init run without sudo on a root that root made names sudo as the fix.
  const std::string rootsOwn = scratch.path() + "/roots-own";
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  ASSERT_EQ(mkdir(rootsOwn.c_str(), 0755), 0);
  ASSERT_EQ(chmod(line.slavePath().c_str(), 0666), 0);
  ChildProcess unprivileged("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                 NORVIK_BIN_DIR "/nrvctl", "--root", rootsOwn, "init", "--port",
                                                 line.slavePath()});
  std::optional<ProcessExit> exit = unprivileged.WaitForExit(std::chrono::seconds(60));
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->code, 1);
  EXPECT_EQ(unprivileged.Output(Stream::kStderr),
            "nrvctl: init: cannot set the mode of " + rootsOwn + ": Operation not permitted: run init as root (sudo "
            "nrvctl ...)\n");
  // A sticky folder (as /tmp) lets nobody swap what root made in it.
  InitRun inSticky = Init(sticky + "/touch0", {"--port", line.slavePath()});
  EXPECT_EQ(inSticky.code, 0) << inSticky.error;
}

}  // namespace
