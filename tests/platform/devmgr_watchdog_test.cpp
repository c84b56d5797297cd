// devmgr under a service manager, with no service manager: the test listens on a notification
// socket of its own, as systemd does, and checks readiness, the watchdog's pings (and their end
// while devmgr is stopped or a driver call is stuck), and the bound on a device handle's waits.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <windows.h>

#include "../drivers/test_driver.h"
#include "platform/device_protocol.h"
#include "norvik_host.h"
#include "process.h"
#include "test_root.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{20000};  // generous: sanitizer builds start slowly
// WATCHDOG_USEC of these tests: devmgr pings every 100 ms.
constexpr std::chrono::milliseconds kPeriod{200};
constexpr auto kReplyBound = platform::device_protocol::kReplyBound;

// Two devices of the test driver, TST1: and TST2:, which admit one handle each.
const std::string kHive =
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Test]\n\"Dll\"=\"libtest_driver.so\"\n\"Prefix\"=\"TST\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Other]\n\"Dll\"=\"libtest_driver.so\"\n\"Prefix\"=\"TST\"\n"
    "\"Index\"=dword:00000002\n\n";

struct HandleCloser {
  void operator()(void *handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

HANDLE OpenTestDevice(const char16_t *name = u"TST1:") {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// A datagram socket standing for the service manager's: at a path in the device root, or in the
// abstract namespace ("@NAME" in NOTIFY_SOCKET).
class NotifySocket {
 public:
  NotifySocket(const std::string &path, bool abstract) : name_(abstract ? "@" + path : path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + (abstract ? 1 : 0), path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr *>(&address), length) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }

  bool bound() const { return bound_; }
  const std::string &name() const { return name_; }

  // The next message, waiting up to `timeout` for it.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) {
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char message[256];
    ssize_t length = recv(fd_, message, sizeof(message), 0);
    return length >= 0 ? std::optional<std::string>(std::string(message, static_cast<size_t>(length))) : std::nullopt;
  }
  // The next message that is not `skipped`.
  std::optional<std::string> ReceiveOtherThan(const std::string &skipped, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto message = Receive(std::max(left, 0ms));
      if (!message || *message != skipped) return message;
    }
  }
  // Takes what is queued until nothing comes for `quiet`; false when messages kept coming for
  // the whole bound.
  bool DrainUntilQuiet(std::chrono::milliseconds quiet) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (Receive(quiet))
      if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  std::string name_;
};

class DevmgrWatchdogTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> Start(const std::map<std::string, std::optional<std::string>> &environment) {
    root_.WriteHive(kHive);
    auto devmgr = std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/devmgr",
                                                 std::vector<std::string>{"--root", root_.path()}, environment);
    return devmgr;
  }

  std::unique_ptr<ChildProcess> StartWatched(NotifySocket &notify) {
    return Start({{"NOTIFY_SOCKET", notify.name()}, {"WATCHDOG_USEC", std::to_string(kPeriod.count() * 1000)}});
  }

  testing_support::TempDeviceRoot root_;
};

TEST_F(DevmgrWatchdogTest, ReadinessAndPingsFollowWhatTheServiceManagerAsked) {
  struct Case {
    const char *what;
    bool abstract;
    std::optional<std::string> watchdogUsec;
    std::optional<std::string> watchdogPid;  // "self" for devmgr's own
    bool pings;
  };
  const Case cases[] = {
      {"a socket path and a watchdog", false, "200000", std::nullopt, true},
      {"an abstract socket and a watchdog for devmgr itself", true, "200000", "self", true},
      {"a watchdog for another process", false, "200000", "1", false},
      {"no watchdog", true, std::nullopt, std::nullopt, false},
      {"a watchdog period that is not a number", false, "2s", std::nullopt, false},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    NotifySocket notify(root_.path() + "/notify" + std::to_string(++n), c.abstract);
    ASSERT_TRUE(notify.bound());
    std::map<std::string, std::optional<std::string>> environment{{"NOTIFY_SOCKET", notify.name()},
                                                                   {"WATCHDOG_USEC", c.watchdogUsec}};
    // WATCHDOG_PID must name devmgr, whose pid is known only once it runs: a shell puts its own
    // pid there and becomes devmgr.
    std::unique_ptr<ChildProcess> devmgr;
    if (c.watchdogPid == "self") {
      root_.WriteHive(kHive);
      devmgr = std::make_unique<ChildProcess>(
          "/bin/sh", std::vector<std::string>{"-c", "WATCHDOG_PID=$$ exec \"$0\" --root \"$1\"",
                                              NORVIK_BIN_DIR "/devmgr", root_.path()},
          environment);
    } else {
      environment["WATCHDOG_PID"] = c.watchdogPid;
      devmgr = Start(environment);
    }
    auto first = notify.ReceiveOtherThan("WATCHDOG=1", kBound);
    ASSERT_EQ(first, "READY=1");
    // Ready only once the devices are published: they answer at once. (Their lines on standard
    // output come through a pipe of their own, which the test may read after the socket.)
    Handle device(OpenTestDevice());
    EXPECT_TRUE(testing_support::WaitUntil([&] { return devmgr->Lines(Stream::kStdout).size() == 2u; }, kBound))
        << devmgr->Output(Stream::kStdout);
    EXPECT_NE(device.get(), INVALID_HANDLE_VALUE);
    if (c.pings) {
      EXPECT_EQ(notify.Receive(kBound), "WATCHDOG=1");
      EXPECT_EQ(notify.Receive(kBound), "WATCHDOG=1");
    } else {
      EXPECT_EQ(notify.Receive(kPeriod * 3), std::nullopt);
    }
    device.reset();
    ASSERT_TRUE(devmgr->Signal(SIGTERM));
    EXPECT_EQ(notify.ReceiveOtherThan("WATCHDOG=1", kBound), "STOPPING=1");
    auto exit = devmgr->WaitForExit(kBound);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
    EXPECT_EQ(devmgr->Output(Stream::kStderr), "");
  }
}

TEST_F(DevmgrWatchdogTest, PingsStopWhileDevmgrIsStoppedAndResumeWhenItContinues) {
  NotifySocket notify(root_.path() + "/notify", false);
  ASSERT_TRUE(notify.bound());
  auto devmgr = StartWatched(notify);
  ASSERT_EQ(notify.ReceiveOtherThan("WATCHDOG=1", kBound), "READY=1");
  ASSERT_EQ(notify.Receive(kBound), "WATCHDOG=1");
  ASSERT_TRUE(devmgr->Signal(SIGSTOP));
  // A ping sent as the signal arrived may still be queued; after that, none for four intervals.
  ASSERT_TRUE(notify.DrainUntilQuiet(kPeriod));
  EXPECT_EQ(notify.Receive(kPeriod * 2), std::nullopt);
  ASSERT_TRUE(devmgr->Signal(SIGCONT));
  EXPECT_EQ(notify.Receive(kBound), "WATCHDOG=1");
  EXPECT_EQ(notify.Receive(kBound), "WATCHDOG=1");
}

TEST_F(DevmgrWatchdogTest, ACallStuckInTheDriverTimesOutItsCallerAndSilencesTheWatchdog) {
  NotifySocket notify(root_.path() + "/notify", false);
  ASSERT_TRUE(notify.bound());
  auto devmgr = StartWatched(notify);
  ASSERT_EQ(notify.ReceiveOtherThan("WATCHDOG=1", kBound), "READY=1");
  Handle stuck(OpenTestDevice());
  Handle waker(OpenTestDevice(u"TST2:"));
  ASSERT_NE(stuck.get(), INVALID_HANDLE_VALUE);
  ASSERT_NE(waker.get(), INVALID_HANDLE_VALUE);
  const auto started = std::chrono::steady_clock::now();
  DWORD milliseconds = static_cast<DWORD>(kBound.count() * 3);
  EXPECT_FALSE(DeviceIoControl(stuck.get(), IOCTL_TST_WAIT, &milliseconds, 4, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_GE(std::chrono::steady_clock::now() - started, kReplyBound);
  // The handle whose call went unanswered reaches the driver no more, and closes at once.
  EXPECT_FALSE(DeviceIoControl(stuck.get(), IOCTL_TST_ECHO, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_TRUE(CloseHandle(stuck.release()));

  auto said = devmgr->WaitForLine(Stream::kStderr, "a call has been inside the driver", kBound);
  ASSERT_TRUE(said);
  EXPECT_NE(said->find("devmgr: TST1: a call has been inside the driver for 1"), std::string::npos) << *said;
  EXPECT_NE(said->find("; devmgr no longer answers the service manager's watchdog, which ends and restarts it"),
            std::string::npos)
      << *said;
  ASSERT_TRUE(notify.DrainUntilQuiet(kPeriod));
  EXPECT_EQ(notify.Receive(kPeriod * 2), std::nullopt);
  // Once the driver returns, the pings resume.
  EXPECT_TRUE(DeviceIoControl(waker.get(), IOCTL_TST_SIGNAL, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(notify.Receive(kBound), "WATCHDOG=1");
}

TEST_F(DevmgrWatchdogTest, CallsOnAStoppedDevmgrFailWithTimeoutWithinTheBound) {
  auto devmgr = Start({});
  ASSERT_TRUE(devmgr->WaitForLine(Stream::kStdout, "TST1: published", kBound));
  Handle opened(OpenTestDevice());
  ASSERT_NE(opened.get(), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(devmgr->Signal(SIGSTOP));
  // A call on a handle opened before, and a new open, at the same time: both wait the bound.
  const auto started = std::chrono::steady_clock::now();
  auto call = std::async(std::launch::async, [&] {
    DWORD in = 7, out = 0;
    BOOL ok = DeviceIoControl(opened.get(), IOCTL_TST_ECHO, &in, 4, &out, 4, nullptr, nullptr);
    return std::make_pair(ok, GetLastError());
  });
  auto open = std::async(std::launch::async, [&] {
    HANDLE device = OpenTestDevice();
    DWORD error = GetLastError();
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    return std::make_pair(device != INVALID_HANDLE_VALUE, error);
  });
  ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
  ASSERT_EQ(open.wait_for(kBound), std::future_status::ready);
  EXPECT_GE(std::chrono::steady_clock::now() - started, kReplyBound);
  EXPECT_EQ(call.get(), std::make_pair(FALSE, static_cast<DWORD>(ERROR_TIMEOUT)));
  EXPECT_EQ(open.get(), std::make_pair(false, static_cast<DWORD>(ERROR_TIMEOUT)));
  // Continued, devmgr closes in the driver what the callers gave up, and serves new handles.
  // The device admits one handle, so it opens again once devmgr has seen the given-up connection
  // end, which it does as soon as it runs.
  ASSERT_TRUE(devmgr->Signal(SIGCONT));
  Handle again;
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] {
        HANDLE device = OpenTestDevice();
        if (device == INVALID_HANDLE_VALUE) return false;
        again.reset(device);
        return true;
      },
      kBound))
      << "the handle the timed-out caller gave up was never closed in the driver: error " << GetLastError();
  ASSERT_TRUE(again);
  DWORD in = 9, out = 0;
  EXPECT_TRUE(DeviceIoControl(again.get(), IOCTL_TST_ECHO, &in, 4, &out, 4, nullptr, nullptr));
  EXPECT_EQ(out, 9u);
}

}  // namespace
