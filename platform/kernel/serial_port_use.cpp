// The record of this process's serial ports behind SerialPortUses(): the serial port code notes
// every open, failed open and close here.
#include "platform/serial_port_use.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "serial_port_record.h"

namespace platform {
namespace {

thread_local unsigned currentUser = 0;

struct Record {
  std::mutex mutex;
  std::map<std::string, SerialPortUse> ports;
  int changes = -1;
};

Record &TheRecord() {
  static Record *record = new Record;  // never destroyed: driver threads may note a close at exit
  return *record;
}

// The caller holds the record's mutex.
void Signal(Record &record) {
  if (record.changes < 0) return;
  uint64_t one = 1;
  ssize_t ignored = write(record.changes, &one, sizeof one);
  (void)ignored;  // a counter that is already readable needs nothing more
}

}  // namespace

PathState PathState::Of(const std::string &path) {
  PathState state;
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) return state;
  state.exists = true;
  state.device = info.st_dev;
  state.inode = info.st_ino;
  state.node = info.st_rdev;
  state.mode = info.st_mode;
  state.owner = info.st_uid;
  state.group = info.st_gid;
  state.changed = info.st_ctim;
  return state;
}

bool PathState::operator==(const PathState &other) const {
  if (exists != other.exists) return false;
  if (!exists) return true;
  return device == other.device && inode == other.inode && node == other.node && mode == other.mode &&
         owner == other.owner && group == other.group && changed.tv_sec == other.changed.tv_sec &&
         changed.tv_nsec == other.changed.tv_nsec;
}

void SetSerialPortUser(unsigned user) { currentUser = user; }

unsigned SerialPortUser() { return currentUser; }

std::vector<SerialPortUse> SerialPortUses() {
  Record &record = TheRecord();
  std::lock_guard lock(record.mutex);
  std::vector<SerialPortUse> uses;
  for (const auto &[name, use] : record.ports) uses.push_back(use);
  return uses;
}

int SerialPortUseChanges() {
  Record &record = TheRecord();
  std::lock_guard lock(record.mutex);
  if (record.changes < 0) record.changes = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return record.changes;
}

void NoteSerialOpened(const std::string &port, const std::string &path) {
  Record &record = TheRecord();
  std::lock_guard lock(record.mutex);
  SerialPortUse &use = record.ports[port];
  use.port = port;
  use.path = path;
  use.user = currentUser;
  ++use.holders;
  use.openFailed = false;
  use.mayAppear = false;
  use.reason.clear();
  Signal(record);
}

void NoteSerialOpenFailed(const std::string &port, const std::string &path, const std::string &reason,
                          bool mayAppear) {
  const PathState state = PathState::Of(path);
  Record &record = TheRecord();
  std::lock_guard lock(record.mutex);
  SerialPortUse &use = record.ports[port];
  // A handle of this process that holds the port is not affected by another open failing.
  if (use.holders > 0) return;
  use.port = port;
  use.user = currentUser;
  use.path = path;
  use.openFailed = true;
  use.mayAppear = mayAppear;
  use.reason = reason;
  ++use.failure;
  use.pathAtFailure = state;
  Signal(record);
}

void NoteSerialClosed(const std::string &port) {
  Record &record = TheRecord();
  std::lock_guard lock(record.mutex);
  auto found = record.ports.find(port);
  if (found == record.ports.end() || found->second.holders == 0) return;
  --found->second.holders;
  Signal(record);
}

}  // namespace platform
