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

std::string OwnerName(uid_t owner) { return UserName(owner); }

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

// Walks the first `count` of `parts` from "/" and returns the descriptor of the last directory
// reached; *info describes it.
int WalkDirectories(const std::vector<std::string> &parts, size_t count, struct stat *info, std::string *why) {
  int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string shown = "/";
  if (fd < 0 || fstat(fd, info) != 0) {
    *why = std::string("cannot open /: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  for (size_t i = 0; i < count; ++i) {
    const std::string &part = parts[i];
    if (part == "." || part == "..") {
      *why = "the path has a \".\" or \"..\" component: give it without them";
      close(fd);
      return -1;
    }
    const struct stat parent = *info;
    const std::string parentShown = shown;
    shown += (shown.size() > 1 ? "/" : "") + part;
    int next = openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = errno;
    close(fd);
    fd = next;
    if (fd < 0) {
      if (error == ENOTDIR || error == ELOOP) {
        struct stat link {};
        const bool isLink = lstat(shown.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        *why = shown + (isLink ? " is a symbolic link: give the real path" : " is not a directory");
      } else {
        *why = "cannot open " + shown + ": " + std::strerror(error);
      }
      errno = error;
      return -1;
    }
    if (fstat(fd, info) != 0) {
      *why = "cannot examine " + shown + ": " + std::strerror(errno);
      close(fd);
      return -1;
    }
    if (!IsTrustedOwner(info->st_uid)) {
      *why = shown + " belongs to " + OwnerName(info->st_uid) + ", who could replace what it holds";
      close(fd);
      errno = EACCES;  // a refusal, never a missing component: callers that make what is missing look at errno
      return -1;
    }
    // A folder others may write lets them swap its entries, unless it is sticky and the entry is
    // not theirs.
    if ((parent.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (parent.st_mode & S_ISVTX) == 0) {
      *why = parentShown + " may be written by others (mode " + ModeText(parent.st_mode) +
             "), who could replace " + shown;
      close(fd);
      errno = EACCES;
      return -1;
    }
  }
  return fd;
}

}  // namespace

bool IsTrustedOwner(uid_t owner) {
  if (owner == 0 || owner == geteuid()) return true;
  // Reentrant: device handles are opened from any thread of a program.
  passwd entry {};
  passwd *service = nullptr;
  std::vector<char> buffer(4096);
  return getpwnam_r(kServiceUser, &entry, buffer.data(), buffer.size(), &service) == 0 && service != nullptr &&
         service->pw_uid == owner;
}

bool IsWritableOnlyByTrusted(uid_t owner, mode_t mode) {
  return IsTrustedOwner(owner) && (mode & (S_IWGRP | S_IWOTH)) == 0;
}

int OpenTrustedDirectory(const std::string &path, std::string *why) {
  if (path.empty() || path[0] != '/') {
    *why = "it is not an absolute path";
    return -1;
  }
  const std::vector<std::string> parts = Components(path);
  struct stat info {};
  return WalkDirectories(parts, parts.size(), &info, why);
}

int OpenTrustedFile(const std::string &path, std::string *why) {
  if (path.empty() || path[0] != '/') {
    *why = "it is not an absolute path";
    return -1;
  }
  const std::vector<std::string> parts = Components(path);
  if (parts.empty()) {
    *why = "it names no file";
    return -1;
  }
  struct stat folder {};
  int directory = WalkDirectories(parts, parts.size() - 1, &folder, why);
  if (directory < 0) return -1;
  int fd = openat(directory, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int error = errno;
  close(directory);
  struct stat info {};
  if (fd < 0) {
    *why = error == ELOOP ? path + " is a symbolic link: give the real path"
                          : "cannot open " + path + ": " + std::strerror(error);
    errno = error;
    return -1;
  }
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = path + " is not a regular file";
    close(fd);
    return -1;
  }
  if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0) {
    const size_t slash = path.rfind('/');
    *why = (slash == 0 ? std::string("/") : path.substr(0, slash)) + " may be written by others (mode " +
           ModeText(folder.st_mode) + "), who could replace " + path;
    close(fd);
    return -1;
  }
  if (!IsTrustedOwner(info.st_uid)) {
    *why = path + " belongs to " + OwnerName(info.st_uid) + ", who could change it";
    close(fd);
    return -1;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = path + " may be written by others (mode " + ModeText(info.st_mode) + "): chmod go-w " + path;
    close(fd);
    return -1;
  }
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
