// What the commands that start the driver report: nrvctl start and calguard succeed only when
// the driver got its port, and otherwise say which port, where it leads and why it cannot be
// opened. A port that is missing is then taken up by devmgr as soon as it is plugged in again.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "platform/device_protocol.h"
#include "debug_capture.h"
#include "movable_line.h"
#include "platform/device_ports.h"
#include "platform/device_root.h"
#include "platform/trusted_path.h"
#include "norvik_host.h"
#include "process.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::kTapBytes;
using testing_support::LoggedMouseEvents;
using testing_support::ProcessExit;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{30000};

struct Outcome {
  int code;
  std::string error;
};

Outcome RunProgram(const std::string &program, const std::vector<std::string> &arguments) {
  ChildProcess child(program, arguments);
  std::optional<ProcessExit> exit = child.WaitForExit(kBound);
  return {exit ? exit->code : -2, child.Output(Stream::kStderr)};
}

// The id of a process that has ended, as calguard is given when the calibrating program is gone.
std::string EndedProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return std::to_string(child);
}

// Starts the driver the way the command does: nrvctl start, or calguard for a calibrating
// program that has ended.
Outcome StartDriver(bool byGuard) {
  if (byGuard) return RunProgram(NORVIK_BIN_DIR "/calguard", {EndedProcessId()});
  return RunProgram(NORVIK_BIN_DIR "/nrvctl", {"start"});
}

TEST(DriverStartReport, AStartWithoutThePortSaysWhyAndFailsAndAMissingPortIsTakenUpWhenItIsPluggedIn) {
  for (const bool byGuard : {false, true}) {
    SCOPED_TRACE(byGuard ? "calguard" : "nrvctl start");
    testing_support::TempDeviceRoot root;
    testing_support::MovableLine line(root.path() + "/ttyUSB0");
    const std::string log = root.path() + "/pointer.log";
    root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), log));
    ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
    ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);
    ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound));
    const std::string port = "started, but the port COM1: (" + line.path() + ") cannot be opened: ";

    // Another program has the line: the start cannot take it, and says who to look for.
    Outcome stop = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"stop"});
    ASSERT_EQ(stop.code, 0) << stop.error;
    const int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Outcome busy = StartDriver(byGuard);
    EXPECT_EQ(busy.code, 3) << busy.error;
    EXPECT_NE(busy.error.find(port + "another program has it open: find it with `fuser " + line.path() + "`"),
              std::string::npos)
        << busy.error;
    // Once the other program lets go, devmgr takes the port up by itself.
    close(holder);
    EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "NRV1: its port COM1: (" + line.path() + ") is free again", kBound))
        << devmgr.Output(Stream::kStderr);
    Outcome freed = StartDriver(byGuard);
    EXPECT_EQ(freed.code, 0) << freed.error;

    // The adapter is pulled and the driver started again: the port is missing, which the start
    // says; plugged in again, devmgr takes it up without another command.
    line.Pull();
    Outcome missing = StartDriver(byGuard);
    EXPECT_EQ(missing.code, 3) << missing.error;
    EXPECT_NE(missing.error.find(port + "No such file or directory"), std::string::npos) << missing.error;
    EXPECT_NE(missing.error.find("devmgr starts the driver again when the port appears"), std::string::npos)
        << missing.error;
    line.PlugIn();
    EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "NRV1: the driver holds COM1: again", kBound))
        << devmgr.Output(Stream::kStderr);
    line.line()->Send(kTapBytes);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 2; }, kBound))
        << "the tap on the plugged-in line never reached the pointer";
  }
}

// A process that holds NRV1:'s one handle under the name "x, pid 1); bob" and, each time the
// handle is taken back, opens it again at once on a connection it made in advance, and again until
// it holds it, writing a byte to `holding` each time it does; its pid.
pid_t StartRacer(const std::string &socketPath, int holding) {
  namespace protocol = platform::device_protocol;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
  const pid_t child = fork();
  if (child != 0) return child;
  prctl(PR_SET_NAME, "x, pid 1); bob");
  auto connected = [&] {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    return connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0 ? fd : -1;
  };
  auto opened = [](int fd) {
    protocol::Request request{protocol::kOpen, GENERIC_READ | GENERIC_WRITE, 0, 0, 0, 0, 0, 0};
    protocol::Reply reply{};
    return send(fd, &request, sizeof request, MSG_NOSIGNAL) == sizeof request &&
           recv(fd, &reply, sizeof reply, 0) == sizeof reply && reply.result != 0;
  };
  int spare = connected();
  for (;;) {
    const int fd = spare;
    const bool holds = opened(fd);
    spare = connected();
    if (holds) {
      if (write(holding, "h", 1) != 1) _exit(1);
      char byte;
      while (recv(fd, &byte, 1, 0) > 0) {
      }
    }
    close(fd);
  }
}

// A program that keeps the driver's one handle is named in every refusal, and root's start takes
// the handle back from it.
TEST(DriverStartReport, TheHolderOfTheOneHandleIsNamedAndRootsStartTakesItBack) {
  testing_support::TempDeviceRoot root;
  testing_support::MovableLine line(root.path() + "/ttyUSB0");
  root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), root.path() + "/pointer.log"));
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound));
  platform::SetDeviceRoot(root.path());
  HANDLE held = CreateFileW(u"NRV1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
  const std::string holder = " (driver_start_re, pid " + std::to_string(getpid()) + ")";
  Outcome stop = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"stop"});
  EXPECT_EQ(stop.code, 1);
  EXPECT_NE(stop.error.find("error 110: its only handle is held by "), std::string::npos) << stop.error;
  EXPECT_NE(stop.error.find(holder + ": try again when that program closes it"), std::string::npos) << stop.error;
  // Every program's refused open says it in its debug output, which calibkit's messages point to.
  EXPECT_NE(stop.error.find("nrvctl: NRV1: the driver's handle is held by "), std::string::npos) << stop.error;
  Outcome start = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"start"});
  if (geteuid() != 0) {
    EXPECT_EQ(start.code, 1) << start.error;
    CloseHandle(held);
    return;
  }
  EXPECT_EQ(start.code, 0) << start.error;
  EXPECT_NE(start.error.find("nrvctl: took NRV1: back from "), std::string::npos) << start.error;
  EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "NRV1: took the device back for root (nrvctl, pid ", kBound));
  EXPECT_FALSE(DeviceIoControl(held, 0x80000410, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << "the handle taken back still works";
  CloseHandle(held);

  // A program named to pass for the line's structure, which opens again on a connection made in
  // advance the moment its handle is taken back: named as what it is, and root's start wins.
  int holding[2];
  ASSERT_EQ(pipe2(holding, O_CLOEXEC), 0);
  const pid_t racer = StartRacer(root.path() + "/run/device.NRV1", holding[1]);
  ASSERT_GT(racer, 0);
  const std::string named = "root (x\\x2c pid 1\\x29\\x3b bob, pid " + std::to_string(racer) + ")";
  char byte;
  ASSERT_EQ(read(holding[0], &byte, 1), 1);
  stop = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"stop"});
  EXPECT_NE(stop.error.find("its only handle is held by " + named + ": try again"), std::string::npos) << stop.error;
  for (int round = 1; round <= 3; ++round) {
    start = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"start"});
    EXPECT_EQ(start.code, 0) << round << ": " << start.error;
    EXPECT_NE(start.error.find("nrvctl: took NRV1: back from " + named), std::string::npos) << start.error;
    // The racer holds the handle again before the next round.
    ASSERT_EQ(read(holding[0], &byte, 1), 1);
  }
  kill(racer, SIGKILL);
  waitpid(racer, nullptr, 0);
  close(holding[0]);
  close(holding[1]);
}

// A driver stopped by a program that then goes quiet (killed between its stop and its start)
// comes back by itself: devmgr starts it once nobody has asked anything for the idle bound.
TEST(DriverStartReport, AStoppedDriverNobodyAsksAnythingIsStartedAgainByDevmgr) {
  testing_support::TempDeviceRoot root;
  testing_support::MovableLine line(root.path() + "/ttyUSB0");
  const std::string log = root.path() + "/pointer.log";
  root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), log));
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()}, {{"DEVMGR_IDLE_RESTART_SECONDS", "1"}});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound)) << devmgr.Output(Stream::kStderr);
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound));
  Outcome stop = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"stop"});
  ASSERT_EQ(stop.code, 0) << stop.error;
  // Requests devmgr does not understand, sent all the while, are no use of the driver.
  std::atomic<bool> restarted{false};
  std::thread garbler([&] {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (root.path() + "/run/device.NRV1").copy(address.sun_path, sizeof(address.sun_path) - 1);
    while (!restarted) {
      const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0) send(fd, "x", 1, MSG_NOSIGNAL);
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr,
                                 "NRV1: the driver has been stopped for 1 s with nobody asking it anything or holding "
                                 "its port COM1: (" + line.path() + "); starting the driver again (NRV_Init)",
                                 kBound))
      << devmgr.Output(Stream::kStderr);
  restarted = true;
  garbler.join();
  line.line()->Send(kTapBytes);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return LoggedMouseEvents(log) == 2; }, kBound))
      << "the driver started again does not read the line";
}

// How many descriptors of this process lead to the tty behind `path`.
int TtyOpenings(const std::string &path) {
  struct stat tty {};
  if (stat(path.c_str(), &tty) != 0) return -1;
  DIR *fds = opendir("/proc/self/fd");
  int count = 0;
  while (dirent *entry = fds != nullptr ? readdir(fds) : nullptr) {
    struct stat file {};
    const std::string fd = std::string("/proc/self/fd/") + entry->d_name;
    count += stat(fd.c_str(), &file) == 0 && S_ISCHR(file.st_mode) && file.st_rdev == tty.st_rdev ? 1 : 0;
  }
  if (fds != nullptr) closedir(fds);
  return count;
}

// A program's COM1: on a root that devmgr serves is devmgr's own handle on the tty, lent while the
// driver lets go of the port: the program reads the line without opening it, devmgr does not start
// the idle driver again meanwhile, and the driver's next start takes the port back.
TEST(DriverStartReport, APortIsLentByDevmgrWhileTheDriverIsStoppedAndTakenBackWhenItStarts) {
  testing_support::TempDeviceRoot root;
  testing_support::MovableLine line(root.path() + "/ttyUSB0");
  root.WriteHive(testing_support::DeviceLoggingPointer(line.path(), root.path() + "/pointer.log"));
  // The borrower's second SetCommState is held up in devmgr, in flight when the port is taken back.
  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()},
                      {{"DEVMGR_IDLE_RESTART_SECONDS", "1"}, {"PLATFORM_FAULTS", "SetCommState@COM1:=+500*1/2"}});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "COM1: published (" + line.path() + ", lent", kBound))
      << devmgr.Output(Stream::kStderr);
  platform::SetDeviceRoot(root.path());
  auto openPort = [] { return CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); };
  // Each refusal says who has the port in the debug output, which calibkit's message points to.
  auto refused = [&](const char *why, const std::string &says) {
    testing_support::DebugCapture debug;
    EXPECT_EQ(openPort(), INVALID_HANDLE_VALUE) << why;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << why;
    ASSERT_EQ(debug.messages.size(), 1u) << why;
    EXPECT_NE(debug.messages[0].find(says), std::string::npos) << debug.messages[0];
  };
  refused("lent while the driver holds it", "COM1: its driver holds the port");

  ASSERT_EQ(RunProgram(NORVIK_BIN_DIR "/nrvctl", {"stop"}).code, 0);
  const int openings = TtyOpenings(line.path());
  HANDLE port = openPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(TtyOpenings(line.path()), openings) << "the program opened the tty itself";
  refused("lent twice", "COM1: the port is lent to " + platform::UserName(geteuid()) + " (driver_start_re, pid " +
                            std::to_string(getpid()) + ")");
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 19200;
  ASSERT_TRUE(SetCommState(port, &dcb));
  // Longer than the idle bound: a loan is a use, so the driver is not started under it.
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 2500, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  char bytes[16];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port, bytes, sizeof bytes, &count, nullptr)) << GetLastError();
  EXPECT_EQ(count, 0u);
  line.line()->Send(kTapBytes);
  std::string read;
  while (read.size() < kTapBytes.size() && ReadFile(port, bytes, sizeof bytes, &count, nullptr) && count > 0)
    read.append(bytes, count);
  EXPECT_EQ(read, kTapBytes);
  EXPECT_FALSE(WaitCommEvent(port, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  // A lent port only reads: nothing a borrower sends reaches the controller, said once.
  const std::string command = "\x02SET RATE 300\x03";
  EXPECT_FALSE(WriteFile(port, command.data(), static_cast<DWORD>(command.size()), &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  for (DWORD code : {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_IMMEDIATE_CHAR}) {
    char in = 'x';
    EXPECT_FALSE(DeviceIoControl(port, code, &in, 1, nullptr, 0, nullptr, nullptr)) << std::hex << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << code;
  }
  EXPECT_FALSE(PurgeComm(port, PURGE_TXCLEAR));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  pollfd sent{line.line()->master(), POLLIN, 0};
  EXPECT_EQ(poll(&sent, 1, 0), 0) << "bytes reached the controller's side";
  EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "COM1: refused " + platform::UserName(geteuid()) +
                                                      " (driver_start_re, pid " + std::to_string(getpid()) +
                                                      ") a write: a lent port only reads", kBound));
  // During the loan, a replaced registry would be taken up at no moment anyone chose.
  Outcome init = RunProgram(NORVIK_BIN_DIR "/nrvctl", {"init", "--force"});
  EXPECT_EQ(init.code, 2);
  EXPECT_NE(init.error.find("is stopped and has lent COM1: (" + line.path() + ") to " + platform::UserName(geteuid()) +
                            " (driver_start_re"),
            std::string::npos)
      << init.error;

  // A rate the borrower sets in flight when the port is taken back does not outlast the take-back.
  std::thread inFlight([&] {
    DCB slow = dcb;
    slow.BaudRate = 300;
    SetCommState(port, &slow);
  });
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "platform: SetCommState on COM1: held up", kBound));
  ASSERT_EQ(RunProgram(NORVIK_BIN_DIR "/nrvctl", {"start"}).code, 0);
  inFlight.join();
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "platform: SetCommState on COM1: goes on", kBound));
  termios line_settings{};
  const int tty = open(line.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(tty, 0);
  ASSERT_EQ(tcgetattr(tty, &line_settings), 0);
  close(tty);
  EXPECT_EQ(cfgetispeed(&line_settings), static_cast<speed_t>(B9600)) << "the borrower's rate outlasted the loan";
  EXPECT_TRUE(devmgr.WaitForLine(Stream::kStderr, "COM1: took the port back from ", kBound));
  EXPECT_NE(devmgr.Output(Stream::kStderr).find("(driver_start_re, pid " + std::to_string(getpid()) +
                                                "): the driver opens it again"),
            std::string::npos)
      << devmgr.Output(Stream::kStderr);
  EXPECT_FALSE(ReadFile(port, bytes, sizeof bytes, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  // Its connection ended with the loan: the port names no past borrower.
  std::string borrowers = "?";
  EXPECT_TRUE(platform::QueryDeviceHolders(u"COM1:", false, &borrowers));
  EXPECT_EQ(borrowers, "");
  CloseHandle(port);
}

}  // namespace
