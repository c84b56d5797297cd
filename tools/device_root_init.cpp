// nrvctl's "init": writes a device root's registry from the installed norvik.reg, with the driver
// library where it is installed, COM1: mapped to the given tty and the chosen pointer output.
// When the system group "norvik" exists and the caller may give files to it (root, or a member),
// the root is given to it, and nobody else has access.
#include "device_root_init.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/device_root.h"
#include "platform/install_layout.h"
#include "platform/text.h"
#include "platform/trusted_path.h"
#include "stable_serial_name.h"

namespace {

const char kInitUsage[] =
    "usage: nrvctl --root DIR init --port TTY [--pointer windows|log|xtest|uinput|uinput-touch] [--baud N] "
    "[--force]\n";

// The settings a replaced registry keeps: the calibration, the touch settings and the utility's
// button choice. Each is a dword of the driver's key.
const char *const kKeptValues[] = {"LLX",      "LLY",      "URX",      "URY",      "MouseMod", "XInplace",
                                   "YInplace", "SelDelay", "CliDelay", "TouSound", "ButShow"};

// The rates the controller and the serial ports both offer.
const long kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

struct Options {
  std::string port;
  std::string pointer = "uinput";
  long baud = 9600;
  bool force = false;
};

bool ParseOptions(const std::vector<std::string> &arguments, Options *options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string &argument = arguments[i];
    auto value = [&](const char *name, std::string *out) {
      if (i + 1 >= arguments.size()) {
        std::fprintf(stderr, "nrvctl: init: %s needs a value\n%s", name, kInitUsage);
        return false;
      }
      *out = arguments[++i];
      return true;
    };
    std::string text;
    if (argument == "--force") {
      options->force = true;
    } else if (argument == "--port") {
      if (!value("--port", &options->port)) return false;
    } else if (argument == "--pointer") {
      if (!value("--pointer", &options->pointer)) return false;
      if (options->pointer != "windows" && options->pointer != "log" && options->pointer != "xtest" &&
          options->pointer != "uinput" && options->pointer != "uinput-touch") {
        std::fprintf(stderr, "nrvctl: init: --pointer takes windows, log, xtest, uinput or uinput-touch, not '%s'\n",
                     options->pointer.c_str());
        return false;
      }
    } else if (argument == "--baud") {
      if (!value("--baud", &text)) return false;
      char *end = nullptr;
      options->baud = std::strtol(text.c_str(), &end, 10);
      bool known = false;
      for (long rate : kBaudRates) known = known || (rate == options->baud && *end == 0 && !text.empty());
      if (!known) {
        std::fprintf(stderr, "nrvctl: init: --baud %s is not a line rate the driver can set: use 1200, 2400, 4800, "
                             "9600, 19200, 38400, 57600 or 115200 (the controller's, usually 9600)\n", text.c_str());
        return false;
      }
    } else {
      std::fprintf(stderr, "nrvctl: init: unknown argument '%s'\n%s", argument.c_str(), kInitUsage);
      return false;
    }
  }
  if (options->port.empty()) {
    std::fprintf(stderr, "nrvctl: init: --port TTY is required (the controller's tty, e.g. /dev/ttyUSB0)\n%s",
                 kInitUsage);
    return false;
  }
  return true;
}

// A port must be a tty that exists now; opening it without waiting for carrier tells both.
bool CheckPort(const std::string &port) {
  struct stat info {};
  if (port.empty() || port[0] != '/') {
    std::fprintf(stderr, "nrvctl: init: --port %s is not a path: give the tty's full path, e.g. /dev/ttyUSB0 or "
                         "/dev/ttyS0\n", port.c_str());
    return false;
  }
  if (stat(port.c_str(), &info) != 0) {
    std::fprintf(stderr, "nrvctl: init: port %s does not exist: check that the controller (or its USB adapter) is "
                         "connected and which tty it got (ls /dev/ttyUSB* /dev/ttyS*, dmesg)\n", port.c_str());
    return false;
  }
  int fd = open(port.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool tty = fd >= 0 && isatty(fd) == 1;
  int error = errno;
  if (fd >= 0) close(fd);
  if (fd < 0 && (error == EACCES || error == EPERM)) {
    std::fprintf(stderr, "nrvctl: init: cannot open port %s: %s: run init as root, or as a member of the tty's "
                         "group (ls -l %s)\n", port.c_str(), std::strerror(error), port.c_str());
    return false;
  }
  if (fd < 0 && S_ISCHR(info.st_mode)) {
    std::fprintf(stderr, "nrvctl: init: cannot open port %s: %s: when a program holds it (a running devmgr: "
                         "systemctl stop norvik@NAME), stop that first; a /dev/ttyS node without a UART behind it "
                         "cannot be opened at all (check dmesg or setserial -g)\n", port.c_str(), std::strerror(error));
    return false;
  }
  if (!S_ISCHR(info.st_mode) || !tty) {
    std::fprintf(stderr, "nrvctl: init: port %s is not a tty (a serial line): give the controller's serial port, "
                         "e.g. /dev/ttyUSB0 or /dev/ttyS0; a /dev/ttyS node without a UART behind it is not one "
                         "either (check dmesg or setserial -g)\n", port.c_str());
    return false;
  }
  return true;
}

std::string ReadText(const std::string &path, bool *ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::stringstream buffer;
  if (*ok) buffer << in.rdbuf();
  return buffer.str();
}

// A REG_SZ value as the registry-export text writes it.
std::string Quoted(const std::string &text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Dword(unsigned long value) {
  char text[24];
  std::snprintf(text, sizeof text, "dword:%08lx", value & 0xFFFFFFFFUL);
  return text;
}

// Replaces the line of value NAME in the driver's key, or adds it at the key's end.
void SetValueLine(std::string *hive, const std::string &name, const std::string &data) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n";
  size_t start = hive->find(key);
  if (start == std::string::npos) {
    *hive += "\n" + key;
    start = hive->find(key);
  }
  start += key.size();
  size_t end = hive->find("\n[", start);
  if (end == std::string::npos) end = hive->size();
  const std::string line = "\"" + name + "\"=" + data;
  const std::string prefix = "\"" + name + "\"=";
  for (size_t at = start; at < end;) {
    size_t next = hive->find('\n', at);
    if (next == std::string::npos) next = hive->size();
    if (hive->compare(at, prefix.size(), prefix) == 0) {
      hive->replace(at, next - at, line);
      return;
    }
    at = next + 1;
  }
  while (end > start && (*hive)[end - 1] == '\n') --end;
  hive->insert(end, "\n" + line);
}

// The kept settings of the existing registry, read through the registry; false, having said so,
// when it cannot be read, so that a calibration is never dropped unnoticed.
bool ReadKeptValues(std::string *hive) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Norvik", 0, KEY_READ, &key);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "nrvctl: init: cannot read the settings of the existing %s (error %ld), so they would be "
                         "lost: correct or move the file away, then run init again\n",
                 platform::RegistryPath().c_str(), static_cast<long>(status));
    return false;
  }
  for (const char *name : kKeptValues) {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    std::u16string wide = platform::ToUtf16(name);
    status = RegQueryValueExW(key, wide.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) continue;
    // A right click armed for the next touch belongs to the running driver, not to the device.
    if (std::strcmp(name, "MouseMod") == 0) value &= 0x7FFFFFFFu;
    SetValueLine(hive, name, Dword(value));
  }
  RegCloseKey(key);
  return true;
}

// Who the device root is made for. Root makes it for the service: owned by the service's account
// (root where the package made none) and readable by the group of those who calibrate, so that
// they read the hive and publish their windows in run/ but change settings only through the
// driver. Anyone else makes a private root of their own.
struct Layout {
  bool shared = false;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  mode_t rootMode = 0755;
  mode_t runMode = 0755;
  mode_t hiveMode = 0644;
  mode_t lockMode = 0644;
};

Layout ChooseLayout() {
  Layout layout;
  if (geteuid() != 0) return layout;
  const group *members = getgrnam(platform::kMemberGroup);
  if (members == nullptr) return layout;
  const passwd *service = getpwnam(platform::kServiceUser);
  layout.shared = true;
  layout.owner = service != nullptr ? service->pw_uid : 0;
  layout.group = members->gr_gid;
  layout.rootMode = 02750;
  layout.runMode = 03770;
  layout.hiveMode = 0640;
  layout.lockMode = 0600;
  return layout;
}

// Gives what `fd` opened its owner, group and mode, on the descriptor itself; false, having said
// why, on failure.
bool Share(int fd, const std::string &path, const Layout &layout, mode_t mode) {
  if (layout.shared && fchown(fd, layout.owner, layout.group) != 0) {
    std::fprintf(stderr, "nrvctl: init: cannot give %s to its owners: %s: run init as root (sudo nrvctl ...)\n",
                 path.c_str(), std::strerror(errno));
    return false;
  }
  if (fchmod(fd, mode) != 0) {
    std::fprintf(stderr, "nrvctl: init: cannot set the mode of %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// Opens the folder `name` inside `parent`, making it first when it is missing; it must be a real
// folder (not a link) that a trusted owner holds. -1, having said why, otherwise.
int OpenFolderAt(int parent, const std::string &name, const std::string &path, bool *made) {
  *made = mkdirat(parent, name.c_str(), 0700) == 0;
  if (!*made && errno != EEXIST) {
    std::fprintf(stderr, "nrvctl: init: cannot create %s: %s: create it, or run init as root\n", path.c_str(),
                 std::strerror(errno));
    return -1;
  }
  int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    std::fprintf(stderr, "nrvctl: init: cannot use %s: %s: give a device root that is a real folder (no symbolic "
                         "link), e.g. /var/lib/norvik/NAME\n", path.c_str(),
                 errno == ELOOP || errno == ENOTDIR ? "it is a symbolic link or not a folder" : std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  if (!platform::IsTrustedOwner(info.st_uid)) {
    const passwd *owner = getpwuid(info.st_uid);
    std::fprintf(stderr, "nrvctl: init: cannot use %s: it belongs to %s, who could replace what init makes there: "
                         "remove it, or give a device root of your own\n", path.c_str(),
                 owner != nullptr ? owner->pw_name : std::to_string(info.st_uid).c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// Opens the folder that holds the device root. For root every component must be one that only
// trusted owners can change; /var/lib/norvik is made when missing, as the package would have.
int OpenParentFolder(const std::string &parent) {
  std::string why;
  int fd = platform::OpenTrustedDirectory(parent, &why);
  if (fd >= 0 || errno != ENOENT) {
    if (fd < 0)
      std::fprintf(stderr, "nrvctl: init: cannot use %s: %s: make the device root in a folder that only root may "
                           "change, e.g. /var/lib/norvik/NAME\n", parent.c_str(), why.c_str());
    return fd;
  }
  const size_t slash = parent.find_last_of('/');
  int above = OpenParentFolder(slash == 0 ? std::string("/") : parent.substr(0, slash));
  if (above < 0) return -1;
  bool made = false;
  int fd2 = OpenFolderAt(above, parent.substr(slash + 1), parent, &made);
  if (fd2 >= 0 && made) fchmod(fd2, 0755);
  close(above);
  return fd2;
}

// A file of the root opened or made without following a link; -1, having said why, otherwise.
int OpenFileAt(int folder, const char *name, const std::string &path, int flags) {
  int fd = openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat info {};
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return fd;
  const int error = fd >= 0 ? EINVAL : errno;
  if (fd >= 0) close(fd);
  if (error == ENOENT) {
    errno = ENOENT;
    return -1;
  }
  std::fprintf(stderr, "nrvctl: init: cannot use %s: %s: remove it and run init again\n", path.c_str(),
               error == ELOOP ? "it is a symbolic link" : error == EINVAL ? "it is not a regular file"
                                                                           : std::strerror(error));
  errno = error;
  return -1;
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes the hive as the registry does: a complete temporary file renamed over the old one under
// the lock on registry.reg.lock, so that a running program reads either the old hive or the new.
// Every file is reached through the root's descriptor, so no link planted in the root is followed.
bool WriteHive(int root, const std::string &text, const Layout &layout) {
  const std::string path = platform::RegistryPath();
  const std::string lockPath = path + ".lock";
  int lock = OpenFileAt(root, "registry.reg.lock", lockPath, O_RDWR | O_CREAT);
  if (lock < 0) {
    if (errno == ENOENT) std::fprintf(stderr, "nrvctl: init: cannot create %s\n", lockPath.c_str());
    return false;
  }
  if (!Share(lock, lockPath, layout, layout.lockMode)) {
    close(lock);
    return false;
  }
  while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  const char temporary[] = "registry.reg.init";
  unlinkat(root, temporary, 0);
  bool ok = false;
  int fd = openat(root, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ok = Share(fd, path + ".init", layout, layout.hiveMode) && WriteAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(root, temporary, root, "registry.reg") == 0 && fsync(root) == 0;
  }
  if (!ok) {
    std::fprintf(stderr, "nrvctl: init: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    unlinkat(root, temporary, 0);
  }
  flock(lock, LOCK_UN);
  close(lock);
  return ok;
}

// The device root as an absolute path without "." or ".." components.
std::string AbsoluteRoot(const std::string &root) {
  std::string path = root;
  if (path.empty() || path[0] != '/') {
    char *here = getcwd(nullptr, 0);
    path = std::string(here != nullptr ? here : "") + "/" + path;
    std::free(here);
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A USB adapter's tty may get another number when it is plugged in again, and the port would then
// name nothing (or another adapter); its /dev/serial/by-id link does not change. Only a hint: the
// port given is stored all the same. The command it suggests keeps the other options chosen.
void HintStableName(const std::string &root, const Options &options) {
  const std::string stable = StableSerialName(options.port, "/dev/serial/by-id");
  if (stable.empty()) return;
  std::string command = "nrvctl --root " + root + " init --port " + stable;
  if (options.pointer != Options().pointer) command += " --pointer " + options.pointer;
  if (options.baud != Options().baud) command += " --baud " + std::to_string(options.baud);
  std::fflush(stdout);
  std::fprintf(stderr, "nrvctl: init: %s is also %s, a name that stays with this adapter whatever tty number it "
                       "gets when plugged in; to use it: %s --force\n",
               options.port.c_str(), stable.c_str(), command.c_str());
}

}  // namespace

int InitDeviceRootCommand(const std::string &root, const std::vector<std::string> &arguments) {
  Options options;
  if (!ParseOptions(arguments, &options)) return 2;
  if (!CheckPort(options.port)) return 2;

  const std::string data = platform::DataFolder() + "/norvik.reg";
  bool readable = false;
  std::string hive = ReadText(data, &readable);
  if (!readable || hive.find("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]") == std::string::npos) {
    std::fprintf(stderr, "nrvctl: init: cannot read the driver's registry template %s: reinstall the package (or "
                         "build the target norvik_data)\n", data.c_str());
    return 1;
  }
  char *library = realpath((platform::LibraryFolder() + "/libnorvik.so").c_str(), nullptr);
  if (library == nullptr) {
    std::fprintf(stderr, "nrvctl: init: the driver library libnorvik.so is not in %s: reinstall the package (or "
                         "build the target norvik)\n", platform::LibraryFolder().c_str());
    return 1;
  }
  SetValueLine(&hive, "Dll", Quoted(library));
  std::free(library);
  SetValueLine(&hive, "COMM", Quoted("COM1:"));
  SetValueLine(&hive, "BaudRate", Dword(static_cast<unsigned long>(options.baud)));

  const std::string absolute = AbsoluteRoot(root);
  const size_t slash = absolute.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= absolute.size() || absolute.compare(slash + 1, 2, "..") == 0 ||
      absolute.compare(slash + 1, std::string::npos, ".") == 0) {
    std::fprintf(stderr, "nrvctl: init: %s names no folder: give the device root's path, e.g. /var/lib/norvik/NAME\n",
                 root.c_str());
    return 2;
  }
  const std::string parentPath = slash == 0 ? std::string("/") : absolute.substr(0, slash);
  int parent = OpenParentFolder(parentPath);
  if (parent < 0) return 1;
  // Others who may write the parent could swap the root itself, unless it is sticky (as /tmp is).
  struct stat parentInfo {};
  if (fstat(parent, &parentInfo) != 0 ||
      ((parentInfo.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (parentInfo.st_mode & S_ISVTX) == 0)) {
    std::fprintf(stderr, "nrvctl: init: cannot use %s: others may write it (mode %04o), who could replace the device "
                         "root: make the device root in a folder that only root may change, e.g. /var/lib/norvik/NAME\n",
                 parentPath.c_str(), static_cast<unsigned>(parentInfo.st_mode & 07777));
    close(parent);
    return 1;
  }
  bool made = false;
  int folder = OpenFolderAt(parent, absolute.substr(slash + 1), absolute, &made);
  close(parent);
  if (folder < 0) return 1;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closeFolder{folder};
  platform::SetDeviceRoot(root);

  // The root is closed to others before anything in it is read or made, so that nobody can swap
  // an entry meanwhile; one made by an earlier layout (2770) may hold entries of members, which
  // are opened without following links and refused when they are not regular files.
  const Layout layout = ChooseLayout();
  if (!Share(folder, absolute, layout, layout.rootMode)) return 1;
  int existing = OpenFileAt(folder, "registry.reg", platform::RegistryPath(), O_RDONLY);
  if (existing < 0 && errno != ENOENT) return 1;
  if (existing >= 0) {
    close(existing);
    if (!options.force) {
      std::fprintf(stderr, "nrvctl: init: %s exists, so it is left as it is: pass --force to replace it (the "
                           "calibration and the touch settings are kept)\n", platform::RegistryPath().c_str());
      return 1;
    }
    if (!ReadKeptValues(&hive)) return 1;
  }

  hive += "\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=" + Quoted(options.port) + "\n";
  hive += "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=" + Quoted(options.pointer) + "\n";
  if (options.pointer == "log") hive += "\"PointerLog\"=\"pointer.log\"\n";

  int run = OpenFolderAt(folder, "run", absolute + "/run", &made);
  if (run < 0) return 1;
  const bool runShared = Share(run, absolute + "/run", layout, layout.runMode);
  close(run);
  if (!runShared) return 1;
  if (!WriteHive(folder, hive, layout)) return 1;
  std::printf("%s: COM1: is %s at %ld baud, pointer output %s%s\n", root.c_str(), options.port.c_str(), options.baud,
              options.pointer.c_str(), layout.shared ? ", shared with group norvik" : "");
  HintStableName(root, options);
  return 0;
}
