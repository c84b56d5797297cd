// A tty held as a serial line. flock keeps out every opener that locks, root and this process
// included, and ends with the process that holds it, however it ends. TIOCEXCL is not used: the
// flag belongs to the tty, not to its holder, so it outlives a holder that is killed while anything
// else keeps the tty open (a pseudo-terminal's master, another program), and then refuses every
// later opener but root, the holder's own restart included.
#include "serial_tty.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

int OpenSerialTty(const std::string &path, SerialTtyFailure *failure) {
  auto fail = [&](SerialTtyFailure::Step step, int error, int fd) {
    failure->step = step;
    failure->error = error;
    if (fd >= 0) close(fd);
    return -1;
  };
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(SerialTtyFailure::kOpen, errno, -1);
  if (!isatty(fd)) return fail(SerialTtyFailure::kNotATty, ENOTTY, fd);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(SerialTtyFailure::kLock, errno, fd);
  return fd;
}

void ReleaseSerialTty(int fd) {
  // The descriptor itself may stay open a while longer (a call the close woke is returning).
  flock(fd, LOCK_UN);
}

bool MakeSerialTtyRaw(int fd, termios *settings) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~CRTSCTS;
  tio.c_iflag &= ~(IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0 || tcgetattr(fd, settings) != 0) return false;
  return true;
}

int RequestLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return errno;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return 0;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0 ? 0 : errno;
}

bool SerialTtyHungUp(int fd) {
  pollfd line{fd, POLLIN, 0};
  return poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

namespace {

// The majors of Unix 98 pseudo-terminal slaves (/dev/pts/N): 136 and the seven after it.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;

}  // namespace

SerialTtyReturn::SerialTtyReturn(const std::string &path, int fd) {
  struct stat line {};
  pseudoTerminal_ = fstat(fd, &line) == 0 && S_ISCHR(line.st_mode) && major(line.st_rdev) >= kFirstPtySlaveMajor &&
                    major(line.st_rdev) < kFirstPtySlaveMajor + kPtySlaveMajors;
  struct stat name {};
  if (lstat(path.c_str(), &name) != 0) return;
  link_ = S_ISLNK(name.st_mode);
  device_ = name.st_dev;
  inode_ = name.st_ino;
  changedSeconds_ = name.st_ctim.tv_sec;
  changedNanoseconds_ = name.st_ctim.tv_nsec;
}

bool SerialTtyReturn::MayHaveReturned(const std::string &path) const {
  if (!pseudoTerminal_) return true;
  if (!link_) return false;
  struct stat name {};
  if (lstat(path.c_str(), &name) != 0) return false;
  // A link cannot be pointed elsewhere in place: a moved one is a new inode, made later.
  return name.st_dev != device_ || name.st_ino != inode_ || name.st_ctim.tv_sec != changedSeconds_ ||
         name.st_ctim.tv_nsec != changedNanoseconds_;
}

}  // namespace platform
