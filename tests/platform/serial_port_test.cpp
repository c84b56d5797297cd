// Serial ports over real pseudo-terminals: opening (names, errors, exclusivity), line settings,
// read time-outs, WaitCommEvent, waking blocked calls, hung-up lines that stay gone or come back,
// and fault injection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "debug_capture.h"
#include "kernel_object.h"
#include "movable_line.h"
#include "norvik_host.h"
#include "platform/faults.h"
#include "platform/serial_port_use.h"
#include "platform/text.h"
#include "platform/serial_port_use.h"
#include "serial_port.h"
#include "serial_tty.h"
#include "test_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kBound = std::chrono::seconds(5);  // what "at once" and "soon" may take on a loaded machine

HANDLE OpenPort(const char16_t *name = u"COM1:") {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string HiveFor(const std::string &port, const std::string &tty) {
  return "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"" + port + "\"=\"" + tty + "\"\n";
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Waits until the thread sleeps in the kernel, that is, is blocked in the call it was started for.
bool WaitUntilBlocked(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  const auto deadline = Clock::now() + kBound;
  while (Clock::now() < deadline) {
    std::string stat = testing_support::ReadFile(path);
    size_t end = stat.rfind(')');
    if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

// Runs a call that blocks on port on its own thread, so that the test can do what must end it
// once it is blocked. Should the test stop early, the port is closed so that the call ends and
// the thread can be joined.
class BlockedCall {
 public:
  BlockedCall(HANDLE port, std::function<void()> call)
      : port_(port), thread_([this, call = std::move(call)] {
          tid_ = ThreadId();
          started_ = true;
          call();
        }) {}
  ~BlockedCall() {
    if (!thread_.joinable()) return;
    CloseHandle(port_);
    thread_.join();
  }
  bool WaitUntilBlocked() {
    const auto deadline = Clock::now() + kBound;
    while (!started_ && Clock::now() < deadline) std::this_thread::yield();
    return started_ && ::WaitUntilBlocked(tid_);
  }
  void Join() { thread_.join(); }

 private:
  HANDLE port_;
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> started_{false};
  std::thread thread_;
};

void SetTimeouts(HANDLE port, COMMTIMEOUTS timeouts) { EXPECT_TRUE(SetCommTimeouts(port, &timeouts)); }

double ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Reads count bytes from the controller's end of the line.
std::string ReceiveAtMaster(int master, size_t count) {
  std::string received;
  const auto deadline = Clock::now() + kBound;
  while (received.size() < count && Clock::now() < deadline) {
    pollfd readable{master, POLLIN, 0};
    poll(&readable, 1, 100);
    char chunk[4096];
    ssize_t n = read(master, chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<size_t>(n));
  }
  return received;
}

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClearFaults();
    root_.WriteHive(HiveFor("COM1:", pty_.slavePath()));
  }
  void TearDown() override { platform::ClearFaults(); }

  HANDLE Open() {
    HANDLE port = OpenPort();
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "open COM1: on " << pty_.slavePath() << ": error " << GetLastError();
    return port;
  }

  // Sends bytes as the controller and waits until the port has them queued.
  static void SendAndWaitQueued(HANDLE port, const testing_support::PseudoTerminal &pty, const std::string &bytes) {
    pty.Send(bytes);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
    ASSERT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  }

  termios LineSettings() const {
    termios tio{};
    tcgetattr(pty_.master(), &tio);  // a pseudo-terminal's master reports its slave's settings
    return tio;
  }

  testing_support::TempDeviceRoot root_;
  testing_support::PseudoTerminal pty_;
};

// ---------------------------------------------------------------------------------------------
// Names and opening

TEST(SerialPortName, OnlyComZeroToNineWithColonInAnyCaseIsAPort) {
  struct Case {
    const char16_t *name;
    bool port;
  };
  for (const Case &c : {Case{u"COM1:", true}, Case{u"com9:", true}, Case{u"CoM0:", true}, Case{u"COM1", false},
                        Case{u"COM10:", false}, Case{u"COMa:", false}, Case{u"LPT1:", false}, Case{u"COM1::", false},
                        Case{u"NRV1:", false}, Case{u"", false}}) {
    EXPECT_EQ(platform::IsSerialPortName(c.name), c.port) << platform::ToUtf8(c.name);
  }
}

// What the process's record of its ports says about one of them.
platform::SerialPortUse UseOf(const std::string &port) {
  for (const platform::SerialPortUse &use : platform::SerialPortUses())
    if (use.port == port) return use;
  return {};
}

// Each failure also leaves, in the record devmgr reads, the reason a client is told and whether
// the port may yet appear at its path, so that devmgr waits only for those that can.
TEST_F(SerialPort, OpenFailuresSayWhyTheTtyCannotBeUsed) {
  struct Case {
    const char *what;
    std::string tty;
    const char16_t *port;
    DWORD error;
    const char *reason;
    bool mayAppear;
  };
  for (const Case &c : {
           Case{"tty path does not exist", root_.path() + "/no-such-tty", u"COM2:", ERROR_FILE_NOT_FOUND,
                "No such file or directory (the controller or its USB adapter is not plugged in", true},
           Case{"path is a directory, not a tty", root_.path(), u"COM2:", ERROR_NOT_SUPPORTED, "it is not a tty but a folder",
                false},
           Case{"path is a plain file, not a tty", root_.registryPath(), u"com2:", ERROR_NOT_SUPPORTED,
                "it is not a tty", false},
           Case{"path is a device that is not a tty", "/dev/null", u"COM2:", ERROR_NOT_SUPPORTED, "it is not a tty",
                false},
           Case{"COM0: without a value has no default", "", u"COM0:", ERROR_FILE_NOT_FOUND,
                "HKLM\\Platform\\Serial maps it to no tty", false},
       }) {
    const size_t handles = platform::OpenHandleCount();
    root_.WriteHive(HiveFor("COM1:", pty_.slavePath()) + (c.tty.empty() ? "" : "\"COM2:\"=\"" + c.tty + "\"\n"));
    SetLastError(0);
    EXPECT_EQ(OpenPort(c.port), INVALID_HANDLE_VALUE) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_EQ(platform::OpenHandleCount(), handles) << c.what << ": a failed open left a handle behind";
    const platform::SerialPortUse use = UseOf(c.port == std::u16string_view(u"COM0:") ? "COM0:" : "COM2:");
    EXPECT_TRUE(use.openFailed) << c.what;
    EXPECT_EQ(use.holders, 0u) << c.what;
    EXPECT_EQ(use.path, c.tty) << c.what;
    EXPECT_THAT(use.reason, testing::StartsWith(c.reason)) << c.what;
    EXPECT_EQ(use.mayAppear, c.mayAppear) << c.what;
  }
  // An open that succeeds clears the failure; the record counts the handles that hold the port.
  root_.WriteHive(HiveFor("COM1:", pty_.slavePath()) + "\"COM2:\"=\"" + pty_.slavePath() + "\"\n");
  HANDLE port = OpenPort(u"COM2:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(UseOf("COM2:").holders, 1u);
  EXPECT_FALSE(UseOf("COM2:").openFailed);
  ASSERT_TRUE(CloseHandle(port));
  EXPECT_EQ(UseOf("COM2:").holders, 0u);
  EXPECT_FALSE(UseOf("COM2:").openFailed);
}

TEST_F(SerialPort, SecondOpenInTheSameProcessIsDeniedUntilTheFirstIsClosed) {
  HANDLE first = Open();
  SetLastError(0);
  EXPECT_EQ(OpenPort(u"com1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(CloseHandle(first));
  HANDLE again = Open();
  EXPECT_TRUE(CloseHandle(again));
}

// Opens COM1: in a child process; its exit status is 0 on success, else the error code.
int OpenInChildProcess() {
  pid_t child = fork();
  if (child == 0) {
    HANDLE port = OpenPort();
    _exit(port == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(SerialPort, OpenFromAnotherProcessIsDeniedWhileThePortIsOpen) {
  HANDLE port = Open();
  EXPECT_EQ(OpenInChildProcess(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(CloseHandle(port));
  EXPECT_EQ(OpenInChildProcess(), 0) << "the port stayed locked after CloseHandle";
}

// Whether a port holds the tty: its flock is taken. The tty must never be left exclusive
// (TIOCEXCL), since that flag would outlive a holder that is killed.
bool HeldByAPort(const std::string &tty) {
  int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int exclusive = 0;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << tty << " was left exclusive (TIOCEXCL)";
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return locked;
}

size_t CountContaining(const std::vector<std::string> &messages, const std::string &text) {
  return static_cast<size_t>(
      std::count_if(messages.begin(), messages.end(), [&](const std::string &m) { return m.find(text) != m.npos; }));
}

// A user id that no account has, for an opener that is not root.
uid_t ScratchUid() {
  uid_t uid = 61000;
  while (getpwuid(uid) != nullptr) ++uid;
  return uid;
}

// Opens COM1: as the service's devmgr does when it is not root: in a child process that, when
// this one is root, takes the ids of a scratch user first (the tty and the device root are opened
// to that user). The exit status is 0 when the port opened, else its error code; what the child
// said on standard error goes to *said when it is given.
int OpenAsNonRoot(const testing_support::TempDeviceRoot &root, const std::string &tty, std::string *said = nullptr) {
  const uid_t scratch = ScratchUid();
  if (geteuid() == 0 && (chown(tty.c_str(), scratch, static_cast<gid_t>(-1)) != 0 ||
                         chmod(root.path().c_str(), 0755) != 0 || chmod(root.registryPath().c_str(), 0644) != 0))
    return -1;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    dup2(output[1], STDERR_FILENO);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(scratch, scratch, scratch) != 0 ||
                           setresuid(scratch, scratch, scratch) != 0))
      _exit(255);
    HANDLE port = OpenPort();
    _exit(port == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
  }
  close(output[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(output[0]);
  if (said != nullptr) *said = text;
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(SerialPort, AKilledHolderLeavesTheTtyFreeForAnOpenerThatIsNotRootWhileALiveOneKeepsOthersOut) {
  testing_support::DebugCapture capture;
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    const char opened = OpenPort() != INVALID_HANDLE_VALUE ? 1 : 0;
    if (write(ready[1], &opened, 1) != 1) _exit(1);
    for (;;) pause();
  }
  ASSERT_GT(holder, 0);
  close(ready[1]);
  char opened = 0;
  pollfd said{ready[0], POLLIN, 0};
  EXPECT_EQ(poll(&said, 1, static_cast<int>(std::chrono::milliseconds(kBound).count())), 1);
  EXPECT_EQ(read(ready[0], &opened, 1), 1);
  close(ready[0]);
  EXPECT_EQ(opened, 1) << "the holder could not open COM1:";

  EXPECT_TRUE(HeldByAPort(pty_.slavePath()));
  EXPECT_EQ(OpenInChildProcess(), ERROR_ACCESS_DENIED) << "a live holder let a second port open the tty";
  EXPECT_EQ(OpenAsNonRoot(root_, pty_.slavePath()), ERROR_ACCESS_DENIED);

  ASSERT_EQ(kill(holder, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  // The pseudo-terminal's master and a slave descriptor stay open, as a simulator's would.
  EXPECT_EQ(OpenAsNonRoot(root_, pty_.slavePath()), 0) << "the killed holder left the tty refusing its successor";
  HANDLE port = Open();
  ASSERT_TRUE(CloseHandle(port));
  EXPECT_FALSE(HeldByAPort(pty_.slavePath())) << "the tty stayed locked after CloseHandle";
  EXPECT_EQ(CountContaining(capture.messages, "serial: COM1: " + pty_.slavePath() + " has no low-latency setting: "),
            1u);
}

TEST_F(SerialPort, TtyAnotherProgramHoldsWithTiocexclIsDeniedToAnOpenerThatIsNotRoot) {
  int other = open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  std::string said;
  EXPECT_EQ(OpenAsNonRoot(root_, pty_.slavePath(), &said), ERROR_ACCESS_DENIED);
  EXPECT_NE(said.find("serial: COM1: cannot open " + pty_.slavePath() + ": another program holds the line "
                      "exclusively (TIOCEXCL); find it with `fuser " + pty_.slavePath() + "` and end it"),
            std::string::npos)
      << said;
  ioctl(other, TIOCNXCL);
  close(other);
}

TEST_F(SerialPort, ClosedHandleFailsEveryCallWithInvalidHandle) {
  HANDLE port = Open();
  ASSERT_TRUE(CloseHandle(port));
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD mask = 0;
  char byte = 0;
  DWORD done = 0;
  struct Case {
    const char *call;
    std::function<BOOL()> run;
  };
  for (const Case &c : {
           Case{"GetCommState", [&] { return GetCommState(port, &dcb); }},
           Case{"SetCommState", [&] { return SetCommState(port, &dcb); }},
           Case{"GetCommTimeouts", [&] { return GetCommTimeouts(port, &timeouts); }},
           Case{"SetCommTimeouts", [&] { return SetCommTimeouts(port, &timeouts); }},
           Case{"GetCommMask", [&] { return GetCommMask(port, &mask); }},
           Case{"SetCommMask", [&] { return SetCommMask(port, EV_RXCHAR); }},
           Case{"WaitCommEvent", [&] { return WaitCommEvent(port, &mask, nullptr); }},
           Case{"PurgeComm", [&] { return PurgeComm(port, PURGE_RXCLEAR); }},
           Case{"ReadFile", [&] { return ReadFile(port, &byte, 1, &done, nullptr); }},
           Case{"WriteFile", [&] { return WriteFile(port, &byte, 1, &done, nullptr); }},
           Case{"CloseHandle", [&] { return CloseHandle(port); }},
       }) {
    SetLastError(0);
    EXPECT_FALSE(c.run()) << c.call;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << c.call;
  }
}

// ---------------------------------------------------------------------------------------------
// Line settings

TEST_F(SerialPort, StateBeforeAnySetIsTheDefaultWithTheTtysOwnSpeed) {
  termios tio = LineSettings();
  cfsetispeed(&tio, B19200);
  cfsetospeed(&tio, B19200);
  ASSERT_EQ(tcsetattr(pty_.master(), TCSANOW, &tio), 0);
  HANDLE port = Open();
  DCB expected{};
  expected.DCBlength = sizeof(DCB);
  expected.BaudRate = 19200;
  expected.fBinary = 1;
  expected.fDtrControl = DTR_CONTROL_ENABLE;
  expected.fRtsControl = RTS_CONTROL_ENABLE;
  expected.XonLim = 2048;
  expected.XoffLim = 512;
  expected.ByteSize = 8;
  expected.Parity = NOPARITY;
  expected.StopBits = ONESTOPBIT;
  expected.XonChar = 0x11;
  expected.XoffChar = 0x13;
  DCB dcb;
  std::memset(&dcb, 0xA5, sizeof dcb);
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0) << "baud " << dcb.BaudRate << " size " << int(dcb.ByteSize);
  CloseHandle(port);
}

DCB EveryFieldChanged(DCB dcb) {
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fBinary = 0;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.XonChar = 'A';
  dcb.XoffChar = 'B';
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1a;
  dcb.EvtChar = '\n';
  return dcb;
}

TEST_F(SerialPort, StateReadsBackAsSetAndOnlyTheLineFieldsReachTheTty) {
  HANDLE port = Open();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  DCB set = EveryFieldChanged(dcb);
  ASSERT_TRUE(SetCommState(port, &set));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(std::memcmp(&back, &set, sizeof back), 0) << "a DCB field did not read back as set";

  termios tio = LineSettings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u) << "two stop bits did not reach the tty";
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u) << "flow-control flags must stay in the DCB";
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u) << "Xon/Xoff flags must stay in the DCB";
  CloseHandle(port);
}

TEST_F(SerialPort, RefusedStateIsInvalidParameterAndKeepsTheOldState) {
  HANDLE port = Open();
  DCB good{};
  ASSERT_TRUE(GetCommState(port, &good));
  good.BaudRate = 57600;
  ASSERT_TRUE(SetCommState(port, &good));
  struct Case {
    const char *what;
    DWORD baudRate;
    BYTE byteSize, parity, stopBits;
  };
  for (const Case &c : {
           Case{"rate no tty has", 12345, 8, NOPARITY, ONESTOPBIT},
           Case{"rate 0", 0, 8, NOPARITY, ONESTOPBIT},
           Case{"rate above the fastest", 4000001, 8, NOPARITY, ONESTOPBIT},
           Case{"4 data bits", 9600, 4, NOPARITY, ONESTOPBIT},
           Case{"9 data bits", 9600, 9, NOPARITY, ONESTOPBIT},
           Case{"parity 5", 9600, 8, 5, ONESTOPBIT},
           Case{"stop bits 3", 9600, 8, NOPARITY, 3},
           Case{"1.5 stop bits with 8 data bits", 9600, 8, NOPARITY, ONE5STOPBITS},
           Case{"2 stop bits with 5 data bits", 9600, 5, NOPARITY, TWOSTOPBITS},
       }) {
    DCB bad = EveryFieldChanged(good);
    bad.BaudRate = c.baudRate;
    bad.ByteSize = c.byteSize;
    bad.Parity = c.parity;
    bad.StopBits = c.stopBits;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port, &bad)) << c.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
    DCB now{};
    ASSERT_TRUE(GetCommState(port, &now));
    EXPECT_EQ(std::memcmp(&now, &good, sizeof now), 0) << c.what << ": the refused DCB changed the state";
    termios tio = LineSettings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600)) << c.what;
  }
  CloseHandle(port);
}

TEST_F(SerialPort, MissingOutputPointerIsInvalidParameter) {
  HANDLE port = Open();
  DWORD mask = 0;
  OVERLAPPED overlapped{};
  struct Case {
    const char *call;
    std::function<BOOL()> run;
  };
  for (const Case &c : {
           Case{"GetCommState", [&] { return GetCommState(port, nullptr); }},
           Case{"SetCommState", [&] { return SetCommState(port, nullptr); }},
           Case{"GetCommTimeouts", [&] { return GetCommTimeouts(port, nullptr); }},
           Case{"SetCommTimeouts", [&] { return SetCommTimeouts(port, nullptr); }},
           Case{"GetCommMask", [&] { return GetCommMask(port, nullptr); }},
           Case{"WaitCommEvent without a mask", [&] { return WaitCommEvent(port, nullptr, nullptr); }},
           Case{"WaitCommEvent overlapped", [&] { return WaitCommEvent(port, &mask, &overlapped); }},
           Case{"PurgeComm with unknown flags", [&] { return PurgeComm(port, 0x10); }},
       }) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    SetLastError(0);
    EXPECT_FALSE(c.run()) << c.call;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.call;
  }
  CloseHandle(port);
}

TEST_F(SerialPort, TimeoutsAndMaskReadBackAsSet) {
  HANDLE port = Open();
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0xA5, sizeof timeouts);
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  const COMMTIMEOUTS zero{};
  EXPECT_EQ(std::memcmp(&timeouts, &zero, sizeof timeouts), 0) << "time-outs do not start at 0";
  const COMMTIMEOUTS set{MAXDWORD, 7, MAXDWORD, 3, 11};
  SetTimeouts(port, set);
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(std::memcmp(&timeouts, &set, sizeof timeouts), 0);

  DWORD mask = 1234;
  ASSERT_TRUE(GetCommMask(port, &mask));
  EXPECT_EQ(mask, 0u);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS | EV_RING));
  ASSERT_TRUE(GetCommMask(port, &mask));
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_RING));
  CloseHandle(port);
}

// ---------------------------------------------------------------------------------------------
// Reading and writing

TEST_F(SerialPort, BufferedBytesAreReturnedAtOnce) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, 0, 0, 0, 0});
  char buffer[16] = {};
  DWORD done = 99;
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u) << "an empty line must give 0 bytes at once";

  SendAndWaitQueued(port, pty_, "abc");
  const auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_LT(Clock::now() - start, kBound);
  EXPECT_EQ(std::string(buffer, done), "abc");
  CloseHandle(port);
}

TEST_F(SerialPort, FirstByteRuleReturnsEmptyAfterTheConstant) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, MAXDWORD, 5, 0, 0});
  char buffer[16];
  DWORD done = 99;
  const auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  const auto took = Clock::now() - start;
  EXPECT_EQ(done, 0u);
  EXPECT_GE(took, milliseconds(4)) << "returned before the constant ran out";
  EXPECT_LT(took, kBound);
  CloseHandle(port);
}

TEST_F(SerialPort, FirstByteRuleReturnsAtOnceWithBufferedBytesUpToTheCount) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, MAXDWORD, 10000, 0, 0});
  SendAndWaitQueued(port, pty_, "xy");
  char buffer[4] = {};
  DWORD done = 0;
  ASSERT_TRUE(ReadFile(port, buffer, 1, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "x");
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "y");
  CloseHandle(port);
}

TEST_F(SerialPort, FirstByteRuleEndsTheWaitWhenAByteArrives) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, MAXDWORD, 60000, 0, 0});
  char buffer[16] = {};
  DWORD done = 0;
  BOOL ok = FALSE;
  Clock::duration took{};
  BlockedCall reader(port, [&] {
    const auto start = Clock::now();
    ok = ReadFile(port, buffer, sizeof buffer, &done, nullptr);
    took = Clock::now() - start;
  });
  ASSERT_TRUE(reader.WaitUntilBlocked());
  pty_.Send("Q");
  reader.Join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(std::string(buffer, done), "Q");
  EXPECT_LT(took, kBound) << "the arriving byte did not end the wait";
  CloseHandle(port);
}

TEST_F(SerialPort, GeneralRuleReturnsPartialDataWhenTheTotalRunsOut) {
  HANDLE port = Open();
  SetTimeouts(port, {0, 0, 50, 0, 0});
  SendAndWaitQueued(port, pty_, "abc");
  char buffer[10] = {};
  DWORD done = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  const auto took = Clock::now() - start;
  EXPECT_EQ(std::string(buffer, done), "abc");
  EXPECT_GE(took, milliseconds(45)) << "returned before the total time-out with the count not read";
  EXPECT_LT(took, kBound);
  CloseHandle(port);
}

TEST_F(SerialPort, GeneralRuleReturnsAsSoonAsTheCountIsRead) {
  HANDLE port = Open();
  SetTimeouts(port, {0, 0, 60000, 0, 0});
  SendAndWaitQueued(port, pty_, "abcdef");
  char buffer[4] = {};
  DWORD done = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_LT(Clock::now() - start, kBound);
  EXPECT_EQ(std::string(buffer, done), "abcd");
  CloseHandle(port);
}

TEST_F(SerialPort, IntervalTimeoutEndsTheReadAfterTheLastByte) {
  HANDLE port = Open();
  SetTimeouts(port, {20, 0, 0, 0, 0});
  SendAndWaitQueued(port, pty_, "ab");
  char buffer[10] = {};
  DWORD done = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  const auto took = Clock::now() - start;
  EXPECT_EQ(std::string(buffer, done), "ab");
  EXPECT_GE(took, milliseconds(15));
  EXPECT_LT(took, kBound);
  CloseHandle(port);
}

TEST_F(SerialPort, WriteThatRunsOutOfTimeReturnsWithWhatWentOut) {
  HANDLE port = Open();
  SetTimeouts(port, {0, 0, 0, 0, 50});
  // Nobody reads the other end, so the line's buffer fills and the rest cannot go out.
  std::vector<char> lots(4 << 20, 'z');
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(port, lots.data(), static_cast<DWORD>(lots.size()), &done, nullptr));
  EXPECT_GT(done, 0u);
  EXPECT_LT(done, lots.size());
  CloseHandle(port);
}

TEST_F(SerialPort, PurgeDropsQueuedInput) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, 0, 0, 0, 0});
  SendAndWaitQueued(port, pty_, "stale");
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR));
  char buffer[8];
  DWORD done = 99;
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u) << "purged bytes were still read";
  CloseHandle(port);
}

TEST_F(SerialPort, ReaderAndWriterThreadsShareThePort) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, MAXDWORD, 1000, 0, 0});
  const std::string outbound(3000, 'o');
  const std::string inbound(3000, 'i');
  std::string received;
  std::thread reader([&] {
    const auto deadline = Clock::now() + kBound;
    char chunk[256];
    while (received.size() < inbound.size() && Clock::now() < deadline) {
      DWORD done = 0;
      if (!ReadFile(port, chunk, sizeof chunk, &done, nullptr)) break;
      received.append(chunk, done);
    }
  });
  std::thread writer([&] {
    DWORD done = 0;
    WriteFile(port, outbound.data(), static_cast<DWORD>(outbound.size()), &done, nullptr);
  });
  pty_.Send(inbound);
  EXPECT_EQ(ReceiveAtMaster(pty_.master(), outbound.size()), outbound);
  writer.join();
  reader.join();
  EXPECT_EQ(received, inbound);
  CloseHandle(port);
}

// ---------------------------------------------------------------------------------------------
// WaitCommEvent

TEST_F(SerialPort, WaitWithAnEmptyMaskFailsAtOnce) {
  HANDLE port = Open();
  DWORD events = 77;
  SetLastError(0);
  EXPECT_FALSE(WaitCommEvent(port, &events, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(events, 77u) << "a failed wait wrote the caller's mask";
  CloseHandle(port);
}

TEST_F(SerialPort, WaitReportsInputAlreadyQueued) {
  HANDLE port = Open();
  SendAndWaitQueued(port, pty_, "z");
  // The byte is still queued: a second wait must see it too, or an arrival between a read and
  // the next wait would be lost.
  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  CloseHandle(port);
}

TEST_F(SerialPort, WaitReportsInputThatArrivesWhileBlocked) {
  HANDLE port = Open();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD events = 0;
  BOOL ok = FALSE;
  BlockedCall waiter(port, [&] { ok = WaitCommEvent(port, &events, nullptr); });
  ASSERT_TRUE(waiter.WaitUntilBlocked());
  pty_.Send("!");
  waiter.Join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  CloseHandle(port);
}

TEST_F(SerialPort, SetCommMaskFromAnotherThreadEndsTheWaitWithNoEvents) {
  HANDLE port = Open();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD events = 77;
  BOOL ok = FALSE;
  BlockedCall waiter(port, [&] { ok = WaitCommEvent(port, &events, nullptr); });
  ASSERT_TRUE(waiter.WaitUntilBlocked());
  ASSERT_TRUE(SetCommMask(port, 0));
  waiter.Join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(events, 0u);

  // The wake-up is spent: the next wait blocks again until input comes.
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  BlockedCall next(port, [&] { ok = WaitCommEvent(port, &events, nullptr); });
  ASSERT_TRUE(next.WaitUntilBlocked());
  pty_.Send("k");
  next.Join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  CloseHandle(port);
}

TEST_F(SerialPort, CloseHandleWakesEveryBlockedCallWithInvalidHandle) {
  HANDLE port = Open();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD events = 0;
  char buffer[8];
  DWORD read = 0;
  DWORD written = 0;
  std::vector<char> lots(4 << 20, 'w');  // more than the line holds while nobody reads it
  DWORD waitError = 0, readError = 0, writeError = 0;
  BlockedCall waiter(port, [&] {
    if (!WaitCommEvent(port, &events, nullptr)) waitError = GetLastError();
  });
  BlockedCall reader(port, [&] {
    if (!ReadFile(port, buffer, sizeof buffer, &read, nullptr)) readError = GetLastError();
  });
  BlockedCall writer(port, [&] {
    if (!WriteFile(port, lots.data(), static_cast<DWORD>(lots.size()), &written, nullptr)) writeError = GetLastError();
  });
  ASSERT_TRUE(waiter.WaitUntilBlocked());
  ASSERT_TRUE(reader.WaitUntilBlocked());
  ASSERT_TRUE(writer.WaitUntilBlocked());
  ASSERT_TRUE(CloseHandle(port));
  waiter.Join();
  reader.Join();
  writer.Join();
  EXPECT_EQ(waitError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(readError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenInChildProcess(), 0) << "the port stayed locked after the woken calls returned";
}

// ---------------------------------------------------------------------------------------------
// A hung-up line: the controller's end is gone.

TEST(SerialPortHungUp, WaitsKeepWaitingWithoutSpinningAndWritesSayNotConnected) {
  platform::ClearFaults();
  testing_support::TempDeviceRoot root;
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  root.WriteHive(HiveFor("COM1:", name));
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  close(master);

  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD events = 77;
  BOOL waited = FALSE;
  double waiterCpu = 0;
  BlockedCall waiter(port, [&] {
    const double before = ThreadCpuMilliseconds();
    waited = WaitCommEvent(port, &events, nullptr);
    waiterCpu = ThreadCpuMilliseconds() - before;
  });
  ASSERT_TRUE(waiter.WaitUntilBlocked()) << "WaitCommEvent never went to sleep on the hung-up line";

  // The read's own time-out is the clock: while it runs, the waiter must sleep too.
  SetTimeouts(port, {0, 0, 500, 0, 0});
  char buffer[8];
  DWORD done = 99;
  const double before = ThreadCpuMilliseconds();
  const auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  const auto took = Clock::now() - start;
  const double readerCpu = ThreadCpuMilliseconds() - before;
  EXPECT_EQ(done, 0u);
  EXPECT_GE(took, milliseconds(450)) << "the read gave up before its time-out";
  EXPECT_LT(took, kBound);

  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  waiter.Join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(events, 0u) << "a hung-up line was reported as input";
  EXPECT_LT(readerCpu, 150.0) << "ReadFile spun on the hung-up line";
  EXPECT_LT(waiterCpu, 150.0) << "WaitCommEvent spun on the hung-up line";

  DWORD written = 0;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  CloseHandle(port);
  close(slave);
}

// The path of a pulled USB adapter comes back as a new tty: the port takes it up with everything
// that was set on the handle, and says on the debug output when the line went and came back.
TEST(SerialPortHungUp, LineWhosePathLeadsToALiveTtyAgainIsReopenedAsItWasSet) {
  platform::ClearFaults();
  testing_support::TempDeviceRoot root;
  testing_support::MovableLine line(root.path() + "/ttyUSB0");
  root.WriteHive(HiveFor("COM1:", line.path()));
  testing_support::DebugCapture capture;
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 115200;
  dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(SetCommState(port, &dcb));
  SetTimeouts(port, {MAXDWORD, MAXDWORD, 5, 0, 0});
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

  line.Pull();
  DWORD written = 0;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

  // While the line is gone a wait goes on, and SetCommMask still ends it at once.
  DWORD events = 77;
  BOOL waited = FALSE;
  BlockedCall stopped(port, [&] { waited = WaitCommEvent(port, &events, nullptr); });
  ASSERT_TRUE(stopped.WaitUntilBlocked());
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  stopped.Join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(events, 0u);

  BlockedCall waiter(port, [&] { waited = WaitCommEvent(port, &events, nullptr); });
  ASSERT_TRUE(waiter.WaitUntilBlocked());
  line.PlugIn();
  line.line()->Send("abc");
  waiter.Join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  char buffer[8];
  DWORD done = 0;
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "abc");

  termios tio{};
  tcgetattr(line.line()->master(), &tio);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200)) << "the new tty did not get the line settings";
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(tio.c_lflag & ECHO, 0u) << "the new tty is not raw";
  EXPECT_TRUE(HeldByAPort(line.line()->slavePath()));
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 5u);
  ASSERT_TRUE(WriteFile(port, "z", 1, &written, nullptr));
  EXPECT_EQ(ReceiveAtMaster(line.line()->master(), 1), "z");
  ASSERT_TRUE(CloseHandle(port));

  const std::string said = "serial: COM1: " + line.path();
  EXPECT_EQ(CountContaining(capture.messages, said + " hung up; waiting for it to come back"), 1u);
  EXPECT_EQ(CountContaining(capture.messages, said + " is back"), 1u);
}

// A pseudo-terminal whose slave nothing holds open, as a port finds a line: closing `master`
// hangs it up, and its number is free again once no port holds the slave either.
struct BareLine {
  int master = -1;
  std::string name;
};
bool OpenBareLine(BareLine *line) {
  int slave = -1;
  char name[256];
  if (openpty(&line->master, &slave, name, nullptr, nullptr) != 0) return false;
  close(slave);
  line->name = name;
  return true;
}

// Points `link` at `target` in one rename, as a program that makes a fresh line moves its link.
bool MoveLink(const std::string &link, const std::string &target) {
  const std::string moved = link + ".new";
  return symlink(target.c_str(), moved.c_str()) == 0 && rename(moved.c_str(), link.c_str()) == 0;
}

// Whether a descriptor of this process leads to `path`, also after the node was removed (a
// pseudo-terminal's slave node goes when its master closes).
bool ProcessHolds(const std::string &path) {
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    char target[256];
    const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
    const std::string to(target, n > 0 ? static_cast<size_t>(n) : 0);
    if (to == path || to == path + " (deleted)") return true;
  }
  return false;
}

// A hung-up line's tty is let go of at once, so that the kernel may give its number to the line
// that comes back (an adapter replugged while the port waits for it would otherwise come back
// under the next number, and its path would never lead to it).
TEST(SerialPortHungUp, TheDeadTtyIsLetGoOfAtOnceSoItsNumberMayBeIssuedAgain) {
  platform::ClearFaults();
  testing_support::TempDeviceRoot root;
  BareLine dead;
  ASSERT_TRUE(OpenBareLine(&dead));
  const int master = dead.master;
  const std::string &name = dead.name;
  const std::string link = root.path() + "/ttyUSB0";
  ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0);
  root.WriteHive(HiveFor("COM1:", link));
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD events = 0;
  BOOL waited = FALSE;
  BlockedCall waiter(port, [&] { waited = WaitCommEvent(port, &events, nullptr); });
  ASSERT_TRUE(waiter.WaitUntilBlocked());
  ASSERT_TRUE(ProcessHolds(name));

  close(master);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return !ProcessHolds(name); }, kBound))
      << "the port still holds " << name << " after the line hung up";
  BareLine next;
  ASSERT_TRUE(OpenBareLine(&next));
  // Free again, the number goes to the next pseudo-terminal made, unless another program took
  // it first.
  if (next.name != name) std::printf("(%s was taken meanwhile; the new line is %s)\n", name.c_str(), next.name.c_str());

  ASSERT_TRUE(MoveLink(link, next.name));
  ASSERT_EQ(write(next.master, "abc", 3), 3);
  waiter.Join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  char buffer[8];
  DWORD done = 0;
  SetTimeouts(port, {MAXDWORD, 0, 0, 0, 0});
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "abc");
  EXPECT_TRUE(ProcessHolds(next.name));
  ASSERT_TRUE(CloseHandle(port));
  close(next.master);
}

// A pseudo-terminal's number goes to whichever program opens the next one, so the port whose
// dead line it was must not take that one up: not through the /dev/pts name, nor through a link
// that still leads there. A link moved to it afterwards is the line coming back.
TEST(SerialPortHungUp, APseudoTerminalsNumberGivenToTheNextOneIsTakenOnlyThroughAMovedLink) {
  platform::ClearFaults();
  for (bool throughLink : {false, true}) {
    SCOPED_TRACE(throughLink ? "mapped through a link" : "mapped to /dev/pts");
    testing_support::TempDeviceRoot root;
    BareLine dead;
    ASSERT_TRUE(OpenBareLine(&dead));
    const std::string &name = dead.name;
    const std::string link = root.path() + "/ttyUSB0";
    ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0);
    root.WriteHive(HiveFor("COM1:", throughLink ? link : name));
    testing_support::DebugCapture capture;
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    char buffer[8];
    DWORD done = 0;
    close(dead.master);
    SetTimeouts(port, {0, 0, 300, 0, 0});
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !ProcessHolds(name); }, kBound));
    EXPECT_EQ(CountContaining(capture.messages, throughLink ? " hung up; waiting for it to come back"
                                                            : " hung up; a pseudo-terminal does not come back under its "
                                                              "number"),
              1u);

    BareLine next;
    ASSERT_TRUE(OpenBareLine(&next));
    if (next.name != name) std::printf("(%s was taken meanwhile; the new line is %s)\n", name.c_str(), next.name.c_str());
    ASSERT_EQ(write(next.master, "abc", 3), 3);
    // The read's own time-out is the clock: the port looks at its path every 200 ms meanwhile.
    SetTimeouts(port, {0, 0, 1000, 0, 0});
    done = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u) << "the port took up " << next.name << " through the name of the dead line";
    EXPECT_FALSE(ProcessHolds(next.name));

    if (throughLink) {
      ASSERT_TRUE(MoveLink(link, next.name));
      SetTimeouts(port, {0, 0, static_cast<DWORD>(std::chrono::milliseconds(kBound).count()), 0, 0});
      done = 0;
      ASSERT_TRUE(ReadFile(port, buffer, 3, &done, nullptr));
      EXPECT_EQ(std::string(buffer, done), "abc") << "the moved link did not bring the line back";
    }
    ASSERT_TRUE(CloseHandle(port));
    close(next.master);
  }
}

// ---------------------------------------------------------------------------------------------
// Fault injection

TEST_F(SerialPort, InjectedFaultFailsTheCallWithItsCodeAndLeavesBuffersAlone) {
  HANDLE port = Open();
  SetTimeouts(port, {MAXDWORD, 0, 0, 0, 0});
  struct Case {
    const char *call;
    std::function<BOOL(void *buffer)> run;
    size_t size;
  };
  for (const Case &c : {
           Case{"GetCommState", [&](void *out) { return GetCommState(port, static_cast<DCB *>(out)); }, sizeof(DCB)},
           Case{"GetCommTimeouts",
                [&](void *out) { return GetCommTimeouts(port, static_cast<COMMTIMEOUTS *>(out)); },
                sizeof(COMMTIMEOUTS)},
           Case{"GetCommMask", [&](void *out) { return GetCommMask(port, static_cast<DWORD *>(out)); }, sizeof(DWORD)},
           Case{"WaitCommEvent", [&](void *out) { return WaitCommEvent(port, static_cast<DWORD *>(out), nullptr); },
                sizeof(DWORD)},
           Case{"ReadFile",
                [&](void *out) {
                  DWORD done = 0;
                  return ReadFile(port, out, 4, &done, nullptr);
                },
                4},
           Case{"SetCommState",
                [&](void *) {
                  DCB dcb{};
                  GetCommState(port, &dcb);
                  return SetCommState(port, &dcb);
                },
                0},
           Case{"SetCommTimeouts",
                [&](void *) {
                  COMMTIMEOUTS timeouts{};
                  return SetCommTimeouts(port, &timeouts);
                },
                0},
           Case{"SetCommMask", [&](void *) { return SetCommMask(port, EV_RXCHAR); }, 0},
           Case{"PurgeComm", [&](void *) { return PurgeComm(port, PURGE_RXCLEAR); }, 0},
           Case{"WriteFile",
                [&](void *) {
                  DWORD done = 0;
                  return WriteFile(port, "x", 1, &done, nullptr);
                },
                0},
       }) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    platform::InjectFault(c.call, "COM1:", ERROR_GEN_FAILURE, 1);
    unsigned char buffer[sizeof(DCB)];
    std::memset(buffer, 0xA5, sizeof buffer);
    SetLastError(0);
    EXPECT_FALSE(c.run(buffer)) << c.call;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << c.call;
    for (size_t i = 0; i < c.size; ++i) ASSERT_EQ(buffer[i], 0xA5) << c.call << " wrote its output on failure";
    platform::ClearFaults();
  }
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(port, "y", 1, &done, nullptr));
  EXPECT_EQ(ReceiveAtMaster(pty_.master(), 1), "y") << "a failed WriteFile sent its byte";
  CloseHandle(port);
}

TEST_F(SerialPort, InjectedOpenFaultFailsCreateFileWithItsCode) {
  platform::InjectFault("CreateFileW", "COM1:", ERROR_ACCESS_DENIED, 1);
  SetLastError(0);
  EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE port = Open();
  EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
