// The hive file: read whole through one descriptor (it is replaced, never written in place, so
// one descriptor reads one complete version), and replaced under flock on registry.reg.lock by a
// synced temporary file renamed over it. Problems are reported on standard error once each.
#include "registry_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/access_advice.h"
#include "platform/device_root.h"

namespace platform {
namespace {

constexpr const char *kTemporaryInfix = ".tmp-";

struct Reports {
  std::mutex mutex;
  std::set<std::string> keys;
};

void ReportOnce(const std::string &key, const std::string &message) {
  static Reports *reports = new Reports;  // outlives static destructors that still use the registry
  std::lock_guard lock(reports->mutex);
  if (!reports->keys.insert(key).second) return;
  std::string line = "registry: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsDirectory(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// For a user the file system refuses, who may use the device root or the file that refuses, and
// how to become one of them.
std::string Advice(const std::string &path, int error, const std::string &otherwise) {
  if (error != EACCES && error != EPERM) return otherwise;
  const std::string root = DirectoryOf(path);
  return access(root.c_str(), X_OK) != 0 ? AccessAdvice("the device root", root) : AccessAdvice("the file", path);
}

// A user who may read the hive but not change it is one of the root's group: its settings are
// changed by devmgr's driver on their behalf, never by them in the file.
LONG ReportCannotWrite(const std::string &path, int error) {
  const std::string hive = path.size() > 5 && path.compare(path.size() - 5, 5, ".lock") == 0
                               ? path.substr(0, path.size() - 5)
                               : path;
  const bool refused = error == EACCES || error == EPERM;
  const std::string advice =
      refused && access(hive.c_str(), R_OK) == 0
          ? "the settings of this device root are changed only through its driver (nrvctl set, calvex's Touch "
            "Settings, a calibration) or as root"
          : Advice(path, error, "make the device root writable and leave room on its disk");
  std::string message = "cannot write " + path + ": " + std::strerror(error) + " (" + advice + "; the hive is unchanged)";
  ReportOnce(message, message);
  return refused ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
}

LONG ReportMissingRoot(const std::string &root) {
  std::string message = "device root " + root + " does not exist: make it with `nrvctl --root " + root +
                        " init --port TTY`, or pass --root DIR or set DEVICE_ROOT to an existing one";
  ReportOnce(message, message);
  return ERROR_PATH_NOT_FOUND;
}

LONG ReportCannotRead(const std::string &path, int error) {
  const std::string otherwise = error == ELOOP ? "it is a symbolic link, which the registry does not follow: "
                                                 "put the hive itself in its place"
                                               : "check that it is a file you may read";
  std::string message = "cannot read " + path + ": " + std::strerror(error) + " (" + Advice(path, error, otherwise) + ")";
  ReportOnce(message, message);
  return ERROR_CANTREAD;
}

bool ReadAll(int fd, std::string *bytes) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes->append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

// The file's bytes; *info describes the version read. A missing file reads as empty.
LONG ReadBytes(const std::string &path, std::string *bytes, struct stat *info) {
  bytes->clear();
  *info = {};
  // Not through a symbolic link, nor from a fifo or device that would block or answer anything.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return ReportCannotRead(path, errno);
    std::string root = DirectoryOf(path);
    return IsDirectory(root) ? ERROR_SUCCESS : ReportMissingRoot(root);
  }
  LONG result = ERROR_SUCCESS;
  if (fstat(fd, info) != 0) {
    result = ReportCannotRead(path, errno);
  } else if (!S_ISREG(info->st_mode)) {
    std::string message = "cannot read " + path + ": it is not a regular file (put the hive itself in its place)";
    ReportOnce(message, message);
    result = ERROR_CANTREAD;
  } else if (!ReadAll(fd, bytes)) {
    result = ReportCannotRead(path, errno);
  }
  close(fd);
  return result;
}

// Holds the exclusive lock that orders every change of the hive, across threads (each takes its
// own descriptor) and processes.
class HiveLock {
 public:
  ~HiveLock() {
    if (fd_ < 0) return;
    // Unlock explicitly: a child forked meanwhile shares the descriptor and would keep the lock.
    flock(fd_, LOCK_UN);
    close(fd_);
  }

  // Takes the lock NAME.lock of the hive NAME in `folder`: 0, or the errno of what failed.
  int Acquire(int folder, const std::string &name) {
    // Only its owner takes the lock: one that others could take would let them stall every change.
    fd_ = openat(folder, (name + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd_ < 0) return errno;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

 private:
  int fd_ = -1;
};

// Temporary files are written and renamed only under the lock, so any left while one holds it
// belong to writers that died.
void RemoveStaleTemporaries(int folder, const std::string &name) {
  const std::string prefix = name + kTemporaryInfix;
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (dir == nullptr) {
    if (listing >= 0) close(listing);
    return;
  }
  while (struct dirent *entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Writes text to a temporary file in `folder`, syncs it, renames it over the hive NAME and syncs
// the folder, so that the hive is either the old file or the complete new one. The new file is
// given `owners`; unless `exact`, a change this user may not make (EPERM) is left out. 0, or the
// errno of what failed.
int ReplaceFile(int folder, const std::string &name, const std::string &text, const HiveFileOwners &owners,
                bool exact) {
  static std::atomic<unsigned> counter{0};
  std::string temporary = name + kTemporaryInfix + std::to_string(getpid()) + "-" + std::to_string(counter++);
  int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  if ((owners.group != static_cast<gid_t>(-1) || owners.owner != static_cast<uid_t>(-1)) &&
      fchown(fd, owners.owner, owners.group) != 0 && (exact || errno != EPERM)) {
    int error = errno;
    close(fd);
    unlinkat(folder, temporary.c_str(), 0);
    return error;
  }
  bool written = fchmod(fd, owners.mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written || renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    if (written) error = errno;
    unlinkat(folder, temporary.c_str(), 0);
    return error;
  }
  return fsync(folder) == 0 ? 0 : errno;
}

LONG ReadAndParse(const std::string &path, RegistryHive *hive, struct stat *info) {
  std::string bytes;
  if (LONG result = ReadBytes(path, &bytes, info)) return result;
  HiveParseError error;
  if (ParseHive(bytes, hive, &error)) return ERROR_SUCCESS;
  std::string key = path + "|" + std::to_string(info->st_dev) + ":" + std::to_string(info->st_ino) + ":" +
                    std::to_string(info->st_size) + ":" + std::to_string(info->st_mtim.tv_sec) + "." +
                    std::to_string(info->st_mtim.tv_nsec) + "|" + std::to_string(error.line) + error.message;
  ReportOnce(key, path + ":" + std::to_string(error.line) + ": " + error.message +
                      " (fix or remove the file; it is left untouched)");
  return ERROR_BADDB;
}

}  // namespace

LONG HiveFilePath(std::string *path) {
  if (DeviceRoot().empty()) {
    ReportOnce("no device root", "no device root: pass --root DIR or set DEVICE_ROOT");
    return ERROR_PATH_NOT_FOUND;
  }
  *path = RegistryPath();
  return ERROR_SUCCESS;
}

LONG ReadHiveFile(const std::string &path, RegistryHive *hive) {
  struct stat info {};
  return ReadAndParse(path, hive, &info);
}

LONG UpdateHiveFile(const std::string &path, const std::function<LONG(RegistryHive &)> &change) {
  const std::string directory = DirectoryOf(path);
  const std::string name = path.substr(path.rfind('/') + 1);
  // The lock, the temporary file and the rename are all reached from one descriptor of the
  // device root, so that they are in one folder whatever becomes of its name meanwhile.
  const int folder = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return errno == ENOENT ? ReportMissingRoot(directory) : ReportCannotWrite(path + ".lock", errno);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closeFolder{folder};
  HiveLock lock;
  if (int error = lock.Acquire(folder, name))
    return error == ENOENT ? ReportMissingRoot(directory) : ReportCannotWrite(path + ".lock", error);
  RegistryHive hive;
  struct stat info {};
  if (LONG result = ReadAndParse(path, &hive, &info)) return result;
  std::string before = SerializeHive(hive);
  if (LONG result = change(hive)) return result;
  std::string after = SerializeHive(hive);
  if (after == before) return ERROR_SUCCESS;
  RemoveStaleTemporaries(folder, name);
  // The new version keeps the old one's group where this user may give it (a member of that group
  // may), then its mode, so that a root shared by a group stays shared after any member's change.
  // Root also gives it back to its owner: the service's account, which writes it from then on,
  // keeps a hive that root changed as its own.
  const bool existed = info.st_nlink != 0;
  HiveFileOwners owners;
  owners.mode = (info.st_mode & 07777) != 0 ? info.st_mode & 07777 : SharedFileMode(directory);
  if (existed && geteuid() == 0) owners.owner = info.st_uid;
  if (existed) owners.group = info.st_gid;
  const int error = ReplaceFile(folder, name, after, owners, false);
  return error == 0 ? ERROR_SUCCESS : ReportCannotWrite(path, error);
}

int WriteHiveFile(int root, const std::string &text, const HiveFileOwners &owners) {
  const std::string name = "registry.reg";
  HiveLock lock;
  if (int error = lock.Acquire(root, name)) return error;
  RemoveStaleTemporaries(root, name);
  return ReplaceFile(root, name, text, owners, true);
}

}  // namespace platform
