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

std::string CannotOpen(int error) {
  return "cannot be opened: " + std::string(std::strerror(error)) +
         ": create its folder or make it writable, or change HKLM\\Platform\\Input \"PointerLog\"";
}

// The log `path` opened for appending from the folder `start`, shown as `base`, made 0640 when it
// is new; -1 with *why set. Its folders need only be real ones (no symbolic link); the file must
// be a regular one of a trusted owner with a single name.
int OpenLog(int start, const std::string &base, const std::string &path, std::string *why) {
  TrustedOpen how;
  how.flags = O_WRONLY | O_APPEND;
  bool made = false;
  how.create = true;
  how.made = &made;
  how.trustFolders = false;
  how.othersMayWrite = true;
  how.oneName = true;
  TrustedRefusal refused;
  const int fd = OpenTrustedPathAt(start, base, path, how, &refused);
  using Kind = TrustedRefusal::Kind;
  const std::string &at = refused.at;
  if (fd >= 0) {
    // Readable by the device root's group, whatever this program's umask; written without
    // O_NONBLOCK.
    if ((!made || fchmod(fd, 0640) == 0) && fcntl(fd, F_SETFL, O_APPEND) == 0) return fd;
    *why = CannotOpen(errno);
    close(fd);
  } else if (refused.kind == Kind::kNotFolder || (refused.kind == Kind::kLink && !refused.last)) {
    *why = "is refused: " + at + " is a symbolic link or not a folder: " + kFix;
  } else if (refused.kind == Kind::kLink) {
    *why = "is refused: " + at + " is a symbolic link, which could lead anywhere: remove it, or " + kFix;
  } else if (refused.kind == Kind::kNotRegular) {
    *why = "is refused: " + at + " is not a regular file: " + kFix;
  } else if (refused.kind == Kind::kOwner) {
    *why = "is refused: " + at + " belongs to " + UserName(refused.owner) +
           ", who could make it any file: remove it, or " + kFix;
  } else if (refused.kind == Kind::kNames) {
    *why = "is refused: " + at + " has " + std::to_string(refused.names) +
           " names (hard links), so it may be another file: remove it, or " + kFix;
  } else if (refused.kind == Kind::kPath) {
    *why = "is refused: " + refused.why + ": " + kFix;
  } else {
    *why = CannotOpen(refused.error);
  }
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
  // An absolute name is the administrator's own choice of folder; only the file is checked.
  // Below the device root every folder on the way is checked too: some of them others may write.
  const size_t slash = path.rfind('/');
  const std::string folder = inRoot                        ? root
                             : slash == std::string::npos ? "."
                             : slash == 0                 ? "/"
                                                          : path.substr(0, slash);
  if (const int start = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); start < 0) {
    why = CannotOpen(errno);
  } else {
    fd = OpenLog(start, folder, inRoot ? path : path.substr(slash + 1), &why);
    close(start);
  }
  if (fd < 0) {
    *problem = "PointerLog \"" + shown + "\" " + why;
    return nullptr;
  }
  return std::make_unique<PointerLog>(fd, shown);
}

}  // namespace platform
