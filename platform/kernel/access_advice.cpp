// Access advice: names the group that owns a device root or a tty (from stat, so that it is the
// file's real group and not an assumed one) and the command that adds a user to it; and the
// permission bits that files made in a device root take from the root itself.
#include "platform/access_advice.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

std::string AccessAdvice(const std::string &what, const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return what + " " + path + " cannot be examined: ask its administrator for access";
  }
  if ((info.st_mode & S_IRWXG) == 0) {
    const passwd *owner = getpwuid(info.st_uid);
    std::string name = owner != nullptr ? owner->pw_name : std::to_string(info.st_uid);
    return what + " " + path + " is open only to its owner " + name + ": run this program as " + name +
           ", or let a group use it";
  }
  const group *owners = getgrgid(info.st_gid);
  std::string name = owners != nullptr ? owners->gr_name : std::to_string(info.st_gid);
  return what + " " + path + " belongs to group " + name + ": add yourself with `adduser $USER " + name +
         "` and log in again";
}

std::string DeviceRootAdvice(const std::string &root, const std::string &what, const std::string &path) {
  if (access(root.c_str(), X_OK) != 0) return AccessAdvice("the device root", root);
  if (access((root + "/run").c_str(), X_OK) != 0) return AccessAdvice("the device root's run/ folder", root + "/run");
  return AccessAdvice(what, path);
}

unsigned SharedFileMode(const std::string &directory) {
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) return 0600;
  unsigned mode = 0600;
  if ((info.st_mode & S_IWGRP) != 0) mode |= 0060;
  else if ((info.st_mode & S_IRGRP) != 0) mode |= 0040;
  if ((info.st_mode & S_IWOTH) != 0) mode |= 0006;
  else if ((info.st_mode & S_IROTH) != 0) mode |= 0004;
  return mode;
}

std::string ProgramName() { return program_invocation_short_name; }

}  // namespace platform
