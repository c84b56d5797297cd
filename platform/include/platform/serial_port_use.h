// What this process's serial ports are doing: for each "COMn:" opened here, the tty it led to,
// whether a handle holds it, and why its last open failed. devmgr watches it to start a driver
// again when the port it could not open appears, and answers its clients' questions from it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

// The state of a path at one moment, as stat(2) following links saw it; two differ when the path
// came, went, was pointed elsewhere or had its owner or mode changed.
struct PathState {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  dev_t node = 0;  // st_rdev: which tty a device node is
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  timespec changed{};  // st_ctim

  static PathState Of(const std::string &path);
  bool operator==(const PathState &other) const;
};

struct SerialPortUse {
  std::string port;      // "COM1:"
  std::string path;      // the tty its mapping named at the last open; empty when it names none
  unsigned user = 0;     // the caller's SetSerialPortUser tag at the last open
  unsigned holders = 0;  // handles of this process that have it open
  // Its last open failed (*reason says why) and no handle holds it.
  bool openFailed = false;
  // That failure may end by itself once the path changes: it was missing, refused to this user, or
  // led to no line. Not for a line held by another program, nor a mapping that names no tty.
  bool mayAppear = false;
  std::string reason;      // "No such file or directory (...)": why the last open failed
  uint64_t failure = 0;    // counts failures, so that a watcher knows a new one from an old one
  PathState pathAtFailure;  // the path as it was when that open failed
};

// Tags the serial opens of the calling thread from here on: devmgr gives each device's calls
// its own tag, to know which driver a port belongs to. 0 (the default) for none.
void SetSerialPortUser(unsigned user);
unsigned SerialPortUser();

// Every port opened, or tried, by this process.
std::vector<SerialPortUse> SerialPortUses();
// A descriptor that becomes readable after any change of SerialPortUses(); reading it (8 bytes,
// non-blocking) clears it. Never closed.
int SerialPortUseChanges();

}  // namespace platform
