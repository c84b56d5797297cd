// End-to-end tests of the device manager: the real bin/devmgr on a temporary device root whose
// hive lists the test driver, reached through CreateFileW, DeviceIoControl, ReadFile, WriteFile and
// CloseHandle from this process and from a forked one.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <windows.h>

#include "../drivers/test_driver.h"
#include "debug_capture.h"
#include "platform/faults.h"
#include "process.h"
#include "platform/trusted_path.h"
#include "scoped_descriptor.h"
#include "scratch_accounts.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ScopedDescriptor;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{20000};  // generous: sanitizer builds start slowly
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

struct HandleCloser {
  void operator()(void *handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

HANDLE OpenDevice(const char16_t *name, DWORD access = kReadWrite) {
  return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string DriverKey(const std::string &name, const std::string &prefix, int index, const std::string &extra = "",
                      const std::string &dll = "libtest_driver.so") {
  char indexValue[32];
  std::snprintf(indexValue, sizeof(indexValue), "\"Index\"=dword:%08x\n", index);
  return "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\" + name + "]\n\"Dll\"=\"" + dll + "\"\n\"Prefix\"=\"" + prefix +
         "\"\n" + indexValue + extra + "\n";
}

std::string Order(int order) {
  char text[32];
  std::snprintf(text, sizeof(text), "\"Order\"=dword:%08x\n", order);
  return text;
}

int RemainingMilliseconds(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until the file holds `text`, woken by inotify on its folder.
bool WaitForFileText(const std::string &path, const std::string &text) {
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, path.substr(0, path.rfind('/')).c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE);
  auto deadline = std::chrono::steady_clock::now() + kBound;
  bool found = false;
  while (!(found = testing_support::ReadFile(path).find(text) != std::string::npos)) {
    int left = RemainingMilliseconds(deadline);
    if (left == 0) break;
    pollfd changed{watch, POLLIN, 0};
    poll(&changed, 1, left);
    char events[4096];
    while (read(watch, events, sizeof(events)) > 0) {
    }
  }
  close(watch);
  return found;
}

// The exit status of a forked child, or -1 when it has not ended within the bound.
int WaitForChild(pid_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd exited{pidfd, POLLIN, 0};
  bool ended = pidfd >= 0 && poll(&exited, 1, static_cast<int>(kBound.count())) == 1;
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  if (!ended) kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A connection to a socket that sends nothing: a program that keeps a device's connection.
int ConnectTo(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A listening socket at path, bound by this process.
int ListenAt(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd >= 0 && (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

struct Scheduling {
  int policy = -1;
  int realTimePriority = -1;
  bool operator==(const Scheduling &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Scheduling &s) {
  return out << "policy " << s.policy << " priority " << s.realTimePriority;
}

// A thread's policy and real-time priority, as the kernel reports them in
// /proc/PID/task/TID/stat (fields 41 and 40, counted after the command name's closing parenthesis).
Scheduling ThreadScheduling(pid_t process, DWORD thread) {
  std::string stat = testing_support::ReadFile("/proc/" + std::to_string(process) + "/task/" +
                                               std::to_string(thread) + "/stat");
  size_t end = stat.rfind(')');
  if (end == std::string::npos) return {};
  std::istringstream fields(stat.substr(end + 2));
  std::vector<std::string> field;
  for (std::string f; fields >> f;) field.push_back(f);
  if (field.size() < 39) return {};
  return {std::stoi(field[38]), std::stoi(field[37])};
}

// Whether this process may give a thread SCHED_FIFO at `priority` (root with CAP_SYS_NICE, or a
// real-time priority limit that high).
bool MaySetRealTime(int priority) {
  bool allowed = false;
  std::thread([&] {
    sched_param parameters{};
    parameters.sched_priority = priority;
    allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
  }).join();
  return allowed;
}

class DevmgrTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> Start(const std::string &hive,
                                      const std::map<std::string, std::optional<std::string>> &environment = {}) {
    root_.WriteHive(hive);
    return std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/devmgr", std::vector<std::string>{"--root", root_.path()},
                                          environment);
  }

  static bool Published(ChildProcess &devmgr, const std::string &name) {
    return devmgr.WaitForLine(Stream::kStdout, name + " published", kBound).has_value();
  }

  std::string LogPath() const { return root_.path() + "/test_driver.log"; }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::string text = testing_support::ReadFile(LogPath());
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }

  bool SocketExists(const std::string &device) const {
    struct stat info {};
    return stat((root_.path() + "/run/device." + device).c_str(), &info) == 0;
  }

  testing_support::TempDeviceRoot root_;
};

// --- Loading and publishing ---------------------------------------------------------------------

TEST_F(DevmgrTest, LoadsByOrderThenKeyNameAndDeinitialisesInReverseOnStop) {
  auto devmgr = Start(DriverKey("Last", "TST", 3, "", "Test_Driver.DLL") + DriverKey("Second", "TST", 2, Order(5)) +
                      DriverKey("Early", "TSM", 1, Order(1)) +
                      DriverKey("First", "TST", 1, Order(5), NORVIK_LIB_DIR "/libtest_driver.so"));
  ASSERT_TRUE(Published(*devmgr, "TST3:"));
  ASSERT_TRUE(devmgr->Signal(SIGTERM));
  auto exit = devmgr->WaitForExit(kBound);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0);

  EXPECT_EQ(devmgr->Lines(Stream::kStdout),
            (std::vector<std::string>{"devmgr: TSM1: published (Drivers\\BuiltIn\\Early, libtest_driver.so)",
                                      "devmgr: TST1: published (Drivers\\BuiltIn\\First, libtest_driver.so)",
                                      "devmgr: TST2: published (Drivers\\BuiltIn\\Second, libtest_driver.so)",
                                      "devmgr: TST3: published (Drivers\\BuiltIn\\Last, libtest_driver.so)"}));
  EXPECT_EQ(devmgr->Output(Stream::kStderr), "");
  // One library behind four devices: attached once, detached after the last Deinit.
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "DllMain attach", "Init Drivers\\BuiltIn\\Early zones=0x00000001",
                            "Init Drivers\\BuiltIn\\First zones=0x00000001",
                            "Init Drivers\\BuiltIn\\Second zones=0x00000001",
                            "Init Drivers\\BuiltIn\\Last zones=0x00000001", "Deinit Drivers\\BuiltIn\\Last",
                            "Deinit Drivers\\BuiltIn\\Second", "Deinit Drivers\\BuiltIn\\First",
                            "Deinit Drivers\\BuiltIn\\Early", "DllMain detach"}));
  for (const char *device : {"TSM1", "TST1", "TST2", "TST3"}) EXPECT_FALSE(SocketExists(device)) << device;
}

TEST_F(DevmgrTest, KeysThatCannotBeLoadedAreReportedAndTheOthersStillPublish) {
  testing_support::WriteFile(root_.path() + "/notalib.so", "not a shared library");
  struct Case {
    std::string key;
    std::string expectedReport;
  };
  const Case cases[] = {
      {DriverKey("Missing", "MIS", 1, Order(1), "libmissing.so"),
       "Drivers\\BuiltIn\\Missing (libmissing.so): library not found"},
      {DriverKey("Garbage", "GAR", 1, Order(2), root_.path() + "/notalib.so"),
       "Garbage (" + root_.path() + "/notalib.so): cannot load"},
      {DriverKey("NoInit", "XYZ", 1, Order(3)), "NoInit (libtest_driver.so): the library exports no XYZ_Init"},
      {DriverKey("BadPrefix", "T1X", 1, Order(4)), "BadPrefix (libtest_driver.so): \"Prefix\" must be"},
      {DriverKey("BadIndex", "TST", 10, Order(5)), "BadIndex (libtest_driver.so): \"Index\" must be"},
      {"[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\NoPrefix]\n\"Dll\"=\"libtest_driver.so\"\n\n",
       "NoPrefix (libtest_driver.so): no \"Prefix\" value"},
      {DriverKey("Refuses", "TST", 2, Order(6) + "\"FailInit\"=dword:00000001\n"),
       "Refuses (libtest_driver.so): TST_Init returned 0 (last error 31), so TST2: is not published"},
      {DriverKey("Duplicate", "TST", 1, Order(200)),
       "Duplicate (libtest_driver.so): TST1: is already published by an earlier key"},
  };
  std::string hive = DriverKey("Good", "TST", 1, Order(100));
  for (const Case &c : cases) hive += c.key;
  auto devmgr = Start(hive);
  ASSERT_TRUE(Published(*devmgr, "TST1:"));
  for (const Case &c : cases)
    EXPECT_TRUE(devmgr->WaitForLine(Stream::kStderr, c.expectedReport, kBound)) << c.expectedReport;
  EXPECT_EQ(devmgr->Lines(Stream::kStdout).size(), 1u);
  EXPECT_FALSE(SocketExists("TST2"));
  EXPECT_EQ(OpenDevice(u"TST2:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  Handle good(OpenDevice(u"TST1:"));
  EXPECT_NE(good.get(), INVALID_HANDLE_VALUE);
}

TEST_F(DevmgrTest, LibraryOthersCouldReplaceIsRefusedAndTheOthersStillPublish) {
  // The test driver copied into a folder its group may write, and reached through a link.
  const std::string shared = root_.path() + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0775), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0775), 0);
  std::filesystem::copy_file(NORVIK_LIB_DIR "/libtest_driver.so", shared + "/libtest_driver.so");
  ASSERT_EQ(symlink(NORVIK_LIB_DIR, (root_.path() + "/lib").c_str()), 0);
  struct Case {
    std::string key;
    std::string expectedReport;
  };
  const Case cases[] = {
      {DriverKey("Shared", "TST", 2, "", shared + "/libtest_driver.so"),
       "Drivers\\BuiltIn\\Shared (" + shared + "/libtest_driver.so): refused to load " + shared +
           "/libtest_driver.so: " + shared + " may be written by others (mode 0775)"},
      {DriverKey("Linked", "TST", 3, "", root_.path() + "/lib/libtest_driver.so"),
       "Drivers\\BuiltIn\\Linked (" + root_.path() + "/lib/libtest_driver.so): refused to load " + root_.path() +
           "/lib/libtest_driver.so: " + root_.path() + "/lib is a symbolic link"},
  };
  std::string hive = DriverKey("Good", "TST", 1, Order(100));
  for (const Case &c : cases) hive += c.key;
  auto devmgr = Start(hive);
  ASSERT_TRUE(Published(*devmgr, "TST1:"));
  for (const Case &c : cases) {
    auto line = devmgr->WaitForLine(Stream::kStderr, c.expectedReport, kBound);
    ASSERT_TRUE(line) << c.expectedReport << "\n" << devmgr->Output(Stream::kStderr);
    EXPECT_NE(line->find("install the driver library where only root may change it"), std::string::npos) << *line;
  }
  EXPECT_EQ(devmgr->Lines(Stream::kStdout).size(), 1u);
  EXPECT_FALSE(SocketExists("TST2"));
  EXPECT_FALSE(SocketExists("TST3"));
}

TEST_F(DevmgrTest, LibraryWhoseDllMainRefusesIsNotLoaded) {
  auto devmgr = Start(DriverKey("Test", "TST", 1), {{"TEST_DRIVER_REFUSE_ATTACH", "1"}});
  EXPECT_TRUE(devmgr->WaitForLine(Stream::kStderr, "Drivers\\BuiltIn\\Test (libtest_driver.so): DllMain returned FALSE",
                                  kBound));
  ASSERT_TRUE(devmgr->Signal(SIGTERM));
  ASSERT_TRUE(devmgr->WaitForExit(kBound));
  EXPECT_EQ(devmgr->Output(Stream::kStdout), "");
  EXPECT_EQ(testing_support::ReadFile(LogPath()), "");
}

TEST_F(DevmgrTest, DebugZoneMaskFromTheRegistryReachesTheDriverBeforeInit) {
  struct Case {
    std::string zones;
    std::string expectedInit;
  };
  const Case cases[] = {
      {"", "Init Drivers\\BuiltIn\\Test zones=0x00000001"},
      {"[HKEY_LOCAL_MACHINE\\Platform\\DebugZones]\n\"TestDriver\"=dword:0000800c\n",
       "Init Drivers\\BuiltIn\\Test zones=0x0000800c"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expectedInit);
    unlink(LogPath().c_str());
    auto devmgr = Start(DriverKey("Test", "TST", 1) + c.zones);
    ASSERT_TRUE(Published(*devmgr, "TST1:"));
    std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], c.expectedInit);
  }
}

TEST_F(DevmgrTest, BadCommandLinesExitWithStatus2AndSayWhatToDo) {
  struct Case {
    std::vector<std::string> arguments;
    std::string expectedMessage;
  };
  // Device roots others could change: a root anyone may write, a hive its group may write, a hive
  // that is a link to another file, a run/ that is a link.
  auto makeRoot = [&](const std::string &name, mode_t mode) {
    const std::string path = root_.path() + "/" + name;
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  };
  const std::string open = makeRoot("open", 0777);
  const std::string groupHive = makeRoot("grouphive", 0700);
  testing_support::WriteFile(groupHive + "/registry.reg", "");
  ASSERT_EQ(chmod((groupHive + "/registry.reg").c_str(), 0664), 0);
  const std::string linkedHive = makeRoot("linkedhive", 0700);
  ASSERT_EQ(symlink("/etc/passwd", (linkedHive + "/registry.reg").c_str()), 0);
  const std::string linkedRun = makeRoot("linkedrun", 0700);
  ASSERT_EQ(symlink("/tmp", (linkedRun + "/run").c_str()), 0);
  const Case cases[] = {
      {{}, "devmgr: no device root: pass --root DIR or set DEVICE_ROOT"},
      {{"--root", root_.path() + "/absent"}, "is not a directory"},
      {{"--root", root_.path(), "--verbose"}, "devmgr: unknown argument '--verbose'"},
      {{"--root", open},
       "devmgr: refusing device root " + open + ": it may be written by others (mode 0777), who could replace its "
       "hive; for a root made by nrvctl init, run `nrvctl --root " + open + " init --force` as root"},
      {{"--root", groupHive},
       "devmgr: refusing device root " + groupHive + ": " + groupHive +
           "/registry.reg may be written by others (mode 0664); "},
      {{"--root", linkedHive},
       "devmgr: refusing device root " + linkedHive + ": " + linkedHive + "/registry.reg is a symbolic link"},
      {{"--root", linkedRun}, "devmgr: cannot use " + linkedRun + "/run: it is a symbolic link"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expectedMessage);
    ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", c.arguments, {{"DEVICE_ROOT", std::nullopt}});
    auto exit = devmgr.WaitForExit(kBound);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 2);
    EXPECT_NE(devmgr.Output(Stream::kStderr).find(c.expectedMessage), std::string::npos)
        << devmgr.Output(Stream::kStderr);
  }
}

// A devmgr that publishes nothing ends, so that its service shows the failure: with 2 when
// nothing can be published until the hive or the files are corrected, 1 when a driver's Init
// failed, which a new start may get past.
TEST_F(DevmgrTest, OneThatPublishesNothingEndsWithAStatusThatSaysWhetherAgainMayHelp) {
  const struct {
    const char *what;
    std::string hive;
    int status;
  } cases[] = {
      {"an unreadable hive", "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\n\"Dll\"=\n", 2},
      {"no drivers", "[HKEY_LOCAL_MACHINE\\Platform\\Input]\n", 2},
      {"a library that is missing", DriverKey("Missing", "MIS", 1, "", "libmissing.so"), 2},
      {"an Init that fails", DriverKey("Refuses", "TST", 1, "\"FailInit\"=dword:00000001\n"), 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    root_.WriteHive(c.hive);
    ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root_.path()});
    auto exit = devmgr.WaitForExit(kBound);
    ASSERT_TRUE(exit) << "devmgr went on serving nothing";
    EXPECT_EQ(exit->code, c.status);
    EXPECT_NE(devmgr.Output(Stream::kStderr).find("devmgr: nothing is published on " + root_.path() +
                                                  " (see the lines above), so devmgr ends with status " +
                                                  std::to_string(c.status)),
              std::string::npos)
        << devmgr.Output(Stream::kStderr);
  }
}

// The pointer output's devices must exist before the first touch, or the desktop opens them
// too late for it; one that cannot start is tried again until it does, with no touch needed.
TEST_F(DevmgrTest, PointerOutputStartsBeforeAnyTouchAndOneThatCannotIsTriedAgainUntilItDoes) {
  const std::string events = root_.path() + "/events";
  testing_support::WriteFile(events, "");
  const std::string input = "[HKEY_LOCAL_MACHINE\\Platform\\Input]\n";
  auto made = Start(DriverKey("Test", "TST", 1) + input + "\"Pointer\"=\"uinput\"\n",
                    {{"PLATFORM_UINPUT_DEVICE", events}});
  EXPECT_TRUE(made->WaitForLine(Stream::kStderr, "gwes: PLATFORM_UINPUT_DEVICE " + events + " is not a device", kBound))
      << made->Output(Stream::kStderr);
  ASSERT_TRUE(Published(*made, "TST1:"));
  made.reset();

  const std::string folder = root_.path() + "/later";
  auto retried = Start(DriverKey("Test", "TST", 1) + input + "\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + folder +
                       "/pointer.log\"\n");
  ASSERT_TRUE(retried->WaitForLine(Stream::kStderr, "calls are dropped until it starts (tried again every 2 s)", kBound))
      << retried->Output(Stream::kStderr);
  ASSERT_TRUE(Published(*retried, "TST1:"));
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_TRUE(retried->WaitForLine(Stream::kStderr, "gwes: the pointer output \"log\" started on a later try", kBound))
      << retried->Output(Stream::kStderr);
  EXPECT_TRUE(std::filesystem::exists(folder + "/pointer.log"));
  // The tries that failed alike said nothing more.
  const std::string said = retried->Output(Stream::kStderr);
  EXPECT_EQ(said.find("tried again every 2 s"), said.rfind("tried again every 2 s")) << said;
}

TEST_F(DevmgrTest, SecondDevmgrOnTheSameRootLeavesTheFirstOnesDeviceAlone) {
  auto first = Start(DriverKey("Test", "TST", 1));
  ASSERT_TRUE(Published(*first, "TST1:"));
  auto second = Start(DriverKey("Test", "TST", 1));
  EXPECT_TRUE(second->WaitForLine(Stream::kStderr, "TST1: is already published by another devmgr", kBound));
  ASSERT_TRUE(second->Signal(SIGTERM));
  ASSERT_TRUE(second->WaitForExit(kBound));
  Handle device(OpenDevice(u"TST1:"));
  EXPECT_NE(device.get(), INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(DevmgrTest, SocketLeftByAKilledDevmgrFailsOpensUntilANewOnePublishes) {
  auto killed = Start(DriverKey("Test", "TST", 1));
  ASSERT_TRUE(Published(*killed, "TST1:"));
  ASSERT_TRUE(killed->Signal(SIGKILL));
  ASSERT_TRUE(killed->WaitForExit(kBound));
  EXPECT_EQ(OpenDevice(u"TST1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));

  auto replacement = Start(DriverKey("Test", "TST", 1));
  ASSERT_TRUE(Published(*replacement, "TST1:"));
  Handle device(OpenDevice(u"tst1:"));
  EXPECT_NE(device.get(), INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(DevmgrTest, TheDeviceSocketIsMadeWithTheModeOfItsFolder) {
  struct Case {
    mode_t rootMode;
    mode_t expectedSocketMode;
  };
  // run/ follows the root when devmgr makes it (a root shared with its group gives 3770); nothing
  // devmgr makes is for others.
  const Case cases[] = {{0700, 0600}, {02750, 0660}, {0755, 0640}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rootMode);
    rmdir((root_.path() + "/run").c_str());
    ASSERT_EQ(chmod(root_.path().c_str(), c.rootMode), 0);
    auto devmgr = Start(DriverKey("Test", "TST", 1));
    ASSERT_TRUE(Published(*devmgr, "TST1:"));
    struct stat info {};
    ASSERT_EQ(lstat((root_.path() + "/run/device.TST1").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, c.expectedSocketMode);
    ASSERT_TRUE(devmgr->Signal(SIGTERM));
    ASSERT_TRUE(devmgr->WaitForExit(kBound));
  }
}

// run/ is open to members, so whatever someone made at a device's path while no devmgr listened
// (a link, a file, a folder with something in it, a socket) is cleared out of the way by devmgr,
// which owns the folder, with a line naming whose it was, and never followed.
TEST_F(DevmgrTest, WhatAnyoneLeftAtADevicePathIsClearedAndTheLineNamesWhose) {
  const std::string run = root_.path() + "/run";
  const std::string target = root_.path() + "/target";
  testing_support::WriteFile(target, "kept");
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  ASSERT_EQ(symlink(target.c_str(), (run + "/device.TST1").c_str()), 0);
  testing_support::WriteFile(run + "/device.TST2", "a file");
  close(ListenAt(run + "/device.TST3"));  // what a killed devmgr leaves
  ASSERT_EQ(mkdir((run + "/device.TST4").c_str(), 0700), 0);
  testing_support::WriteFile(run + "/device.TST4/inside", "");
  std::unique_ptr<testing_support::ScratchUser> member;
  std::string owner = platform::UserName(geteuid());
  if (geteuid() == 0) {
    member = std::make_unique<testing_support::ScratchUser>("nrvmember");
    ASSERT_TRUE(member->made());
    owner = member->name();
    for (const char *entry : {"/device.TST1", "/device.TST2", "/device.TST4/inside", "/device.TST4"})
      ASSERT_EQ(lchown((run + entry).c_str(), getpwnam(owner.c_str())->pw_uid, static_cast<gid_t>(-1)), 0);
  }
  // A folder whose every name beside it that devmgr could move it to is taken already.
  ASSERT_EQ(mkdir((run + "/device.TST5").c_str(), 0700), 0);
  testing_support::WriteFile(run + "/device.TST5/inside", "");
  struct stat folder {};
  ASSERT_EQ(stat((run + "/device.TST5").c_str(), &folder), 0);
  for (int n = 0; n < 100; ++n)
    testing_support::WriteFile(run + "/.in-the-way." + std::to_string(folder.st_ino) + "." + std::to_string(n), "");
  // Two processes that make a file at the path again whenever it is gone, while devmgr starts.
  std::vector<pid_t> racers;
  const std::string raced = run + "/device.TST6";
  for (int i = 0; i < 2; ++i) {
    racers.push_back(fork());
    ASSERT_GE(racers.back(), 0);
    if (racers.back() == 0)
      for (;;) close(open(raced.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  }
  const std::string keys = DriverKey("Test", "TST", 1) + DriverKey("Other", "TST", 2) + DriverKey("Third", "TST", 3) +
                           DriverKey("Fourth", "TST", 4) + DriverKey("Fifth", "TST", 5) + DriverKey("Sixth", "TST", 6);
  auto devmgr = Start(keys);
  for (const char *device : {"TST1:", "TST2:", "TST3:", "TST4:", "TST5:", "TST6:"})
    EXPECT_TRUE(Published(*devmgr, device)) << device << devmgr->Output(Stream::kStderr);
  for (pid_t racer : racers) {
    kill(racer, SIGKILL);
    WaitForChild(racer);
  }
  EXPECT_TRUE(devmgr->WaitForLine(Stream::kStderr, "TST1: removed " + run + "/device.TST1, a symbolic link of " + owner +
                                                       ", which was in the way of its socket", kBound));
  EXPECT_TRUE(devmgr->WaitForLine(Stream::kStderr, "TST2: removed " + run + "/device.TST2, a file of " + owner, kBound));
  EXPECT_TRUE(devmgr->WaitForLine(Stream::kStderr, "TST4: moved " + run + "/device.TST4, a folder of " + owner, kBound));
  EXPECT_EQ(testing_support::ReadFile(target), "kept");
  EXPECT_TRUE(devmgr->WaitForLine(Stream::kStderr, "TST5: moved " + run + "/device.TST5, a folder of ", kBound));
  for (const char *device : {"TST1", "TST2", "TST3", "TST4", "TST5", "TST6"}) EXPECT_TRUE(SocketExists(device)) << device;
  ASSERT_TRUE(devmgr->Signal(SIGTERM));
  ASSERT_TRUE(devmgr->WaitForExit(kBound));
  EXPECT_FALSE(SocketExists("TST1"));
}

// The service starts devmgr under SCHED_FIFO for the driver's read thread; the threads that serve
// clients must not share it, and a thread the driver starts from one of them still gets it.
TEST_F(DevmgrTest, UnderSchedFifoOnlyTheThreadsTheDriverStartsKeepTheRealTimePriority) {
  if (!MaySetRealTime(10)) GTEST_SKIP() << "this process may not use SCHED_FIFO (it needs CAP_SYS_NICE)";
  for (const char *tool : {"/usr/bin/chrt", "/usr/bin/setpriv", "/usr/bin/prlimit"})
    if (access(tool, X_OK) != 0) GTEST_SKIP() << "no " << tool << " (util-linux)";
  root_.WriteHive(DriverKey("Test", "TST", 1));
  // As root, and as a user who may not set a real-time policy (no CAP_SYS_NICE, RLIMIT_RTPRIO 0),
  // as the service's account is where its manager may not raise that limit.
  const std::vector<std::string> asRoot{NORVIK_BIN_DIR "/devmgr"};
  const std::vector<std::string> asUser{"/usr/bin/prlimit", "--rtprio=0", "--", "/usr/bin/setpriv", "--reuid=65534",
                                        "--regid=65534", "--clear-groups", "--inh-caps=-all", "--",
                                        NORVIK_BIN_DIR "/devmgr"};
  for (const auto *command : {&asRoot, &asUser}) {
    SCOPED_TRACE(command == &asRoot ? "as root" : "as a user without the right to real-time priorities");
    const uid_t owner = command == &asRoot ? 0 : 65534;
    rmdir((root_.path() + "/run").c_str());  // made again by this devmgr, as its own
    ASSERT_EQ(chown(root_.path().c_str(), owner, owner), 0);
    ASSERT_EQ(chown(root_.registryPath().c_str(), owner, owner), 0);
    std::vector<std::string> arguments{"-f", "10"};
    arguments.insert(arguments.end(), command->begin(), command->end());
    arguments.insert(arguments.end(), {"--root", root_.path()});
    ChildProcess devmgr("/usr/bin/chrt", arguments);
    ASSERT_TRUE(Published(devmgr, "TST1:")) << devmgr.Output(Stream::kStderr);
    Handle device(OpenDevice(u"TST1:"));
    ASSERT_NE(device.get(), INVALID_HANDLE_VALUE) << GetLastError();
    DWORD ids[2] = {};
    ASSERT_TRUE(DeviceIoControl(device.get(), IOCTL_TST_START_THREAD, nullptr, 0, ids, sizeof(ids), nullptr, nullptr))
        << GetLastError();
    const Scheduling fifo10{SCHED_FIFO, 10}, ordinary{SCHED_OTHER, 0};
    EXPECT_EQ(ThreadScheduling(devmgr.pid(), static_cast<DWORD>(devmgr.pid())), fifo10) << "the main thread";
    EXPECT_EQ(ThreadScheduling(devmgr.pid(), ids[0]), ordinary) << "the thread serving the handle";
    EXPECT_EQ(ThreadScheduling(devmgr.pid(), ids[1]), fifo10) << "the thread the driver started";
    // The thread that accepts connections is not real-time either, so connecting cannot keep a
    // real-time thread busy.
    int accepting = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(devmgr.pid()) + "/task")) {
      if (testing_support::ReadFile(task.path().string() + "/comm") != "devmgr accept\n") continue;
      ++accepting;
      const DWORD id = static_cast<DWORD>(std::stoul(task.path().filename().string()));
      EXPECT_EQ(ThreadScheduling(devmgr.pid(), id), ordinary) << "the thread that accepts connections";
    }
    EXPECT_EQ(accepting, 1);
    device.reset();
    ASSERT_TRUE(devmgr.Signal(SIGTERM));
    ASSERT_TRUE(devmgr.WaitForExit(kBound));
    EXPECT_EQ(devmgr.Output(Stream::kStderr), "");
  }
}

// --- Calls --------------------------------------------------------------------------------------

class DevmgrCallTest : public DevmgrTest {
 protected:
  void SetUp() override {
    devmgr_ = Start(DriverKey("Test", "TST", 1) + DriverKey("Other", "TST", 2) + DriverKey("Minimal", "TSM", 1));
    ASSERT_TRUE(Published(*devmgr_, "TST1:") && Published(*devmgr_, "TST2:") && Published(*devmgr_, "TSM1:"));
  }

  std::unique_ptr<ChildProcess> devmgr_;
};

TEST_F(DevmgrCallTest, DeviceIoControlCarriesEveryBufferAsTheCallerAndDriverLeftIt) {
  const std::vector<BYTE> pattern = [] {
    std::vector<BYTE> bytes(65536);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 7 + 3);
    return bytes;
  }();
  auto bytes = [&](size_t n) { return std::vector<BYTE>(pattern.begin(), pattern.begin() + static_cast<long>(n)); };
  auto filled = [](size_t n, BYTE value) { return std::vector<BYTE>(n, value); };
  auto dwords = [](std::initializer_list<DWORD> values) {
    std::vector<BYTE> out(values.size() * sizeof(DWORD));
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
  };
  auto overlaid = [](std::vector<BYTE> base, const std::vector<BYTE> &front) {
    std::memcpy(base.data(), front.data(), front.size());
    return base;
  };
  constexpr DWORD kIn = TST_DESCRIBE_IN, kOut = TST_DESCRIBE_OUT, kReturned = TST_DESCRIBE_BYTES_RETURNED;
  struct Case {
    const char *name;
    DWORD code;
    std::optional<std::vector<BYTE>> in;  // nothing: a null pointer
    DWORD inLength;
    std::optional<std::vector<BYTE>> out;  // its contents before the call
    DWORD outLength;
    std::optional<DWORD> returned;  // nothing: a null pointer; else its value before the call
    BOOL expectedResult;
    DWORD expectedError;
    std::vector<BYTE> expectedOut;
    DWORD expectedReturned;
  };
  const Case cases[] = {
      {"echo fills the output", IOCTL_TST_ECHO, bytes(48), 48, filled(48, 0), 48, 0u, TRUE, 0, bytes(48), 48},
      {"bytes the driver leaves alone keep the caller's values", IOCTL_TST_ECHO, bytes(10), 10, filled(48, 0xAA), 48,
       0u, TRUE, 0, overlaid(filled(48, 0xAA), bytes(10)), 10},
      {"an untouched output and count keep the caller's values", IOCTL_TST_WRITE_NOTHING, bytes(4), 4,
       filled(16, 0x5C), 16, 1234u, TRUE, 0, filled(16, 0x5C), 1234},
      {"a null count pointer reaches the driver as null", IOCTL_TST_DESCRIBE, bytes(4), 4, filled(12, 0), 12,
       std::nullopt, TRUE, 0, dwords({kIn | kOut, 4, 12}), 0},
      {"a null input reaches the driver as null with its length", IOCTL_TST_DESCRIBE, std::nullopt, 7, filled(12, 0),
       12, 0u, TRUE, 0, dwords({kOut | kReturned, 7, 12}), kOut | kReturned},
      {"a null output reaches the driver as null", IOCTL_TST_DESCRIBE, bytes(4), 4, std::nullopt, 12, 0u, TRUE, 0, {},
       kIn | kReturned},
      {"a zero-length input stays non-null", IOCTL_TST_DESCRIBE, bytes(4), 0, filled(12, 0), 12, 0u, TRUE, 0,
       dwords({kIn | kOut | kReturned, 0, 12}), kIn | kOut | kReturned},
      {"a zero-length output stays non-null and untouched", IOCTL_TST_DESCRIBE, std::nullopt, 0, filled(4, 0x11), 0,
       0u, TRUE, 0, filled(4, 0x11), kOut | kReturned},
      {"the driver's last error comes back", IOCTL_TST_FAIL, dwords({1234}), 4, std::nullopt, 0, 77u, FALSE, 1234, {},
       77},
      {"an error code from the table comes back", IOCTL_TST_FAIL, dwords({ERROR_ACCESS_DENIED}), 4, std::nullopt, 0,
       std::nullopt, FALSE, ERROR_ACCESS_DENIED, {}, 0},
      {"the largest buffers pass whole", IOCTL_TST_ECHO, bytes(65536), 65536, filled(65536, 0), 65536, 0u, TRUE, 0,
       bytes(65536), 65536},
  };
  Handle device(OpenDevice(u"TST1:"));
  ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::vector<BYTE>> in = c.in, out = c.out;
    DWORD returned = c.returned.value_or(0);
    SetLastError(999);  // the caller's stale error must not survive the call
    BOOL result = DeviceIoControl(device.get(), c.code, in ? in->data() : nullptr, c.inLength,
                                  out ? out->data() : nullptr, c.outLength, c.returned ? &returned : nullptr, nullptr);
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(GetLastError(), c.expectedError);
    if (out) {
      EXPECT_TRUE(*out == c.expectedOut);
    }
    if (c.returned) {
      EXPECT_EQ(returned, c.expectedReturned);
    }
  }
}

TEST_F(DevmgrCallTest, CallsTheClientRefusesNeverReachTheDriver) {
  Handle device(OpenDevice(u"TST1:"));
  ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
  std::vector<BYTE> big(65537);
  OVERLAPPED overlapped{};
  struct Case {
    const char *name;
    std::function<BOOL()> call;
    DWORD expectedError;
  };
  const Case cases[] = {
      {"input over 64 KiB",
       [&] { return DeviceIoControl(device.get(), IOCTL_TST_ECHO, big.data(), 65537, nullptr, 0, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"output over 64 KiB",
       [&] { return DeviceIoControl(device.get(), IOCTL_TST_ECHO, nullptr, 0, big.data(), 65537, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"overlapped",
       [&] { return DeviceIoControl(device.get(), IOCTL_TST_ECHO, nullptr, 0, nullptr, 0, nullptr, &overlapped); },
       ERROR_NOT_SUPPORTED},
      {"injected fault", [&] {
         platform::InjectFault("DeviceIoControl", "TST1:", ERROR_GEN_FAILURE, 1);
         return DeviceIoControl(device.get(), IOCTL_TST_ECHO, nullptr, 0, nullptr, 0, nullptr, nullptr);
       },
       ERROR_GEN_FAILURE},
      {"read over 64 KiB", [&] {
         DWORD done = 0;
         return ReadFile(device.get(), big.data(), 65537, &done, nullptr);
       },
       ERROR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), c.expectedError);
  }
  platform::ClearFaults();
  DWORD earlierCalls = 99;
  ASSERT_TRUE(DeviceIoControl(device.get(), IOCTL_TST_CALL_COUNT, nullptr, 0, &earlierCalls, 4, nullptr, nullptr));
  EXPECT_EQ(earlierCalls, 0u);
}

TEST_F(DevmgrCallTest, DeviceIoControlOnAHandleThatIsNoOpenDeviceFails) {
  HANDLE closed = OpenDevice(u"TST1:");
  ASSERT_NE(closed, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(closed));
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const std::pair<HANDLE, DWORD> cases[] = {
      {closed, ERROR_INVALID_HANDLE}, {INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE}, {event.get(), ERROR_NOT_SUPPORTED}};
  for (const auto &[handle, expectedError] : cases) {
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_TST_ECHO, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), expectedError);
  }
}

TEST_F(DevmgrCallTest, OneHandleAtATimeAndFreeAgainAsSoonAsCloseHandleReturns) {
  HANDLE first = OpenDevice(u"TST1:");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  // The driver refuses a second open with ERROR_ACCESS_DENIED, and execute access without
  // giving a reason: then the caller sees ERROR_OPEN_FAILED.
  EXPECT_EQ(OpenDevice(u"TST1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenDevice(u"TST1:", GENERIC_EXECUTE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPEN_FAILED));
  for (int round = 0; round < 50; ++round) {
    ASSERT_TRUE(CloseHandle(first));
    first = OpenDevice(u"TST1:");
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << "round " << round << ", error " << GetLastError();
  }
  CloseHandle(first);
}

TEST_F(DevmgrCallTest, ReadFileAndWriteFileReachTheDriversReadAndWrite) {
  Handle device(OpenDevice(u"TST1:"));
  ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(device.get(), "hello", 5, &done, nullptr));
  EXPECT_EQ(done, 5u);
  char buffer[16];
  std::memset(buffer, '#', sizeof(buffer));
  ASSERT_TRUE(ReadFile(device.get(), buffer, sizeof(buffer), &done, nullptr));
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(std::string(buffer, sizeof(buffer)), "hello###########");
  ASSERT_TRUE(ReadFile(device.get(), buffer, sizeof(buffer), &done, nullptr));
  EXPECT_EQ(done, 0u);
  std::vector<char> tooMuch(2000, 'x');
  EXPECT_FALSE(WriteFile(device.get(), tooMuch.data(), 2000, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(DevmgrCallTest, EntryPointsTheDriverLacksFailWithNotSupported) {
  Handle device(OpenDevice(u"TSM1:"));
  ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
  BYTE out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_FALSE(DeviceIoControl(device.get(), IOCTL_TST_ECHO, nullptr, 0, out, sizeof(out), nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(out[7], 8);
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(device.get(), out, sizeof(out), &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(WriteFile(device.get(), out, sizeof(out), &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(DevmgrCallTest, HandlesOnDifferentDevicesAreServedConcurrently) {
  Handle waiting(OpenDevice(u"TST1:"));
  Handle signalling(OpenDevice(u"TST2:"));
  ASSERT_NE(waiting.get(), INVALID_HANDLE_VALUE);
  ASSERT_NE(signalling.get(), INVALID_HANDLE_VALUE);
  // Served one after the other, the wait would run out before the signal got through.
  BOOL woken = FALSE;
  std::thread waiter([&] {
    DWORD milliseconds = static_cast<DWORD>(kBound.count());
    woken = DeviceIoControl(waiting.get(), IOCTL_TST_WAIT, &milliseconds, 4, nullptr, 0, nullptr, nullptr);
  });
  EXPECT_TRUE(DeviceIoControl(signalling.get(), IOCTL_TST_SIGNAL, nullptr, 0, nullptr, 0, nullptr, nullptr));
  waiter.join();
  EXPECT_TRUE(woken);
}

TEST_F(DevmgrCallTest, ThreadsSharingOneHandleEachGetTheirOwnReplies) {
  Handle device(OpenDevice(u"TST1:"));
  ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        DWORD in[4] = {static_cast<DWORD>(t), static_cast<DWORD>(i), 0xC0FFEEu, static_cast<DWORD>(t * i)};
        DWORD out[4] = {};
        DWORD returned = 0;
        if (!DeviceIoControl(device.get(), IOCTL_TST_ECHO, in, sizeof(in), out, sizeof(out), &returned, nullptr) ||
            returned != sizeof(in) || std::memcmp(in, out, sizeof(in)) != 0)
          ++mismatches;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(DevmgrCallTest, ProcessThatDiesHoldingAHandleHasItClosed) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(OpenDevice(u"TST1:") != INVALID_HANDLE_VALUE ? 0 : 1);
  ASSERT_EQ(WaitForChild(child), 0);
  EXPECT_TRUE(WaitForFileText(LogPath(), "Close Drivers\\BuiltIn\\Test\n"));
  Handle device(OpenDevice(u"TST1:"));
  EXPECT_NE(device.get(), INVALID_HANDLE_VALUE) << GetLastError();
}

// --- Connections and who they reach -------------------------------------------------------------

// A connection holds one of a device's 16 places; another user holds at most 4 of them, and one
// that opens nothing gives its place back after 10 s. Each refusal names who holds the places.
TEST_F(DevmgrCallTest, ConnectionsPastTheBoundAreRefusedAtOnceAndTheOthersKeepWorking) {
  constexpr int kMaxConnections = 16;
  const std::string socket = root_.path() + "/run/device.TST1";
  std::unique_ptr<testing_support::ScratchUser> member;
  if (geteuid() == 0) {
    member = std::make_unique<testing_support::ScratchUser>("nrvshare");
    ASSERT_TRUE(member->made());
    ASSERT_EQ(chmod(root_.path().c_str(), 0711), 0);
    ASSERT_EQ(chmod((root_.path() + "/run").c_str(), 0711), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    // The member's fifth connection is refused: its reply comes at once, before any request.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setuid(getpwnam(member->name().c_str())->pw_uid) != 0) _exit(9);
      int fds[5];
      for (int &fd : fds) fd = ConnectTo(socket);
      char reply[64];
      _exit(recv(fds[4], reply, sizeof reply, 0) > 0 && recv(fds[4], reply, sizeof reply, 0) == 0 ? 0 : 1);
    }
    EXPECT_EQ(WaitForChild(child), 0) << "the member's fifth connection was not refused";
    EXPECT_TRUE(devmgr_->WaitForLine(Stream::kStderr, "TST1: refused a connection: it came from " + member->name() +
                                                          " (devmgr_test, pid " + std::to_string(child) + "), whose user "
                                                          "holds 4, the most one user may hold of the 16", kBound));
    // A flood of requests devmgr does not understand: one line names the member, and does not
    // silence the next user's.
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setuid(getpwnam(member->name().c_str())->pw_uid) != 0) _exit(9);
      for (int i = 0; i < 50; ++i) {
        int fd = ConnectTo(socket);
        char reply[64];
        if (fd < 0 || send(fd, "x", 1, 0) != 1 || recv(fd, reply, sizeof reply, 0) != 0) _exit(1);
        close(fd);
      }
      _exit(0);
    }
    EXPECT_EQ(WaitForChild(child), 0) << "a request devmgr does not understand did not end its connection";
    ScopedDescriptor garbled(ConnectTo(socket));
    ASSERT_EQ(send(garbled.fd, "x", 1, 0), 1);
    EXPECT_TRUE(devmgr_->WaitForLine(Stream::kStderr, "TST1: " + platform::UserName(geteuid()) + " (devmgr_test, pid " +
                                                          std::to_string(getpid()) + ") sent " + socket +
                                                          " a request this devmgr does not understand", kBound));
    size_t members = 0;
    for (const std::string &line : devmgr_->Lines(Stream::kStderr))
      members += line.find("TST1: " + member->name() + " (devmgr_test, pid " + std::to_string(child) + ") sent " +
                           socket + " a request this devmgr does not understand; its connection is closed") !=
                 std::string::npos;
    EXPECT_EQ(members, 1u) << devmgr_->Output(Stream::kStderr);
  }
  Handle first(OpenDevice(u"TST1:"));
  ASSERT_NE(first.get(), INVALID_HANDLE_VALUE);
  std::vector<std::unique_ptr<ScopedDescriptor>> kept;
  for (int i = 1; i < kMaxConnections; ++i) {
    kept.push_back(std::make_unique<ScopedDescriptor>(ConnectTo(root_.path() + "/run/device.TST1")));
    ASSERT_GE(kept.back()->fd, 0) << i;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenDevice(u"TST1:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES)) << attempt;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
        << "the refusal did not come at once";
  }
  DWORD in = 0x5EED, out = 0;
  EXPECT_TRUE(DeviceIoControl(first.get(), IOCTL_TST_ECHO, &in, 4, &out, 4, nullptr, nullptr));
  EXPECT_EQ(out, in) << "the handle opened before the refusals stopped working";
  Handle other(OpenDevice(u"TST2:"));
  EXPECT_NE(other.get(), INVALID_HANDLE_VALUE) << "the bound is per device; error " << GetLastError();
  // The connections that opened nothing are closed after the idle limit, the handle is not.
  EXPECT_TRUE(devmgr_->WaitForLine(Stream::kStderr, "TST1: closed a connection of " + platform::UserName(geteuid()) +
                                                        " (devmgr_test, pid " + std::to_string(getpid()) +
                                                        ") that opened nothing for 10 s", kBound));
  EXPECT_TRUE(DeviceIoControl(first.get(), IOCTL_TST_ECHO, &in, 4, &out, 4, nullptr, nullptr));
  // A closed handle frees its place by the time CloseHandle returns.
  ASSERT_TRUE(CloseHandle(first.release()));
  Handle again(OpenDevice(u"TST1:"));
  EXPECT_NE(again.get(), INVALID_HANDLE_VALUE) << GetLastError();

  ASSERT_TRUE(devmgr_->Signal(SIGTERM));
  ASSERT_TRUE(devmgr_->WaitForExit(kBound));
  std::vector<std::string> refusals;
  for (const std::string &line : devmgr_->Lines(Stream::kStderr))
    if (line.find("refused") != std::string::npos && line.find("whose user") == std::string::npos)
      refusals.push_back(line);
  EXPECT_EQ(refusals, (std::vector<std::string>{
                          "devmgr: TST1: refused a connection: 16 are open, the most devmgr serves at once for one "
                          "device, held by " + platform::UserName(geteuid()) + " (16). Every program that opens TST1: "
                          "and never closes it holds one: close those handles or end those programs"}));
}

// A program that opens a device, perhaps as root, connects only to a socket a device manager of
// this root made: not through a symbolic link, nor to a socket or a listener of another user.
TEST_F(DevmgrCallTest, TheClientConnectsOnlyToADeviceManagersSocket) {
  const std::string run = root_.path() + "/run";
  const uid_t stranger = 65534;
  pid_t listener = -1;
  long opened = 0;
  struct Case {
    const char *name;
    bool needsRoot;
    const char16_t *device;
    std::function<void()> arrange;
    std::function<void()> undo;
    DWORD expectedError;  // 0: opens
    std::string expectedLine;
  };
  const Case cases[] = {
      {"a symbolic link to another device's socket", false, u"TSX1:",
       [&] { ASSERT_EQ(symlink("device.TST1", (run + "/device.TSX1").c_str()), 0); },
       [&] { unlink((run + "/device.TSX1").c_str()); }, ERROR_ACCESS_DENIED,
       run + "/device.TSX1 is a symbolic link, not the device manager's socket; remove it and restart devmgr"},
      {"a socket of another user", true, u"TST1:",
       [&] { ASSERT_EQ(lchown((run + "/device.TST1").c_str(), stranger, static_cast<gid_t>(-1)), 0); },
       [&] { lchown((run + "/device.TST1").c_str(), 0, static_cast<gid_t>(-1)); }, ERROR_ACCESS_DENIED,
       run + "/device.TST1 belongs to "},
      {"a socket of root whose listener runs as another user", true, u"TSX1:",
       [&] {
         int ready[2];
         ASSERT_EQ(pipe(ready), 0);
         listener = fork();
         ASSERT_GE(listener, 0);
         if (listener == 0) {
           // Bound as root, listening as the stranger: the file is root's, the listener is not.
           int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
           sockaddr_un address{};
           address.sun_family = AF_UNIX;
           std::strncpy(address.sun_path, (run + "/device.TSX1").c_str(), sizeof(address.sun_path) - 1);
           bool ok = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0 &&
                     setresuid(stranger, stranger, stranger) == 0 && listen(fd, 4) == 0;
           char byte = ok ? 1 : 0;
           if (write(ready[1], &byte, 1) != 1) _exit(1);
           pause();
           _exit(0);
         }
         char byte = 0;
         ASSERT_EQ(read(ready[0], &byte, 1), 1);
         close(ready[0]);
         close(ready[1]);
         ASSERT_EQ(byte, 1);
       },
       [&] {
         if (listener > 0) kill(listener, SIGKILL);
         if (listener > 0) waitpid(listener, nullptr, 0);
         unlink((run + "/device.TSX1").c_str());
       },
       ERROR_ACCESS_DENIED, "the program listening on " + run + "/device.TSX1 runs as "},
      {"a socket of run/'s owner", true, u"TST1:",
       [&] {
         ASSERT_EQ(lchown(run.c_str(), stranger, static_cast<gid_t>(-1)), 0);
         ASSERT_EQ(lchown((run + "/device.TST1").c_str(), stranger, static_cast<gid_t>(-1)), 0);
       },
       [&] {
         lchown((run + "/device.TST1").c_str(), 0, static_cast<gid_t>(-1));
         lchown(run.c_str(), 0, static_cast<gid_t>(-1));
       },
       0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;  // only root gives files to another user
    c.arrange();
    testing_support::DebugCapture capture;
    HANDLE device = OpenDevice(c.device);
    DWORD error = GetLastError();
    c.undo();
    if (c.expectedError == 0) {
      EXPECT_NE(device, INVALID_HANDLE_VALUE) << error;
      opened += device != INVALID_HANDLE_VALUE ? 1 : 0;
      CloseHandle(device);
      continue;
    }
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, c.expectedError);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_NE(capture.messages[0].find(c.expectedLine), std::string::npos) << capture.messages[0];
  }
  // No refused open reached the driver.
  std::vector<std::string> log = LogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Open Drivers\\BuiltIn\\Test"), opened);
}

TEST_F(DevmgrTest, StopSignalClosesHandlesDeinitialisesAndLaterCallsFailCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    auto devmgr = Start(DriverKey("Test", "TST", 1) + DriverKey("Other", "TST", 2));
    ASSERT_TRUE(Published(*devmgr, "TST1:") && Published(*devmgr, "TST2:"));
    Handle device(OpenDevice(u"TST1:"));
    ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
    unlink(LogPath().c_str());
    ASSERT_TRUE(devmgr->Signal(signal));
    auto exit = devmgr->WaitForExit(kBound);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
    // The open handle is closed before its device is deinitialised; devices go newest first.
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Close Drivers\\BuiltIn\\Test", "Deinit Drivers\\BuiltIn\\Test",
                                                    "Deinit Drivers\\BuiltIn\\Other", "DllMain detach"}));
    EXPECT_FALSE(SocketExists("TST1"));

    BYTE out[4] = {9, 9, 9, 9};
    EXPECT_FALSE(DeviceIoControl(device.get(), IOCTL_TST_ECHO, nullptr, 0, out, sizeof(out), nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(device.get(), out, sizeof(out), &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(CloseHandle(device.release()));
    EXPECT_EQ(OpenDevice(u"TST1:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

}  // namespace
