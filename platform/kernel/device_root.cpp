// The device root of this process: from "--root DIR", else from DEVICE_ROOT; its run/ folder,
// and the check a program acting for others makes before it trusts the root.
#include "platform/device_root.h"

#include "platform/access_advice.h"
#include "platform/trusted_path.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

std::mutex rootMutex;
std::string explicitRoot;

bool IsDirectory(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void SetDeviceRoot(const std::string &directory) {
  std::lock_guard lock(rootMutex);
  explicitRoot = directory;
}

std::string DeviceRoot() {
  {
    std::lock_guard lock(rootMutex);
    if (!explicitRoot.empty()) return explicitRoot;
  }
  const char *env = std::getenv("DEVICE_ROOT");
  return env != nullptr ? std::string(env) : std::string();
}

std::string RegistryPath() { return DeviceRoot() + "/registry.reg"; }

namespace {

// run/ takes the root's permission bits and group. Where the root is shared with its group (the
// group may read it, others nothing), its members publish their windows in run/: it is also
// group-writable, and sticky so that none of them can remove or replace another's socket.
mode_t RunMode(mode_t rootMode) {
  mode_t mode = rootMode & 07777;
  if ((rootMode & S_IRGRP) != 0 && (rootMode & S_IRWXO) == 0) mode |= S_IWGRP | S_ISVTX;
  return mode;
}

void ReportRunRefused(const std::string &run, const char *why) {
  static std::once_flag reported;
  std::call_once(reported, [&] {
    std::fprintf(stderr,
                 "%s: cannot use %s: it %s, not the device root's own folder: remove it; the next program that "
                 "needs run/ makes it again\n",
                 ProgramName().c_str(), run.c_str(), why);
  });
}

}  // namespace

// run/ is made and given its mode through descriptors, never by path, so that nothing put in its
// place meanwhile is changed instead; one that exists is left as it is.
std::string RunDirectory() {
  std::string root = DeviceRoot();
  if (root.empty()) return {};
  std::string run = root + "/run";
  int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (rootFd < 0) return run;  // what uses run/ says why the root cannot be reached
  struct stat rootInfo {};
  bool made = false;
  TrustedOpen how;
  how.flags = O_RDONLY | O_DIRECTORY;
  how.create = fstat(rootFd, &rootInfo) == 0;
  how.made = &made;
  how.trustFolders = how.trustedOwner = false;  // run/ is anyone's to use who may use the root
  TrustedRefusal refusal;
  int runFd = OpenTrustedPathAt(rootFd, root, "run", how, &refusal);
  close(rootFd);
  const bool link = refusal.kind == TrustedRefusal::Kind::kLink;
  if (runFd < 0 && (link || refusal.kind == TrustedRefusal::Kind::kNotFolder)) {
    ReportRunRefused(run, link ? "is a symbolic link" : "is not a directory");
    return {};
  }
  if (runFd < 0) return run;
  if (made) {
    // A user outside the root's group cannot give run/ that group; run/ then keeps the user's own
    // group, which it neither hands down nor shares.
    mode_t mode = RunMode(rootInfo.st_mode);
    if (fchown(runFd, static_cast<uid_t>(-1), rootInfo.st_gid) != 0) mode = rootInfo.st_mode & 0777 & ~S_IWGRP;
    fchmod(runFd, mode);
  }
  close(runFd);
  return run;
}

namespace {

// The fix for a device root devmgr will not use, by what refuses in it.
std::string RootFix(const std::string &root, const std::string &private_) {
  return "for a root made by nrvctl init, run `nrvctl --root " + root +
         " init --force` as root, which gives it its owners and modes; for a private root, " + private_;
}

bool RefuseRoot(const char *program, const std::string &root, const std::string &why, const std::string &fix) {
  std::fprintf(stderr, "%s: refusing device root %s: %s; %s\n", program, root.c_str(), why.c_str(), fix.c_str());
  return false;
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

bool CheckTrustedDeviceRoot(const char *program) {
  std::string root = DeviceRoot();
  std::string absolute = root;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
      return RefuseRoot(program, root, std::string("cannot find the current folder: ") + std::strerror(errno),
                        "give the root as an absolute path");
    absolute = std::string(cwd) + "/" + root;
  }
  std::string why;
  int fd = OpenTrustedDirectory(absolute, &why);
  if (fd < 0)
    return RefuseRoot(program, root, why,
                      "put it where only root, the service's account or the user devmgr runs as may change the "
                      "folders above it (an installed system keeps its roots in /var/lib/norvik)");
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    why = std::string("cannot examine it: ") + std::strerror(errno);
    close(fd);
    return RefuseRoot(program, root, why, "check the folder");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    return RefuseRoot(program, root,
                      "it may be written by others (mode " + Octal(info.st_mode) + "), who could replace its hive",
                      RootFix(root, "chmod go-w " + root));
  }
  // A run/ of someone else's, or one others may change, would let them replace the device's socket.
  const std::string run = root + "/run";
  struct stat folder {};
  if (fstatat(fd, "run", &folder, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(folder.st_mode)) {
    const char *problem = !IsTrustedOwner(folder.st_uid) ? "belongs to another user"
                          : (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0
                              ? "may be written by others and is not sticky"
                              : nullptr;
    if (problem != nullptr) {
      close(fd);
      return RefuseRoot(program, root,
                        run + " " + problem + " (" + UserName(folder.st_uid) + ", mode " + Octal(folder.st_mode) +
                            "), so the device's socket in it could be replaced",
                        "remove " + run + " while no program uses the root; devmgr makes it again");
    }
  }
  const std::string hive = root + "/registry.reg";
  TrustedOpen how;
  how.flags = O_PATH;
  TrustedRefusal refusal;
  const int file = OpenTrustedPathAt(fd, root, "registry.reg", how, &refusal);
  close(fd);
  if (file >= 0) {
    close(file);
    return true;
  }
  switch (refusal.kind) {
    case TrustedRefusal::Kind::kLink:
      return RefuseRoot(program, root, hive + " is a symbolic link, which could lead to any file",
                        RootFix(root, "replace the link with the hive itself"));
    case TrustedRefusal::Kind::kNotRegular:
      return RefuseRoot(program, root, hive + " is not a regular file", RootFix(root, "replace it with the hive"));
    case TrustedRefusal::Kind::kOwner:
      return RefuseRoot(program, root, hive + " belongs to " + UserName(refusal.owner) + ", who could change it",
                        RootFix(root, "run devmgr as the hive's owner"));
    case TrustedRefusal::Kind::kWritable:
      return RefuseRoot(program, root, hive + " may be written by others (mode " + Octal(refusal.mode) + ")",
                        RootFix(root, "chmod go-w " + hive));
    default:
      if (refusal.error == ENOENT) return true;
      return RefuseRoot(program, root, "cannot examine " + hive + ": " + std::strerror(refusal.error),
                        "check the file");
  }
}

bool InitDeviceRoot(int &argc, char **argv, const char *program) {
  for (int i = 1; i < argc; ++i) {
    std::string value;
    int taken = 0;
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      value = argv[i + 1];
      taken = 2;
    } else if (std::strncmp(argv[i], "--root=", 7) == 0) {
      value = argv[i] + 7;
      taken = 1;
    } else if (std::strcmp(argv[i], "--") == 0) {
      break;
    }
    if (taken != 0) {
      for (int k = i; k + taken <= argc; ++k) argv[k] = argv[k + taken];
      argc -= taken;
      SetDeviceRoot(value);
      break;
    }
  }
  std::string root = DeviceRoot();
  if (root.empty()) {
    std::fprintf(stderr, "%s: no device root: pass --root DIR or set DEVICE_ROOT to the device's directory\n", program);
    return false;
  }
  if (!IsDirectory(root)) {
    std::fprintf(stderr,
                 "%s: device root %s is not a directory: make it with `nrvctl --root %s init --port TTY`, or point "
                 "--root at an existing one\n",
                 program, root.c_str(), root.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
