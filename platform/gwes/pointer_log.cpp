// The "log" pointer output: one text line per mouse_event or MessageBeep call, appended to a file
// (or written to standard output), for tests and for watching what a driver does.
//
// Other processes read the file while it grows, and several processes may append to it: each line
// goes out in one write(2) on a descriptor opened with O_APPEND, so lines never mix or overwrite
// one another, and nothing is held back in a buffer.
//
// The file may be in a folder that others can write (the device root's run/, say), and the program
// may run as root: it is opened without following a symbolic link, inside the device root from the
// root's own descriptor, and only a regular file with one name, owned by this program's user (or
// root, or the service's account), is written to.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/device_root.h"
#include "platform/trusted_path.h"
#include "pointer_backend.h"

namespace platform {
namespace {

class PointerLog : public PointerBackend {
 public:
  PointerLog(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~PointerLog() override {
    if (fd_ != STDOUT_FILENO) close(fd_);
  }
  PointerLog(const PointerLog &) = delete;
  PointerLog &operator=(const PointerLog &) = delete;

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD) override {
    char line[64];
    int size = std::snprintf(line, sizeof line, "mouse_event flags=0x%04x dx=%u dy=%u\n", flags, dx, dy);
    WriteLine(line, static_cast<size_t>(size));
  }

  BOOL Beep(UINT type) override {
    char line[32];
    int size = std::snprintf(line, sizeof line, "MessageBeep type=%u\n", type);
    if (WriteLine(line, static_cast<size_t>(size))) return TRUE;
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }

 private:
  bool WriteLine(const char *line, size_t size) {
    size_t written = 0;
    while (written < size) {
      ssize_t n = write(fd_, line + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ReportFailure(n < 0 ? errno : EIO);
        return false;
      }
      written += static_cast<size_t>(n);
    }
    return true;
  }

  void ReportFailure(int error) {
    if (reported_) return;
    reported_ = true;
    NKDbgPrintfW(u"gwes: cannot write to the pointer log %a: %a: free space or correct HKLM\\Platform\\Input "
                 u"\"PointerLog\"; the lines that fail are lost\n",
                 name_.c_str(), std::strerror(error));
  }

  int fd_;
  std::string name_;
  bool reported_ = false;
};

}  // namespace

namespace {

// Why a log is not used, as the end of a sentence that starts with PointerLog "FILE".
constexpr const char kFix[] = "name another file in HKLM\\Platform\\Input \"PointerLog\"";

std::string OwnerName(uid_t owner) {
  const passwd *entry = getpwuid(owner);
  return entry != nullptr ? std::string(entry->pw_name) : "uid " + std::to_string(owner);
}

std::string CannotOpen(const std::string &shown, int error) {
  if (error == ELOOP)
    return "is refused: " + shown + " is a symbolic link, which could lead anywhere: remove it, or " + kFix;
  return "cannot be opened: " + std::string(std::strerror(error)) +
         ": create its folder or make it writable, or change HKLM\\Platform\\Input \"PointerLog\"";
}

// The folder that holds the last component of the relative `path`, reached from `start` one
// component at a time without following a symbolic link; -1 with *why set. `start` stays open.
int OpenFolder(int start, const std::string &base, const std::string &path, std::string *name, std::string *why) {
  int folder = start;
  std::string shown = base;
  size_t at = 0;
  for (size_t next; (next = path.find('/', at)) != std::string::npos; at = next + 1) {
    const std::string part = path.substr(at, next - at);
    if (part.empty() || part == ".") continue;
    shown += (shown.empty() ? "" : "/") + part;
    const int child = openat(folder, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    if (folder != start) close(folder);
    if (child < 0) {
      *why = error == ENOTDIR ? "is refused: " + shown + " is a symbolic link or not a folder: " + kFix
                              : CannotOpen(shown, error);
      return -1;
    }
    folder = child;
  }
  *name = path.substr(at);
  return folder;
}

// Opens `name` in `folder` for appending, making it 0640 when it is new; -1 with *why set.
int OpenInFolder(int folder, const std::string &name, const std::string &shown, std::string *why) {
  // O_NONBLOCK: a FIFO put in the log's place must not hold the program up until someone reads it.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  int fd = -1;
  bool made = false;
  // Made with O_EXCL, so that "new" is known for certain; the loop covers a file that comes or
  // goes between the two opens.
  for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
    fd = openat(folder, name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = openat(folder, name.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
      made = fd >= 0;
    }
    if (fd < 0 && errno != ENOENT && errno != EEXIST) break;
  }
  struct stat info {};
  if (fd < 0) {
    // A FIFO without a reader, or a device without its hardware, refuses to open at all.
    const int error = errno;
    const bool special = fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode) &&
                         !S_ISLNK(info.st_mode);
    *why = special ? "is refused: " + shown + " is not a regular file: " + kFix : CannotOpen(shown, error);
    return -1;
  }
  if (fstat(fd, &info) != 0) *why = CannotOpen(shown, errno);
  else if (!S_ISREG(info.st_mode)) *why = "is refused: " + shown + " is not a regular file: " + kFix;
  else if (!IsTrustedOwner(info.st_uid))
    *why = "is refused: " + shown + " belongs to " + OwnerName(info.st_uid) +
           ", who could make it any file: remove it, or " + kFix;
  else if (info.st_nlink != 1)
    *why = "is refused: " + shown + " has " + std::to_string(info.st_nlink) +
           " names (hard links), so it may be another file: remove it, or " + kFix;
  // Readable by the device root's group, whatever this program's umask.
  else if (made && fchmod(fd, 0640) != 0) *why = CannotOpen(shown, errno);
  else if (fcntl(fd, F_SETFL, O_APPEND) != 0) *why = CannotOpen(shown, errno);
  else return fd;
  close(fd);
  return -1;
}

}  // namespace

std::unique_ptr<PointerBackend> StartPointerLog(const std::string &path, std::string *problem) {
  if (path.empty()) return std::make_unique<PointerLog>(STDOUT_FILENO, "on standard output");
  const std::string root = DeviceRoot();
  const bool inRoot = path.front() != '/' && !root.empty();
  const std::string shown = inRoot ? root + "/" + path : path;
  std::string why;
  int fd = -1;
  if (!inRoot) {
    // An absolute name is the administrator's own choice of folder; only the file is checked.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int start = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (start < 0) why = CannotOpen(folder, errno);
    else fd = OpenInFolder(start, path.substr(slash + 1), shown, &why);
    if (start >= 0) close(start);
  } else if (const int start = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); start < 0) {
    why = CannotOpen(root, errno);
  } else {
    // Below the device root every folder on the way is checked too: some of them others may write.
    std::string name;
    const int folder = OpenFolder(start, root, path, &name, &why);
    if (folder >= 0) fd = OpenInFolder(folder, name, shown, &why);
    if (folder >= 0 && folder != start) close(folder);
    close(start);
  }
  if (fd < 0) {
    *problem = "PointerLog \"" + shown + "\" " + why;
    return nullptr;
  }
  return std::make_unique<PointerLog>(fd, shown);
}

}  // namespace platform
