// The "log" pointer output: one text line per mouse_event or MessageBeep call, appended to a file
// (or written to standard output), for tests and for watching what a driver does.
//
// Other processes read the file while it grows, and several processes may append to it: each line
// goes out in one write(2) on a descriptor opened with O_APPEND, so lines never mix or overwrite
// one another, and nothing is held back in a buffer.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

std::unique_ptr<PointerBackend> StartPointerLog(const std::string &path, std::string *problem) {
  if (path.empty()) return std::make_unique<PointerLog>(STDOUT_FILENO, "on standard output");
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    int error = errno;
    *problem = "PointerLog \"" + path + "\" cannot be opened: " + std::strerror(error) +
               ": create its folder or make it writable, or change HKLM\\Platform\\Input \"PointerLog\"";
    return nullptr;
  }
  return std::make_unique<PointerLog>(fd, path);
}

}  // namespace platform
