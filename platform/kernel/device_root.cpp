// The device root of this process: from "--root DIR", else from DEVICE_ROOT.
#include "platform/device_root.h"

#include <sys/stat.h>
#include <unistd.h>

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

// A run/ made here takes the root's permissions, setgid bit and group, so that a root shared by a
// group has its rendezvous points shared too whoever started first; one that exists is left as it is.
std::string RunDirectory() {
  std::string root = DeviceRoot();
  if (root.empty()) return {};
  std::string run = root + "/run";
  struct stat info {};
  if (stat(root.c_str(), &info) != 0) return run;
  if (mkdir(run.c_str(), 0700) == 0) {
    // A user outside the root's group cannot give run/ that group; run/ then keeps the user's own
    // and does not hand it down.
    mode_t mode = info.st_mode & 07777;
    if (chown(run.c_str(), static_cast<uid_t>(-1), info.st_gid) != 0) mode &= ~S_ISGID;
    chmod(run.c_str(), mode);
  }
  return run;
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
    std::fprintf(stderr, "%s: device root %s is not a directory: create it, or point --root at an existing one\n",
                 program, root.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
