// nrvctl's "init": writes a device root's registry from the installed norvik.reg, with the driver
// library where it is installed, COM1: mapped to the given tty and the chosen pointer output; a
// replaced registry keeps every setting that no option changes. When the system group "norvik"
// exists and the caller may give files to it (root, or a member), the root is given to it.
#include "device_root_init.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "controller_line_rates.h"
#include "platform/device_ports.h"
#include "platform/device_root.h"
#include "norvik_registry.h"
#include "platform/install_layout.h"
#include "platform/pointer_outputs.h"
#include "platform/registry_file.h"
#include "platform/text.h"
#include "platform/trusted_path.h"
#include "serial_port_holder.h"
#include "stable_serial_name.h"
#include "touch_filter_setting.h"

namespace {

const char kInitUsageTemplate[] =
    "usage: nrvctl --root DIR init --port TTY [--pointer {outputs}] [--baud N]\n"
    "                                 [--output NAME] [--size WIDTHxHEIGHT] [--touch-only on|off]\n"
    "       nrvctl --root DIR init --force [--port TTY] [--pointer OUTPUT] [--baud N] [--output NAME]\n"
    "                                 [--size WIDTHxHEIGHT] [--touch-only on|off]\n";

// The usage, with the pointer outputs as their one list names them.
const std::string &InitUsage() {
  static const std::string usage = platform::WithPointerOutputNames(kInitUsageTemplate);
  return usage;
}

const char kDefaultPointer[] = "uinput";
const unsigned long kDefaultBaud = 9600;

// What the options name; an empty port or pointer and a zero rate were not given.
struct Options {
  std::string port;
  std::string pointer;
  unsigned long baud = 0;
  std::optional<std::string> output;  // given empty: the whole screen again
  std::optional<std::string> size;    // given empty: the monitor's own again
  std::optional<bool> touchOnly;
  bool force = false;
};

// The choices of init that a replaced registry keeps unless an option changes them.
struct Setup {
  std::string port;
  unsigned long baud = kDefaultBaud;
  std::string pointer = kDefaultPointer;
  std::string pointerLog;  // empty: none
  std::string library;
  std::string output;  // the monitor the panel is on; empty: the whole screen
  std::string size;    // the panel's size, "WIDTHxHEIGHT" in mm; empty: the monitor's, where it can be read
  bool touchOnly = false;  // uinput-touch without its buttons device
  unsigned long wakeGuard = 0;  // seconds
};

// "344x194": both sides from 1 to 5000 millimetres.
bool IsPanelSize(const std::string &text) {
  const size_t x = text.find('x');
  auto side = [](const std::string &part) {
    if (part.empty() || part.size() > 4 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long mm = std::strtoul(part.c_str(), nullptr, 10);
    return mm >= 1 && mm <= 5000;
  };
  return x != std::string::npos && side(text.substr(0, x)) && side(text.substr(x + 1));
}

// A RandR output's name as X gives them (HDMI-1, DP-2-1, eDP-1, Virtual-1, XWAYLAND0).
bool IsOutputName(const std::string &name) {
  if (name.size() > 63) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != ':') return false;
  }
  return true;
}

bool ParseOptions(const std::vector<std::string> &arguments, Options *options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string &argument = arguments[i];
    auto value = [&](const char *name, std::string *out) {
      if (i + 1 >= arguments.size()) {
        std::fprintf(stderr, "nrvctl: init: %s needs a value\n%s", name, InitUsage().c_str());
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
      if (options->port.empty()) {
        std::fprintf(stderr, "nrvctl: init: --port needs the controller's tty, e.g. /dev/ttyUSB0\n");
        return false;
      }
    } else if (argument == "--pointer") {
      if (!value("--pointer", &options->pointer)) return false;
      const platform::PointerOutputEntry *entry = platform::FindPointerOutput(options->pointer);
      if (entry == nullptr || options->pointer != entry->name) {
        std::fprintf(stderr, "nrvctl: init: --pointer takes %s, not '%s'\n",
                     platform::PointerOutputNames("", ", ", " or ").c_str(), options->pointer.c_str());
        return false;
      }
    } else if (argument == "--output") {
      if (!value("--output", &text)) return false;
      if (!IsOutputName(text)) {
        std::fprintf(stderr, "nrvctl: init: --output takes the name of a monitor as xrandr lists it (e.g. HDMI-1: at "
                             "most 63 letters, digits and - _ . :), or \"\" for the whole screen, not '%s'\n",
                     platform::Printable(text).c_str());
        return false;
      }
      options->output = text;
    } else if (argument == "--size") {
      if (!value("--size", &text)) return false;
      if (!text.empty() && !IsPanelSize(text)) {
        std::fprintf(stderr, "nrvctl: init: --size takes the panel's width and height in millimetres as WIDTHxHEIGHT "
                             "(e.g. 344x194, each from 1 to 5000), or \"\" for the monitor's own, not '%s'\n",
                     platform::Printable(text).c_str());
        return false;
      }
      options->size = text;
    } else if (argument == "--touch-only") {
      if (!value("--touch-only", &text)) return false;
      if (text != "on" && text != "off") {
        std::fprintf(stderr, "nrvctl: init: --touch-only takes on (the touch screen alone, no right or middle "
                             "click) or off, not '%s'\n",
                     platform::Printable(text).c_str());
        return false;
      }
      options->touchOnly = text == "on";
    } else if (argument == "--baud") {
      if (!value("--baud", &text)) return false;
      char *end = nullptr;
      const unsigned long rate = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || text[0] == '-' || *end != 0 || !IsControllerRate(rate)) {
        std::fprintf(stderr, "nrvctl: init: --baud %s is not a rate the controller sends at: %s\n", text.c_str(),
                     ControllerRateAdvice().c_str());
        return false;
      }
      options->baud = rate;
    } else {
      std::fprintf(stderr, "nrvctl: init: unknown argument '%s'\n%s", argument.c_str(), InitUsage().c_str());
      return false;
    }
  }
  if (options->port.empty() && !options->force) {
    std::fprintf(stderr, "nrvctl: init: --port TTY is required (the controller's tty, e.g. /dev/ttyUSB0)\n%s",
                 InitUsage().c_str());
    return false;
  }
  return true;
}

// NAME for a device root of the installed system's, /var/lib/norvik/NAME, whose service is
// norvik@NAME; empty for any other.
std::string ServiceName(const std::string &root) {
  const std::string services = "/var/lib/norvik/";
  std::string name = root.compare(0, services.size(), services) == 0 ? root.substr(services.size()) : "";
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name.find('/') == std::string::npos ? name : std::string();
}

// How to stop the driver of `root`: its service, where it has one, or through its device.
std::string StopAdvice(const std::string &root) {
  const std::string name = ServiceName(root);
  return (name.empty() ? std::string() : "sudo systemctl stop norvik@" + name + ", or ") + "nrvctl --root " + root +
         " stop";
}

// A port must be a tty that exists now and that no other program holds as its serial line;
// opening it without waiting for carrier tells the first two, its flock the third. A port kept
// from the registry it replaces is checked the same way, but may be missing now (an adapter
// that is not plugged in), which is said.
bool CheckPort(const std::string &given, bool kept = false) {
  const std::string shown = platform::Printable(given);
  const char *port = shown.c_str();
  struct stat info {};
  if (given.empty() || given[0] != '/') {
    std::fprintf(stderr, "nrvctl: init: %s %s is not a path: give the tty's full path, e.g. /dev/ttyUSB0 or "
                         "/dev/ttyS0%s\n", kept ? "the port kept from the registry," : "--port", port,
                 kept ? ", with --port" : "");
    return false;
  }
  if (kept && stat(given.c_str(), &info) != 0 && errno == ENOENT) {
    std::fflush(stdout);
    std::fprintf(stderr, "nrvctl: init: the port kept from the registry, %s, does not exist now; the driver takes it "
                         "up when it appears\n", port);
    return true;
  }
  if (stat(given.c_str(), &info) != 0) {
    std::fprintf(stderr, "nrvctl: init: port %s does not exist: check that the controller (or its USB adapter) is "
                         "connected and which tty it got (ls /dev/ttyUSB* /dev/ttyS*, dmesg)\n", port);
    return false;
  }
  int fd = open(given.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int error = errno;
  if (fd < 0 && (error == EACCES || error == EPERM)) {
    std::fprintf(stderr, "nrvctl: init: cannot open port %s: %s: run init as root, or as a member of the tty's "
                         "group (ls -l %s)\n", port, std::strerror(error), port);
    return false;
  }
  if (fd < 0 && error == EBUSY) {
    std::fprintf(stderr, "nrvctl: init: cannot open port %s: %s: another program holds it exclusively: find it with "
                         "`fuser %s` and end it, then run init again\n", port, std::strerror(error),
                 port);
    return false;
  }
  if (fd < 0 && (error == ENXIO || error == ENODEV || error == EIO)) {
    std::fprintf(stderr, "nrvctl: init: cannot open port %s: %s: no serial line is behind the node (a /dev/ttyS node "
                         "without a UART, or an adapter that is gone): give the controller's port (dmesg, "
                         "setserial -g %s)\n", port, std::strerror(error), port);
    return false;
  }
  if (fd < 0 && S_ISCHR(info.st_mode)) {
    std::fprintf(stderr, "nrvctl: init: cannot open port %s: %s: give the controller's serial port, e.g. "
                         "/dev/ttyUSB0 or /dev/ttyS0\n", port, std::strerror(error));
    return false;
  }
  const bool tty = fd >= 0 && isatty(fd) == 1;
  PortHolder holder;
  const bool held = tty && FindPortHolder(fd, &holder);
  if (fd >= 0) close(fd);
  if (!S_ISCHR(info.st_mode) || !tty) {
    std::fprintf(stderr, "nrvctl: init: port %s is not a tty (a serial line): give the controller's serial port, "
                         "e.g. /dev/ttyUSB0 or /dev/ttyS0\n", port);
    return false;
  }
  if (held) {
    const std::string who = (holder.program.empty() ? std::string("a program") : holder.program) + " (pid " +
                            std::to_string(holder.pid) + ")";
    const std::string fix = holder.program == "devmgr" && !holder.root.empty()
                                ? "stop its driver first (" + StopAdvice(holder.root) + ")"
                                : "end it first";
    const std::string forRoot = holder.root.empty() ? std::string() : " for the device root " + holder.root;
    std::fprintf(stderr, "nrvctl: init: port %s is held by %s%s, and a tty serves one program at a time: %s, or give "
                         "another port\n", port, who.c_str(), forRoot.c_str(), fix.c_str());
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

// A REG_SZ value of `key`; false when it is missing or not text.
bool ReadString(HKEY key, const char16_t *name, std::string *text) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
  std::u16string data(size / sizeof(char16_t), u'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size) != ERROR_SUCCESS)
    return false;
  data.resize(size / sizeof(char16_t));
  while (!data.empty() && data.back() == u'\0') data.pop_back();
  *text = platform::ToUtf8(data);
  return true;
}

// Keeps a value the driver reads at its start, outside the settings record: the touch filter (a
// string) or the long press (a dword). Only a value the driver would take is carried over, so
// nothing the hive's text does not allow is written into it.
void KeepStartValue(HKEY key, const NorvikValue &kept, std::string *hive) {
  if (std::strcmp(kept.text, "Filter") != 0) {
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    if (RegQueryValueExW(key, kept.name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value && value <= NORVIK_LONG_PRESS_MAX)
      SetValueLine(hive, kept.text, Dword(value));
    return;
  }
  std::string text;
  if (!ReadString(key, kept.name, &text)) return;
  const std::u16string wide = platform::ToUtf16(text);
  TouchFilterSetting setting;
  if (ParseTouchFilterSetting(wide.c_str(), wide.size(), &setting) != nullptr) return;
  SetValueLine(hive, kept.text, Quoted(text));
}

// The kept settings of the existing registry, put into `hive`, and the choices it holds, in
// *existing (a choice it lacks is left as it was there); false, having said so, when the driver's
// key cannot be read, so that a calibration is never dropped unnoticed.
bool ReadExisting(std::string *hive, Setup *existing) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Norvik", 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    // The calibration, the touch settings, the utility's button choice and the values read at the
    // driver's start.
    for (const NorvikValue &kept : kNorvikValues) {
      if (!kept.keptByInit) continue;
      if (kept.kind == NorvikValueKind::kStart) {
        KeepStartValue(key, kept, hive);
        continue;
      }
      DWORD type = REG_NONE;
      DWORD value = 0;
      DWORD size = sizeof value;
      status = RegQueryValueExW(key, kept.name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
      if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) continue;
      // A right click armed for the next touch belongs to the running driver, not to the device.
      if (std::strcmp(kept.text, "MouseMod") == 0) value &= 0x7FFFFFFFu;
      SetValueLine(hive, kept.text, Dword(value));
    }
    DWORD type = REG_NONE;
    DWORD baud = 0;
    DWORD size = sizeof baud;
    if (RegQueryValueExW(key, u"BaudRate", nullptr, &type, reinterpret_cast<BYTE *>(&baud), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof baud)
      existing->baud = baud;
    ReadString(key, u"Dll", &existing->library);
    RegCloseKey(key);
  } else if (status != ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "nrvctl: init: cannot read the settings of the existing %s (error %ld), so they would be "
                         "lost: correct or move the file away, then run init again\n",
                 platform::RegistryPath().c_str(), static_cast<long>(status));
    return false;
  }
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Serial", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadString(key, u"COM1:", &existing->port);
    RegCloseKey(key);
  }
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Input", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadString(key, u"Pointer", &existing->pointer);
    ReadString(key, u"PointerLog", &existing->pointerLog);
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    if (RegQueryValueExW(key, u"TouchOnly", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD)
      existing->touchOnly = value != 0;
    size = sizeof value;
    if (RegQueryValueExW(key, u"WakeGuard", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && value <= 86400)
      existing->wakeGuard = value;
    RegCloseKey(key);
  }
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Display", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadString(key, u"Output", &existing->output);
    std::string size;
    if (ReadString(key, u"Size", &size) && IsPanelSize(size)) existing->size = size;
    RegCloseKey(key);
  }
  return true;
}

// What the driver of the root does now, as its devmgr tells: it holds its port, its port is lent
// to a program that calibrates, it runs without it (the port could not be opened; devmgr may be
// waiting for it), or nothing runs there.
enum class Driver { kNone, kHolding, kLent, kWithoutPort, kUnknown };

Driver RunningDriver(std::string *where, DWORD *error) {
  std::vector<platform::DevicePort> ports;
  if (!platform::QueryDevicePorts(u"NRV1:", &ports)) {
    *error = GetLastError();
    return *error == ERROR_DEV_NOT_EXIST ? Driver::kNone : Driver::kUnknown;
  }
  Driver driver = Driver::kNone;
  for (const platform::DevicePort &port : ports) {
    if (port.state == platform::DevicePort::State::kClosed || driver == Driver::kHolding || driver == Driver::kLent)
      continue;
    driver = port.state == platform::DevicePort::State::kHeld   ? Driver::kHolding
             : port.state == platform::DevicePort::State::kLent ? Driver::kLent
                                                                : Driver::kWithoutPort;
    *where = port.port + (port.path.empty() ? "" : " (" + port.path + ")") +
             (driver == Driver::kLent ? " to " + port.reason : "");
  }
  return driver;
}

// A driver that holds its port would go on under a registry replaced beneath it, with the pointer
// output devmgr started with, taking up the rest at its next start, at no moment anyone chose; a
// driver that could not open its port holds nothing, and the new registry is what its next start
// should find (a corrected port, most often), so it is replaced and the start named.
bool RefuseWhileDriverRuns(const std::string &root, Driver driver, const std::string &where, DWORD error) {
  if (driver == Driver::kUnknown) {
    std::fprintf(stderr, "nrvctl: init: cannot ask the devmgr of %s whether its driver runs (error %u), so the "
                         "registry is left as it is: stop the driver first (%s), then run init again\n",
                 root.c_str(), static_cast<unsigned>(error), StopAdvice(root).c_str());
    return true;
  }
  if (driver == Driver::kLent) {
    std::fprintf(stderr, "nrvctl: init: the driver of %s is stopped and has lent %s, who calibrates, so the registry is "
                         "left as it is: run init again when the calibration has ended (the driver then runs again: "
                         "stop it first, %s)\n",
                 root.c_str(), where.c_str(), StopAdvice(root).c_str());
    return true;
  }
  if (driver != Driver::kHolding) return false;
  std::fprintf(stderr, "nrvctl: init: the driver of %s runs and holds %s, so the registry is left as it is: stop the "
                       "driver first (%s), then run init again\n",
               root.c_str(), where.c_str(), StopAdvice(root).c_str());
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
  uid_t service = 0;
  layout.shared = true;
  layout.owner = platform::UserId(platform::kServiceUser, &service) ? service : 0;
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
    // Only the owner or root may: an init run without sudo on a root that root made meets this.
    const int error = errno;
    std::fprintf(stderr, "nrvctl: init: cannot set the mode of %s: %s%s\n", path.c_str(), std::strerror(error),
                 error == EPERM ? ": run init as root (sudo nrvctl ...)" : "");
    return false;
  }
  return true;
}

// Opens the folder `name` inside `parent` (shown as `parentPath`), making it first when it is
// missing; it must be a real folder (not a link) that a trusted owner holds, in a folder that
// others may not write unless it is sticky. -1, having said why, otherwise.
int OpenFolderAt(int parent, const std::string &parentPath, const std::string &name, const std::string &path,
                 bool *made) {
  platform::TrustedOpen how;
  how.flags = O_RDONLY | O_DIRECTORY;
  how.create = true;
  how.made = made;
  platform::TrustedRefusal refused;
  const int fd = platform::OpenTrustedPathAt(parent, parentPath, name, how, &refused);
  using Kind = platform::TrustedRefusal::Kind;
  if (fd >= 0) return fd;
  if (refused.kind == Kind::kCannotCreate) {
    std::fprintf(stderr, "nrvctl: init: cannot create %s: %s: create it, or run init as root\n", path.c_str(),
                 std::strerror(refused.error));
  } else if (refused.kind == Kind::kOpenFolder) {
    std::fprintf(stderr, "nrvctl: init: cannot use %s: others may write it (mode %04o), who could replace the device "
                         "root: make the device root in a folder that only root may change, e.g. /var/lib/norvik/NAME\n",
                 refused.at.c_str(), static_cast<unsigned>(refused.mode));
  } else if (refused.kind == Kind::kOwner) {
    std::fprintf(stderr, "nrvctl: init: cannot use %s: it belongs to %s, who could replace what init makes there: "
                         "remove it, or give a device root of your own\n", path.c_str(),
                 platform::UserName(refused.owner).c_str());
  } else {
    const bool link = refused.kind == Kind::kLink || refused.kind == Kind::kNotFolder;
    std::fprintf(stderr, "nrvctl: init: cannot use %s: %s: give a device root that is a real folder (no symbolic "
                         "link), e.g. /var/lib/norvik/NAME\n", path.c_str(),
                 link ? "it is a symbolic link or not a folder" : std::strerror(refused.error));
  }
  return -1;
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
  const std::string abovePath = slash == 0 ? std::string("/") : parent.substr(0, slash);
  int above = OpenParentFolder(abovePath);
  if (above < 0) return -1;
  bool made = false;
  int fd2 = OpenFolderAt(above, abovePath, parent.substr(slash + 1), parent, &made);
  if (fd2 >= 0 && made) fchmod(fd2, 0755);
  close(above);
  return fd2;
}

// A file of the root opened, or made with O_CREAT, without following a link; whoever owns it,
// init gives it its owners. -1, having said why, otherwise; -1 with errno ENOENT, silently, when
// it is missing and not to be made.
int OpenFileAt(int folder, const char *name, const std::string &path, int flags) {
  platform::TrustedOpen how;
  how.flags = flags & ~O_CREAT;
  how.create = (flags & O_CREAT) != 0;
  how.trustedOwner = false;
  how.othersMayWrite = true;
  platform::TrustedRefusal refused;
  const int fd = platform::OpenTrustedPathAt(folder, path.substr(0, path.rfind('/')), name, how, &refused);
  if (fd >= 0 || refused.error == ENOENT) return fd;
  using Kind = platform::TrustedRefusal::Kind;
  std::fprintf(stderr, "nrvctl: init: cannot use %s: %s: remove it and run init again\n", path.c_str(),
               refused.kind == Kind::kLink         ? "it is a symbolic link"
               : refused.kind == Kind::kNotRegular ? "it is not a regular file"
                                                   : std::strerror(refused.error));
  errno = refused.error;
  return -1;
}

// Writes the hive through the registry's own writer, under the lock on registry.reg.lock, so that
// a running program reads either the old hive or the new. The lock is made here first, to give
// it the layout's owners; every file is reached through the root's descriptor, so no link
// planted in the root is followed.
bool WriteHive(int root, const std::string &text, const Layout &layout) {
  const std::string path = platform::RegistryPath();
  const std::string lockPath = path + ".lock";
  int lock = OpenFileAt(root, "registry.reg.lock", lockPath, O_RDWR | O_CREAT);
  if (lock < 0) {
    if (errno == ENOENT) std::fprintf(stderr, "nrvctl: init: cannot create %s\n", lockPath.c_str());
    return false;
  }
  const bool shared = Share(lock, lockPath, layout, layout.lockMode);
  close(lock);
  if (!shared) return false;
  platform::HiveFileOwners owners;
  owners.mode = layout.hiveMode;
  if (layout.shared) {
    owners.owner = layout.owner;
    owners.group = layout.group;
  }
  const int error = platform::WriteHiveFile(root, text, owners);
  if (error != 0) std::fprintf(stderr, "nrvctl: init: cannot write %s: %s\n", path.c_str(), std::strerror(error));
  return error == 0;
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
// port given is stored all the same. The command it suggests keeps every other choice, by --force.
void HintStableName(const std::string &root, const std::string &port) {
  const std::string stable = StableSerialName(port, "/dev/serial/by-id");
  if (stable.empty()) return;
  std::fflush(stdout);
  std::fprintf(stderr, "nrvctl: init: %s is also %s, a name that stays with this adapter whatever tty number it "
                       "gets when plugged in; to use it: nrvctl --root %s init --port %s --force\n",
               port.c_str(), stable.c_str(), root.c_str(), stable.c_str());
}

// What a replaced registry changed of the choices init makes: "; replaced the rate (was 9600)
// and ...; calibration and touch settings kept", or "; unchanged, ...".
std::string Changes(const Setup &before, const Setup &after) {
  auto was = [](const std::string &text) {
    return " (was " + (text.empty() ? std::string("none") : platform::Printable(text)) + ")";
  };
  std::vector<std::string> changes;
  if (before.port != after.port) changes.push_back("the port" + was(before.port));
  if (before.baud != after.baud) changes.push_back("the rate" + was(before.baud == 0 ? "" : std::to_string(before.baud)));
  if (before.pointer != after.pointer) changes.push_back("the pointer output" + was(before.pointer));
  if (before.library != after.library) changes.push_back("the driver library" + was(before.library));
  if (before.output != after.output) changes.push_back("the monitor" + was(before.output));
  if (before.size != after.size) changes.push_back("the panel's size" + was(before.size));
  if (before.touchOnly != after.touchOnly) changes.push_back(std::string("the buttons device") +
                                                             (before.touchOnly ? " (was none)" : " (was made)"));
  std::string text = changes.empty() ? "; unchanged" : "; replaced ";
  for (size_t i = 0; i < changes.size(); ++i)
    text += (i == 0 ? "" : i + 1 == changes.size() ? " and " : ", ") + changes[i];
  return text + (changes.empty() ? ", " : "; ") + "calibration and touch settings kept";
}

// "0660": a file's permission bits as chmod takes them.
std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// --force without --port keeps the port of a registry that has one.
int RefuseNoPort(bool replacing) {
  std::fprintf(stderr, "nrvctl: init: %s %s, so there is no port to keep: give the controller's tty with --port TTY "
                       "(e.g. /dev/ttyUSB0)\n", platform::RegistryPath().c_str(),
               replacing ? "maps no tty to COM1:" : "does not exist");
  return 2;
}

}  // namespace

int InitDeviceRootCommand(const std::string &root, const std::vector<std::string> &arguments) {
  Options options;
  if (!ParseOptions(arguments, &options)) return 2;
  platform::SetDeviceRoot(root);
  std::string driverPort;
  DWORD askError = 0;
  const Driver driver = options.force ? RunningDriver(&driverPort, &askError) : Driver::kNone;
  if (RefuseWhileDriverRuns(root, driver, driverPort, askError)) return 2;
  if (!options.port.empty() && !CheckPort(options.port)) return 2;
  // Said before anything is made; the registry's own check below covers one removed meanwhile.
  struct stat hiveInfo {};
  if (options.port.empty() && lstat(platform::RegistryPath().c_str(), &hiveInfo) != 0 && errno == ENOENT)
    return RefuseNoPort(false);

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
  Setup after;
  after.library = library;
  std::free(library);
  SetValueLine(&hive, "Dll", Quoted(after.library));
  SetValueLine(&hive, "COMM", Quoted("COM1:"));

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
  bool made = false;
  int folder = OpenFolderAt(parent, parentPath, absolute.substr(slash + 1), absolute, &made);
  close(parent);
  if (folder < 0) return 1;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closeFolder{folder};

  // The root is closed to others before anything in it is read or made, so that nobody can swap
  // an entry meanwhile; one made by an earlier layout (2770) may hold entries of members, which
  // are opened without following links and refused when they are not regular files.
  const Layout layout = ChooseLayout();
  if (!Share(folder, absolute, layout, layout.rootMode)) return 1;
  int existing = OpenFileAt(folder, "registry.reg", platform::RegistryPath(), O_RDONLY);
  if (existing < 0 && errno != ENOENT) return 1;
  const bool replacing = existing >= 0;
  // A registry that someone other than root and the service could have written (one of an
  // earlier layout, whose root members could write) may name any port, pointer log or monitor:
  // only what members may set through the driver anyway is kept from it.
  struct stat existingInfo {};
  const bool trusted =
      !replacing || (fstat(existing, &existingInfo) == 0 &&
                     platform::IsWritableOnlyByTrusted(existingInfo.st_uid, existingInfo.st_mode));
  Setup before{"", 0, "", "", "", "", "", false, 0};
  if (replacing) {
    close(existing);
    if (!options.force) {
      std::fprintf(stderr, "nrvctl: init: %s exists, so it is left as it is: pass --force to replace it (what no "
                           "option changes is kept: the port, the rate, the pointer output, the calibration and the "
                           "touch settings)\n", platform::RegistryPath().c_str());
      return 2;
    }
    if (!ReadExisting(&hive, &before)) return 2;
    if (!trusted) {
      std::fflush(stdout);
      std::fprintf(stderr, "nrvctl: init: %s %s, who could have chosen its port, pointer output, log and monitor: of "
                           "it only the calibration and the touch settings are kept\n",
                   platform::RegistryPath().c_str(),
                   platform::IsTrustedOwner(existingInfo.st_uid)
                       ? ("may be written by others than its owner (mode " + ModeText(existingInfo.st_mode) + ")").c_str()
                       : ("belongs to " + platform::UserName(existingInfo.st_uid)).c_str());
      before = Setup{"", 0, "", "", "", "", "", false, 0};
    }
    after.port = before.port;
    if (before.baud != 0) after.baud = before.baud;
    if (!before.pointer.empty()) after.pointer = before.pointer;
    after.pointerLog = before.pointerLog;
    after.output = before.output;
    after.size = before.size;
    after.touchOnly = before.touchOnly;
    after.wakeGuard = before.wakeGuard;
  }
  if (options.output) after.output = *options.output;
  if (options.size) after.size = *options.size;
  if (options.touchOnly) after.touchOnly = *options.touchOnly;
  if (!options.port.empty()) after.port = options.port;
  if (after.port.empty() && !trusted) {
    std::fprintf(stderr, "nrvctl: init: the port of a registry that others could write is not kept: give the "
                         "controller's tty with --port TTY (e.g. /dev/ttyUSB0)\n");
    return 2;
  }
  if (after.port.empty()) return RefuseNoPort(replacing);
  if (options.port.empty() && !CheckPort(after.port, true)) return 2;
  if (options.baud != 0) after.baud = options.baud;
  if (!options.pointer.empty()) {
    after.pointer = options.pointer;
    // The log output needs its file; windows writes one only when it is named; the others none.
    const platform::PointerOutputEntry *entry = platform::FindPointerOutput(after.pointer);
    if (entry->kind == platform::PointerOutputKind::kLog && after.pointerLog.empty()) after.pointerLog = "pointer.log";
    if (!entry->logged) after.pointerLog.clear();
  }
  SetValueLine(&hive, "BaudRate", Dword(after.baud));
  hive += "\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=" + Quoted(after.port) + "\n";
  hive += "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=" + Quoted(after.pointer) + "\n";
  if (!after.pointerLog.empty()) hive += "\"PointerLog\"=" + Quoted(after.pointerLog) + "\n";
  if (after.touchOnly) hive += "\"TouchOnly\"=" + Dword(1) + "\n";
  if (after.wakeGuard != 0) hive += "\"WakeGuard\"=" + Dword(after.wakeGuard) + "\n";
  if (!after.output.empty() || !after.size.empty()) {
    hive += "\n[HKEY_LOCAL_MACHINE\\Platform\\Display]\n";
    if (!after.output.empty()) hive += "\"Output\"=" + Quoted(after.output) + "\n";
    if (!after.size.empty()) hive += "\"Size\"=" + Quoted(after.size) + "\n";
  }

  int run = OpenFolderAt(folder, absolute, "run", absolute + "/run", &made);
  if (run < 0) return 1;
  const bool runShared = Share(run, absolute + "/run", layout, layout.runMode);
  close(run);
  if (!runShared) return 1;
  if (!WriteHive(folder, hive, layout)) return 1;
  std::printf("%s: COM1: is %s at %lu baud, pointer output %s%s%s%s%s%s\n", platform::Printable(root).c_str(),
              platform::Printable(after.port).c_str(), after.baud, platform::Printable(after.pointer).c_str(),
              after.touchOnly ? " (the touch screen alone)" : "",
              after.output.empty() ? "" : (" on monitor " + platform::Printable(after.output)).c_str(),
              after.size.empty() ? "" : (", a panel of " + platform::Printable(after.size) + " mm").c_str(),
              layout.shared ? ", shared with group norvik" : "",
              replacing ? Changes(before, after).c_str() : "");
  if (driver == Driver::kWithoutPort) {
    const std::string service = ServiceName(root);
    const std::string restart = service.empty() ? "" : ": sudo systemctl restart norvik@" + service;
    std::fflush(stdout);
    std::fprintf(stderr, "nrvctl: init: the driver of %s runs without its port (%s could not be opened), and takes "
                         "up the new registry when it starts again: nrvctl --root %s start (a changed pointer output "
                         "only with devmgr started again%s)\n",
                 root.c_str(), driverPort.c_str(), root.c_str(), restart.c_str());
  }
  HintStableName(root, after.port);
  return 0;
}
