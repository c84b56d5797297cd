// nrvctl's "init": writes a device root's registry from the installed norvik.reg, with the driver
// library where it is installed, COM1: mapped to the given tty and the chosen pointer output.
// When the system group "norvik" exists and the caller may give files to it (root, or a member),
// the root is given to it, and nobody else has access.
#include "device_root_init.h"

#include <fcntl.h>
#include <grp.h>
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

namespace {

const char kInitUsage[] =
    "usage: nrvctl --root DIR init --port TTY [--pointer windows|log|xtest|uinput] [--baud N] [--force]\n";

const char kGroup[] = "norvik";

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
          options->pointer != "uinput") {
        std::fprintf(stderr, "nrvctl: init: --pointer takes windows, log, xtest or uinput, not '%s'\n",
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

// Gives a file or folder to the group with the mode asked for; false, having said why, on failure.
bool Share(const std::string &path, const group *owners, mode_t mode) {
  if (owners != nullptr && chown(path.c_str(), static_cast<uid_t>(-1), owners->gr_gid) != 0) {
    std::fprintf(stderr, "nrvctl: init: cannot give %s to group %s: %s: run init as root (sudo nrvctl ...)\n",
                 path.c_str(), kGroup, std::strerror(errno));
    return false;
  }
  if (chmod(path.c_str(), mode) != 0) {
    std::fprintf(stderr, "nrvctl: init: cannot set the mode of %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool MayGiveTo(gid_t group) {
  if (geteuid() == 0 || getegid() == group) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int listed = getgroups(count, groups.data());
  for (int i = 0; i < listed; ++i)
    if (groups[static_cast<size_t>(i)] == group) return true;
  return false;
}

bool MakeFolder(const std::string &path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "nrvctl: init: cannot create %s: %s: create it, or run init as root\n", path.c_str(),
               std::strerror(errno));
  return false;
}

// Writes the hive as the registry does: a complete temporary file renamed over the old one under
// the lock on registry.reg.lock, so that a running program reads either the old hive or the new.
bool WriteHive(const std::string &text, const group *owners, mode_t mode) {
  const std::string path = platform::RegistryPath();
  const std::string lockPath = path + ".lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
  if (lock < 0 || !Share(lockPath, owners, mode)) {
    if (lock < 0) std::fprintf(stderr, "nrvctl: init: cannot create %s: %s\n", lockPath.c_str(), std::strerror(errno));
    else close(lock);
    return false;
  }
  while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  const std::string temporary = path + ".init";
  bool ok = false;
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd >= 0) {
    ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && Share(temporary, owners, mode) && rename(temporary.c_str(), path.c_str()) == 0;
  }
  if (!ok) {
    std::fprintf(stderr, "nrvctl: init: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    unlink(temporary.c_str());
  }
  flock(lock, LOCK_UN);
  close(lock);
  return ok;
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

  // /var/lib/norvik/NAME: the parent is made too, as the package would have.
  const size_t slash = root.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolder(root.substr(0, slash))) return 1;
  if (!MakeFolder(root)) return 1;
  platform::SetDeviceRoot(root);

  struct stat existing {};
  if (stat(platform::RegistryPath().c_str(), &existing) == 0) {
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

  // With the group, the root is shared by its members and closed to everyone else; the setgid
  // folders make what devmgr and calvex create inside belong to the group too. Someone who can
  // give nothing to the group (neither root nor a member) makes a root of their own, as without it.
  const group *owners = getgrnam(kGroup);
  if (owners != nullptr && !MayGiveTo(owners->gr_gid)) owners = nullptr;
  const mode_t folderMode = owners != nullptr ? 02770 : 0755;
  const mode_t fileMode = owners != nullptr ? 0660 : 0644;
  const std::string run = root + "/run";
  if (!MakeFolder(run)) return 1;
  if (!Share(root, owners, folderMode) || !Share(run, owners, folderMode)) return 1;
  if (!WriteHive(hive, owners, fileMode)) return 1;
  std::printf("%s: COM1: is %s at %ld baud, pointer output %s%s\n", root.c_str(), options.port.c_str(), options.baud,
              options.pointer.c_str(), owners != nullptr ? ", shared with group norvik" : "");
  return 0;
}
