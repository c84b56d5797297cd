// The sending end of the serial line. Pacing keeps an absolute schedule, so rounding does not
// accumulate, and never sends a burst to catch up after the line was blocked: a real line cannot
// exceed its rate.
#include "serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <thread>

namespace touchsim {

namespace {

int stopSignalsFd = -1;

}  // namespace

void WatchStopSignals(int stopSignals) { stopSignalsFd = stopSignals; }

bool StopRequested() {
  if (stopSignalsFd < 0) return false;
  pollfd pending{stopSignalsFd, POLLIN, 0};
  return poll(&pending, 1, 0) > 0;
}

namespace {

void MakeRaw(int fd) {
  struct termios settings {};
  if (tcgetattr(fd, &settings) != 0) return;
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &settings);
}

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
  }
}

// Sleeps in short steps so that a stop request ends a long pause promptly.
void SleepUntil(std::chrono::steady_clock::time_point when) {
  while (!StopRequested()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= when) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(when - now, std::chrono::milliseconds(50)));
  }
}

}  // namespace

SerialLine::~SerialLine() {
  if (writeFd_ >= 0) close(writeFd_);
  if (holdFd_ >= 0) close(holdFd_);
}

bool SerialLine::OpenPseudoTerminal(std::string *error) {
  // Non-blocking, as every line touchsim writes: the stop signals are blocked, so a write that
  // waited for room would never see one (Send waits in short steps instead).
  writeFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (writeFd_ < 0 || grantpt(writeFd_) != 0 || unlockpt(writeFd_) != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(writeFd_, name, sizeof name) != 0) {
    *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  path_ = name;
  holdFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (holdFd_ < 0) {
    *error = "cannot open " + path_ + ": " + std::strerror(errno);
    return false;
  }
  // Raw from the start: bytes that arrive before the port is opened must pass unchanged, and
  // nothing may be echoed back.
  MakeRaw(holdFd_);
  return true;
}

bool SerialLine::OpenTty(const std::string &path, uint32_t baud, std::string *error, bool *notATty) {
  // Non-blocking like the pseudo-terminal, which also keeps the open from waiting for a carrier.
  writeFd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (writeFd_ < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!isatty(writeFd_)) {
    close(writeFd_);
    writeFd_ = -1;
    *notATty = true;
    *error = path + " is not a tty: give a serial port (such as /dev/ttyUSB0) or one end of a pseudo-terminal, "
             "or use --port COMn: to make one";
    return false;
  }
  path_ = path;
  MakeRaw(writeFd_);
  if (speed_t speed = SpeedOf(baud)) {
    struct termios settings {};
    tcgetattr(writeFd_, &settings);
    cfsetspeed(&settings, speed);
    tcsetattr(writeFd_, TCSANOW, &settings);
  }
  return true;
}

bool SerialLine::Send(const std::string &bytes, std::string *error) {
  auto now = std::chrono::steady_clock::now();
  if (next_ < now) next_ = now;
  if (baud_ != 0) {
    SleepUntil(next_);
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (StopRequested()) {
      *error = "interrupted";
      return false;
    }
    ssize_t n = write(writeFd_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        // The line is full (nobody reads the port): wait for room in steps a stop request ends.
        pollfd room[] = {{writeFd_, POLLOUT, 0}, {stopSignalsFd, POLLIN, 0}};
        poll(room, 2, 50);
        continue;
      }
      *error = "write to " + path_ + " failed: " + std::strerror(errno);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  if (baud_ != 0) next_ += std::chrono::nanoseconds(static_cast<int64_t>(bytes.size()) * 10 * 1000000000LL / baud_);
  return true;
}

void SerialLine::Pause(uint32_t milliseconds) {
  auto now = std::chrono::steady_clock::now();
  if (next_ < now) next_ = now;
  next_ += std::chrono::milliseconds(milliseconds);
  SleepUntil(next_);
}

size_t SerialLine::Drain(uint32_t milliseconds) {
  if (holdFd_ < 0) return 0;
  // Bytes just written pass through the line's buffer before they reach the queue that the
  // count covers, so the queue must stay empty for a little while before the line is let go.
  const auto settle = std::chrono::milliseconds(20);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  auto emptySince = std::chrono::steady_clock::now();
  bool wasEmpty = false;
  for (;;) {
    int unread = 0;
    if (ioctl(holdFd_, FIONREAD, &unread) != 0) return 0;
    auto now = std::chrono::steady_clock::now();
    if (unread <= 0) {
      if (!wasEmpty) emptySince = now;
      wasEmpty = true;
      if (now - emptySince >= settle) return 0;
    } else {
      wasEmpty = false;
    }
    if (StopRequested() || now >= deadline) return unread > 0 ? static_cast<size_t>(unread) : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace touchsim
