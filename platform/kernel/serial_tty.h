// A tty held as a serial line: opened without becoming the controlling terminal, kept from every
// other opener that locks it (flock), set to raw bytes, asked for low latency, and watched for the
// hang-up that a line whose far end has gone reports.
#pragma once

#include <termios.h>

#include <string>

namespace platform {

// What stopped OpenSerialTty, with the errno it gave.
struct SerialTtyFailure {
  enum Step { kOpen, kNotATty, kLock } step = kOpen;
  int error = 0;
};

// Opens path read-write and non-blocking and locks it with flock. Returns the descriptor, or -1
// with *failure saying which step failed (kOpen with EBUSY: another program holds the tty with
// TIOCEXCL).
int OpenSerialTty(const std::string &path, SerialTtyFailure *failure);
// Lets go of the lock that OpenSerialTty took, so that the next opener gets the tty at once.
void ReleaseSerialTty(int fd);
// Raw bytes both ways, no modem control, no flow control, reads that never block in the kernel;
// the speed stays as it was. On success *settings holds what the tty now has.
bool MakeSerialTtyRaw(int fd, termios *settings);
// Asks the tty to hand over received bytes without delay (ASYNC_LOW_LATENCY). Returns 0, or the
// errno of a tty that has no such setting (a pseudo-terminal) or refused it.
int RequestLowLatency(int fd);
// True when the tty has hung up: its far end is gone and it will never deliver a byte again.
bool SerialTtyHungUp(int fd);

// What a hung-up line's path may lead to next. A device tty's number is given again to the same
// kind of line (a replugged adapter is /dev/ttyUSB0 again), but a pseudo-terminal's number goes to
// whichever program opens the next one: a login's terminal, another test's line. So a dead
// pseudo-terminal is followed only through a symbolic link that someone has since replaced, never
// through its own /dev/pts name nor an unchanged link to it.
class SerialTtyReturn {
 public:
  // Notes the path as it is now and whether the tty opened through it is a pseudo-terminal.
  SerialTtyReturn(const std::string &path, int fd);
  // False while the path cannot lead to the line's successor: open nothing through it.
  bool MayHaveReturned(const std::string &path) const;
  // True when the path itself (no link) names a pseudo-terminal, which never comes back.
  bool Never() const { return pseudoTerminal_ && !link_; }

 private:
  bool pseudoTerminal_ = false;
  bool link_ = false;
  unsigned long long device_ = 0, inode_ = 0;
  long long changedSeconds_ = 0, changedNanoseconds_ = 0;
};

}  // namespace platform
