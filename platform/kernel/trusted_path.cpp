// Opening a path so that nobody but root, this user or the service's account can have chosen
// what it leads to: every component is opened relative to the one before with O_NOFOLLOW and
// checked on the descriptor itself, so nothing can be swapped between the check and the use.
#include "platform/trusted_path.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::vector<std::string> Components(const std::string &path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < path.size()) {
    size_t next = path.find('/', at);
    if (next == std::string::npos) next = path.size();
    if (next > at) parts.push_back(path.substr(at, next - at));
    at = next + 1;
  }
  return parts;
}

bool OthersMayWrite(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

std::string Error() { return std::strerror(errno); }

// Fills *refusal in and leaves errno at `error`; -1.
int Fail(TrustedRefusal *refusal, TrustedRefusal::Kind kind, int error, const std::string &why,
         const std::string &at = "/", bool last = false) {
  refusal->kind = kind;
  refusal->at = at;
  refusal->last = last;
  refusal->error = error;
  refusal->why = why;
  errno = error;
  return -1;
}

// One walk from a start folder: fd_ is the folder reached so far (the start is the caller's, every
// later one the walk's own), info_ describes it and shown_ names it.
class Walk {
 public:
  Walk(int start, std::string shown, const TrustedOpen &how, TrustedRefusal *refusal)
      : fd_(start), shown_(std::move(shown)), how_(how), refusal_(refusal) {}
  ~Walk() { Close(); }

  int Open(const std::vector<std::string> &parts) {
    *refusal_ = {};
    if (how_.made != nullptr) *how_.made = false;
    if (parts.empty()) return Refuse(Kind::kPath, EINVAL, "it names no file");
    if (fstat(fd_, &info_) != 0) return Refuse(Kind::kCannotOpen, errno, "cannot examine " + shown_ + ": " + Error());
    for (size_t i = 0; i < parts.size(); ++i) {
      const std::string &part = parts[i];
      last_ = i + 1 == parts.size();
      if (part == "." || part == "..")
        return Refuse(Kind::kPath, EINVAL, "the path has a \".\" or \"..\" component: give it without them");
      const std::string child = shown_ + (shown_.empty() || shown_.back() == '/' ? "" : "/") + part;
      // A folder others may write lets them swap its entries, unless it is sticky and the entry
      // is not theirs.
      if (how_.trustFolders && OthersMayWrite(info_.st_mode) && (info_.st_mode & S_ISVTX) == 0) {
        last_ = false;
        refusal_->mode = info_.st_mode & 07777;
        return Refuse(Kind::kOpenFolder, EACCES,
                      shown_ + " may be written by others (mode " + ModeText(info_.st_mode) + "), who could replace " +
                          child);
      }
      shown_ = child;
      if (!last_) {
        if (!Step(part, O_PATH | O_DIRECTORY)) return -1;
        if (how_.trustFolders && !IsTrustedOwner(info_.st_uid))
          return RefuseOwner(", who could replace what it holds");
      } else {
        return OpenLast(part);
      }
    }
    return -1;  // not reached: the last part returns
  }

 private:
  using Kind = TrustedRefusal::Kind;

  void Close() {
    if (owned_ && fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int Refuse(Kind kind, int error, const std::string &why) {
    Close();
    return Fail(refusal_, kind, error, why, shown_, last_);
  }

  int RefuseOwner(const char *what) {
    refusal_->owner = info_.st_uid;
    return Refuse(Kind::kOwner, EACCES, shown_ + " belongs to " + UserName(info_.st_uid) + what);
  }

  // Says why the component `part` of the current folder did not open as a folder.
  int RefuseFolder(const std::string &part, int error) {
    if (error != ENOTDIR && error != ELOOP)
      return Refuse(Kind::kCannotOpen, error, "cannot open " + shown_ + ": " + std::strerror(error));
    struct stat entry {};
    if (fstatat(fd_, part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(entry.st_mode))
      return Refuse(Kind::kLink, ELOOP, shown_ + " is a symbolic link: give the real path");
    return Refuse(Kind::kNotFolder, ENOTDIR, shown_ + " is not a directory");
  }

  // Moves on to the component `part`, opened with `flags` (O_DIRECTORY among them).
  bool Step(const std::string &part, int flags) {
    const int next = openat(fd_, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return RefuseFolder(part, errno), false;
    Close();
    fd_ = next;
    owned_ = true;
    if (fstat(fd_, &info_) == 0) return true;
    return Refuse(Kind::kCannotOpen, errno, "cannot examine " + shown_ + ": " + Error()), false;
  }

  int OpenLast(const std::string &part) {
    const bool folder = (how_.flags & O_DIRECTORY) != 0;
    bool made = false;
    if (folder) {
      made = how_.create && mkdirat(fd_, part.c_str(), 0700) == 0;
      if (how_.create && !made && errno != EEXIST)
        return Refuse(Kind::kCannotCreate, errno, "cannot create " + shown_ + ": " + Error());
      if (!Step(part, how_.flags)) return -1;
    } else {
      const int flags = how_.flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
      int fd = -1;
      // Made with O_EXCL, so that "made" is known for certain; the loop covers a file that comes
      // or goes between the two opens.
      for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
        fd = openat(fd_, part.c_str(), flags);
        if (fd >= 0 || errno != ENOENT || !how_.create) break;
        fd = openat(fd_, part.c_str(), flags | O_CREAT | O_EXCL, 0600);
        made = fd >= 0;
        if (fd < 0 && errno != EEXIST && errno != ENOENT) break;
      }
      if (fd < 0) {
        const int error = errno;
        // A FIFO without a reader, or a device without its hardware, refuses to open at all.
        struct stat entry {};
        const bool found = fstatat(fd_, part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
        if (error == ELOOP || (found && S_ISLNK(entry.st_mode)))
          return Refuse(Kind::kLink, ELOOP, shown_ + " is a symbolic link: give the real path");
        if (found && !S_ISREG(entry.st_mode))
          return Refuse(Kind::kNotRegular, EACCES, shown_ + " is not a regular file");
        return Refuse(Kind::kCannotOpen, error, "cannot open " + shown_ + ": " + std::strerror(error));
      }
      Close();
      fd_ = fd;
      owned_ = true;
      if (fstat(fd_, &info_) != 0) return Refuse(Kind::kCannotOpen, errno, "cannot examine " + shown_ + ": " + Error());
      // O_PATH opens a symbolic link itself.
      if (S_ISLNK(info_.st_mode)) return Refuse(Kind::kLink, ELOOP, shown_ + " is a symbolic link: give the real path");
      if (!S_ISREG(info_.st_mode)) return Refuse(Kind::kNotRegular, EACCES, shown_ + " is not a regular file");
    }
    if (how_.trustedOwner && !IsTrustedOwner(info_.st_uid))
      return RefuseOwner(folder ? ", who could replace what it holds" : ", who could change it");
    if (!folder && how_.oneName && info_.st_nlink != 1) {
      refusal_->names = info_.st_nlink;
      return Refuse(Kind::kNames, EACCES,
                    shown_ + " has " + std::to_string(info_.st_nlink) +
                        " names (hard links), so it may be another file");
    }
    if (!folder && !how_.othersMayWrite && OthersMayWrite(info_.st_mode)) {
      refusal_->mode = info_.st_mode & 07777;
      return Refuse(Kind::kWritable, EACCES,
                    shown_ + " may be written by others (mode " + ModeText(info_.st_mode) + "): chmod go-w " + shown_);
    }
    if (how_.made != nullptr) *how_.made = made;
    owned_ = false;
    return fd_;
  }

  int fd_;
  bool owned_ = false;
  bool last_ = false;
  struct stat info_ {};
  std::string shown_;
  const TrustedOpen &how_;
  TrustedRefusal *refusal_;
};

}  // namespace

bool UserId(const char *name, uid_t *id) {
  passwd entry {};
  passwd *found = nullptr;
  std::vector<char> buffer(4096);
  if (getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  *id = found->pw_uid;
  return true;
}

bool IsTrustedOwner(uid_t owner) {
  if (owner == 0 || owner == geteuid()) return true;
  // Reentrant: device handles are opened from any thread of a program.
  uid_t service = 0;
  return UserId(kServiceUser, &service) && service == owner;
}

bool IsWritableOnlyByTrusted(uid_t owner, mode_t mode) { return IsTrustedOwner(owner) && !OthersMayWrite(mode); }

int OpenTrustedPathAt(int start, const std::string &shown, const std::string &path, const TrustedOpen &how,
                      TrustedRefusal *refusal) {
  return Walk(start, shown, how, refusal).Open(Components(path));
}

int OpenTrustedPath(const std::string &path, const TrustedOpen &how, TrustedRefusal *refusal) {
  *refusal = {};
  if (path.empty() || path[0] != '/')
    return Fail(refusal, TrustedRefusal::Kind::kPath, EINVAL, "it is not an absolute path");
  if (Components(path).empty() && (how.flags & O_DIRECTORY) != 0) {
    const int fd = open("/", how.flags | O_CLOEXEC);  // "/" itself: root's own
    return fd >= 0 ? fd : Fail(refusal, TrustedRefusal::Kind::kCannotOpen, errno, "cannot open /: " + Error());
  }
  const int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return Fail(refusal, TrustedRefusal::Kind::kCannotOpen, errno, "cannot open /: " + Error());
  const int fd = OpenTrustedPathAt(root, "/", path, how, refusal);
  const int error = errno;
  close(root);
  errno = error;
  return fd;
}

int OpenTrustedDirectory(const std::string &path, std::string *why) {
  TrustedOpen how;
  how.flags = O_PATH | O_DIRECTORY;
  TrustedRefusal refusal;
  const int fd = OpenTrustedPath(path, how, &refusal);
  if (fd < 0) *why = refusal.why;
  return fd;
}

int OpenTrustedFile(const std::string &path, std::string *why) {
  TrustedRefusal refusal;
  const int fd = OpenTrustedPath(path, TrustedOpen{}, &refusal);
  if (fd < 0) *why = refusal.why;
  return fd;
}

std::string UserName(uid_t user) {
  passwd entry{};
  passwd *found = nullptr;
  std::vector<char> buffer(4096);
  if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return Printable(found->pw_name);
  }
  return "uid " + std::to_string(user);
}

}  // namespace platform
