// nrvctl: a command-line client of the touch driver's device "NRV1:" for people and scripts.
// Each command opens the device, issues its control codes and closes it again, since the driver
// admits one open handle at a time.
#include <unistd.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "controller_line_rates.h"
#include "device_root_init.h"
#include "driver_settings.h"
#include "norvik_device.h"
#include "norvik_registry.h"
#include "platform/device_ports.h"
#include "platform/device_root.h"
#include "platform/help_option.h"
#include "platform/pointer_outputs.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "start_value_command.h"

namespace {

const char kUsageTemplate[] =
    "usage: nrvctl [--root DIR] COMMAND\n"
    "       nrvctl --help        print this and exit\n"
    "  init --port TTY [--pointer {outputs}] [--baud N] [--output NAME] [--size WxH]\n"
    "       [--touch-only on|off]\n"
    "                        make DIR a device root for the controller on TTY (NAME: the\n"
    "                        monitor the panel is on, as xrandr names it; WxH: the panel's size\n"
    "                        in millimetres; --touch-only on: uinput-touch without its buttons)\n"
    "  init --force [--port TTY] [--pointer OUTPUT] [--baud N] [--output NAME] [--size WxH]\n"
    "       [--touch-only on|off]\n"
    "                        replace DIR's registry, keeping every setting no option changes\n"
    "  start                 start the driver (reload settings, reopen the port); exit 3 when it\n"
    "                        started but cannot open its port\n"
    "  stop                  stop the driver (close the port)\n"
    "  settings              print the eleven settings words by their registry names, then the\n"
    "                        values read at the driver's start (Filter, LongPress), the wake guard\n"
    "                        and, for a uinput output, its devices' ids and size for the desktops\n"
    "  set NAME=VALUE...     change settings words and store them (NAME as printed by 'settings');\n"
    "                        Filter=off|smooth|smooth,noise=N and LongPress=MS (0 to 5000) are\n"
    "                        stored for the driver's next start, WakeGuard=S (0 to 86400 seconds)\n"
    "                        for devmgr's next start\n"
    "  port                  print the port name the driver last loaded\n"
    "  count [--reset]       print and clear the report counter (--reset: only clear it)\n"
    "  rate                  print reports per second, once a second, until interrupted\n";

// The usage, with the pointer outputs as their one list names them.
const std::string &Usage() {
  static const std::string usage = platform::WithPointerOutputNames(kUsageTemplate);
  return usage;
}

const char *ControlName(DWORD code) {
  switch (code) {
    case IOCTL_NRV_STOP: return "IOCTL_NRV_STOP";
    case IOCTL_NRV_START: return "IOCTL_NRV_START";
    case IOCTL_NRV_SET_SETTINGS: return "IOCTL_NRV_SET_SETTINGS";
    case IOCTL_NRV_GET_SETTINGS: return "IOCTL_NRV_GET_SETTINGS";
    case IOCTL_NRV_GET_PORT_NAME: return "IOCTL_NRV_GET_PORT_NAME";
    case IOCTL_NRV_RESET_REPORT_COUNT: return "IOCTL_NRV_RESET_REPORT_COUNT";
    case IOCTL_NRV_READ_REPORT_COUNT: return "IOCTL_NRV_READ_REPORT_COUNT";
    default: return "DeviceIoControl";
  }
}

// What to do when devmgr did not answer a call (ERROR_TIMEOUT), or ended before it did
// (ERROR_DEVICE_NOT_CONNECTED: killed, or restarted by its service); empty for other errors.
std::string Unanswered(DWORD error) {
  if (error != ERROR_TIMEOUT && error != ERROR_DEVICE_NOT_CONNECTED) return {};
  const std::string root = platform::DeviceRoot();
  const std::string installed = "/var/lib/norvik/";
  std::string name = root.rfind(installed, 0) == 0 ? root.substr(installed.size()) : "";
  if (name.find('/') != std::string::npos) name.clear();
  if (error == ERROR_TIMEOUT)
    return "the driver does not answer (devmgr is stopped or hung): " +
           (!name.empty() ? "systemctl restart norvik@" + name : "restart the devmgr of " + root);
  return "devmgr ended before it answered: try again; if it does not come back, " +
         (!name.empty() ? "see systemctl status norvik@" + name : "start devmgr on " + root + " again");
}

// Who holds the device's one handle, as devmgr names them; empty when it cannot say.
std::string Holders() {
  std::string holders;
  return platform::QueryDeviceHolders(NORVIK_DEVICE_NAME, false, &holders) ? holders : std::string();
}

// One control call on a freshly opened device. Prints what failed and returns false on failure.
// With `takeBack`, run as root, a handle another program holds is taken back from it first.
bool Control(DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, bool takeBack = false) {
  HANDLE device = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  // devmgr takes the handle back and opens it for root in one step: a program that opens again the
  // moment it loses the handle cannot come between.
  if (device == INVALID_HANDLE_VALUE && GetLastError() == ERROR_OPEN_FAILED && takeBack && geteuid() == 0) {
    std::string taken;
    device = platform::OpenDeviceTakingBack(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, &taken);
    if (!taken.empty()) std::fprintf(stderr, "nrvctl: took NRV1: back from %s\n", taken.c_str());
  }
  if (device == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    const std::string holders = error == ERROR_OPEN_FAILED ? Holders() : std::string();
    const std::string held = "its only handle is held by " + holders +
                             ": try again when that program closes it (root's nrvctl start takes it back)";
    const char *hint = error == ERROR_FILE_NOT_FOUND || error == ERROR_DEV_NOT_EXIST
                           ? "the device is not published on this device root: start devmgr with the driver"
                       : error == ERROR_ACCESS_DENIED
                           ? "this user may not use the device root, or its socket is not devmgr's "
                             "(the line above says which)"
                       : error == ERROR_TOO_MANY_OPEN_FILES
                           ? "devmgr serves as many connections to it as it may: end the program that keeps NRV1: open"
                       : !holders.empty() ? held.c_str()
                                          : "another client holds the device's only handle: try again when it is closed";
    const std::string unanswered = Unanswered(error);
    std::fprintf(stderr, "nrvctl: CreateFileW(NRV1:) failed with error %u: %s\n", error,
                 unanswered.empty() ? hint : unanswered.c_str());
    return false;
  }
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, code, in, inSize, out, outSize, &returned, nullptr);
  DWORD error = GetLastError();
  CloseHandle(device);
  if (!ok) {
    std::fprintf(stderr, "nrvctl: DeviceIoControl(%s) failed with error %u%s\n", ControlName(code), error,
                 Unanswered(error).empty() ? "" : (": " + Unanswered(error)).c_str());
    return false;
  }
  return true;
}

bool ReadSettings(DriverSettings *settings) {
  *settings = DriverSettings{};
  return Control(IOCTL_NRV_GET_SETTINGS, nullptr, 0, settings, sizeof *settings);
}

DWORD *WordIn(DriverSettings &settings, const NorvikValue &word) {
  return reinterpret_cast<DWORD *>(reinterpret_cast<BYTE *>(&settings) + word.offset);
}

void PrintSettings(DriverSettings &settings) {
  for (const NorvikValue &word : kNorvikValues) {
    if (word.kind != NorvikValueKind::kWord) continue;
    DWORD value = *WordIn(settings, word);
    if (word.hex) std::printf("%s=0x%08x\n", word.text, value);
    else if (word.isSigned) std::printf("%s=%d\n", word.text, static_cast<int>(value));
    else std::printf("%s=%u\n", word.text, value);
  }
}

// Parses NAME=VALUE; VALUE is decimal (signed words may be negative) or 0x hexadecimal.
bool ApplyAssignment(DriverSettings &settings, const char *assignment) {
  const char *equals = std::strchr(assignment, '=');
  if (equals == nullptr) {
    std::fprintf(stderr, "nrvctl: '%s' is not NAME=VALUE\n", assignment);
    return false;
  }
  std::string name(assignment, equals);
  for (const NorvikValue &word : kNorvikValues) {
    if (word.kind != NorvikValueKind::kWord || strcasecmp(word.text, name.c_str()) != 0) continue;
    const char *text = equals + 1;
    char *end = nullptr;
    long long value = std::strtoll(text, &end, 0);
    bool inRange = word.isSigned ? value >= INT32_MIN && value <= INT32_MAX : value >= INT32_MIN && value <= 0xFFFFFFFFLL;
    if (*text == 0 || *end != 0 || !inRange) {
      std::fprintf(stderr, "nrvctl: '%s' is not a 32-bit number for %s\n", text, word.text);
      return false;
    }
    // The driver stores any rate; at one the controller does not send at, its next start reads no
    // touch, or cannot even open a port that cannot run at it.
    if (std::strcmp(word.text, "BaudRate") == 0 && !IsControllerRate(static_cast<unsigned long>(value))) {
      std::fprintf(stderr,
                   "nrvctl: BaudRate %s is not a rate the controller sends at, so the driver would take no touch "
                   "after its next start; nothing was stored: %s\n",
                   text, ControllerRateAdvice().c_str());
      return false;
    }
    *WordIn(settings, word) = static_cast<DWORD>(value);
    return true;
  }
  std::fprintf(stderr, "nrvctl: unknown setting '%s'; the names are those 'nrvctl settings' prints\n", name.c_str());
  return false;
}

std::atomic<bool> interrupted{false};

int Rate() {
  platform::BlockStopSignals();
  platform::StopSignalWatcher signalWatcher;
  std::string error;
  if (!signalWatcher.Start([](int) { interrupted = true; }, &error)) {
    std::fprintf(stderr, "nrvctl: cannot start a thread to watch for signals: %s; raise the thread limit\n",
                 error.c_str());
    return 1;
  }
  if (!Control(IOCTL_NRV_RESET_REPORT_COUNT, nullptr, 0, nullptr, 0)) return 1;
  DWORD next = GetTickCount() + 1000;
  while (!interrupted) {
    DWORD now = GetTickCount();
    if (static_cast<LONG>(next - now) > 0) {
      Sleep(next - now);
      continue;
    }
    next += 1000;
    DWORD count = 0;
    if (!Control(IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count)) return 1;
    std::printf("%u reports/s\n", count);
    std::fflush(stdout);
  }
  return 0;
}

// "init" makes the device root, so it runs before one has to exist. True, with the status in
// *status, when the command is "init".
bool RunInit(int argc, char **argv, int *status) {
  std::string root;
  const char *environment = std::getenv("DEVICE_ROOT");
  if (environment != nullptr) root = environment;
  int i = 1;
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
    } else if (std::strncmp(argv[i], "--root=", 7) == 0) {
      root = argv[i] + 7;
    } else {
      break;
    }
  }
  if (i >= argc || std::strcmp(argv[i], "init") != 0) return false;
  if (root.empty()) {
    std::fprintf(stderr, "nrvctl: init needs the device root to make: pass --root DIR (e.g. /var/lib/norvik/touch0)\n");
    *status = 2;
    return true;
  }
  *status = InitDeviceRootCommand(root, std::vector<std::string>(argv + i + 1, argv + argc));
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // The usage needs no device, so it is printed before a device root is looked for.
  if (platform::WantsHelp(argc, argv)) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  int status = 0;
  if (RunInit(argc, argv, &status)) return status;
  if (!platform::InitDeviceRoot(argc, argv, "nrvctl")) return 2;
  if (argc < 2) {
    std::fputs(Usage().c_str(), stderr);
    return 2;
  }
  std::string command = argv[1];
  if ((command == "start" || command == "stop" || command == "settings" || command == "port" || command == "rate") &&
      argc != 2) {
    std::fprintf(stderr, "nrvctl: '%s' takes no arguments\n%s", command.c_str(), Usage().c_str());
    return 2;
  }
  if (command == "start") {
    if (!Control(IOCTL_NRV_START, nullptr, 0, nullptr, 0, true)) return 1;
    // The driver's start succeeds with or without its port: ask devmgr which it was.
    const std::string missing = platform::PortNotHeld(NORVIK_DEVICE_NAME);
    if (missing.empty()) return 0;
    std::fprintf(stderr, "nrvctl: started, but %s\n", missing.c_str());
    return 3;
  }
  if (command == "stop") return Control(IOCTL_NRV_STOP, nullptr, 0, nullptr, 0) ? 0 : 1;
  if (command == "settings") {
    DriverSettings settings;
    if (!ReadSettings(&settings)) return 1;
    PrintSettings(settings);
    PrintStartValues();
    return 0;
  }
  if (command == "set") {
    if (argc < 3) {
      std::fprintf(stderr, "nrvctl: 'set' needs at least one NAME=VALUE\n");
      return 2;
    }
    // Every assignment is checked before anything is stored. Filter and LongPress are not words
    // of the record: they go to the hive and need no running driver.
    std::vector<const char *> words;
    std::vector<std::pair<std::string, std::string>> startValues;
    for (int i = 2; i < argc; ++i) {
      const char *equals = std::strchr(argv[i], '=');
      const std::string name = equals != nullptr ? std::string(argv[i], static_cast<size_t>(equals - argv[i])) : "";
      if (equals != nullptr && IsStartValueName(name)) {
        if (!CheckStartValue(name, equals + 1)) return 2;
        startValues.emplace_back(name, equals + 1);
      } else {
        words.push_back(argv[i]);
      }
    }
    DriverSettings settings;
    if (!words.empty()) {
      if (!ReadSettings(&settings)) return 1;
      for (const char *assignment : words)
        if (!ApplyAssignment(settings, assignment)) return 2;
    }
    for (const auto &[name, value] : startValues)
      if (StoreStartValue(name, value) != 0) return 1;
    if (words.empty()) return 0;
    return Control(IOCTL_NRV_SET_SETTINGS, &settings, sizeof settings, nullptr, 0) ? 0 : 1;
  }
  if (command == "port") {
    WCHAR name[6] = {};
    if (!Control(IOCTL_NRV_GET_PORT_NAME, nullptr, 0, name, sizeof name)) return 1;
    std::printf("%s\n", platform::ToUtf8(std::u16string(name, platform::WideLength(name) < 6 ? platform::WideLength(name) : 6)).c_str());
    return 0;
  }
  if (command == "count") {
    if (argc == 3 && std::strcmp(argv[2], "--reset") == 0)
      return Control(IOCTL_NRV_RESET_REPORT_COUNT, nullptr, 0, nullptr, 0) ? 0 : 1;
    if (argc != 2) {
      std::fprintf(stderr, "nrvctl: 'count' takes only --reset\n");
      return 2;
    }
    DWORD count = 0;
    if (!Control(IOCTL_NRV_READ_REPORT_COUNT, nullptr, 0, &count, sizeof count)) return 1;
    std::printf("%u\n", count);
    return 0;
  }
  if (command == "rate") return Rate();
  std::fprintf(stderr, "nrvctl: unknown command '%s'\n%s", command.c_str(), Usage().c_str());
  return 2;
}
