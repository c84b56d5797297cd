// touchsim: plays the touch controller on a serial line. It reads a gesture script and sends the
// controller's five-byte reports at a line rate, on a new pseudo-terminal that it maps to a port
// name in the device's registry, or on a given tty.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "gesture_script.h"
#include "panel_model.h"
#include "port_mapping.h"
#include "platform/device_root.h"
#include "platform/help_option.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "report_encoder.h"
#include "serial_line.h"

namespace {

const char kUsage[] =
    "usage: touchsim [--root DIR] (--port COMn: | --tty PATH) [--baud N] [--panel MODEL] [--seed N]\n"
    "                [--drain-ms N] [--hold] [SCRIPT | -]\n"
    "  --root DIR      the device root (default DEVICE_ROOT): where --port maps and await looks\n"
    "  --port COMn:    create a pseudo-terminal and map the port name to it in the device's registry,\n"
    "                  putting back what the port named there when touchsim ends\n"
    "  --tty PATH      write to an existing tty instead\n"
    "  --baud N        line rate, 8N1 (default 9600); 0 sends as fast as the line takes the bytes\n"
    "  --panel MODEL   positions are screen points 0..65535, turned into controller units by the\n"
    "                  panel model MODEL, e.g. left=16000,right=200,bottom=300,top=16100,swap,noise=8\n"
    "                  (spike=N: every Nth reading of a touch is a wild one)\n"
    "  --seed N        seed of the noise (default 1)\n"
    "  --drain-ms N    at the end, wait at most N ms for the port to read everything (default 10000)\n"
    "  --hold          keep the line open after the script until interrupted\n"
    "  SCRIPT          gesture script file; '-' or none reads standard input\n";

struct Player {
  touchsim::SerialLine &line;
  bool panel;
  touchsim::PanelModel model;
  std::mt19937 random;
  touchsim::ReportCounter counter;
  uint16_t lastX = 0, lastY = 0;
  uint64_t readings = 0;  // touching reports since the last lift, for the panel's wild readings
  std::string error;
  int errorLine = 0;
  bool lineFailed = false;

  bool Send(const std::string &bytes) {
    counter.Feed(bytes);
    if (line.Send(bytes, &error)) return true;
    lineFailed = true;
    return false;
  }

  // Positions are in range: the script was checked before the line was opened.
  void Position(int64_t x, int64_t y) {
    if (panel) {
      model.Read(x, y, ++readings, random, &lastX, &lastY);
    } else {
      lastX = static_cast<uint16_t>(x);
      lastY = static_cast<uint16_t>(y);
    }
  }

  std::string awaited;            // the caption of the last await
  HWND awaitedWindow = nullptr;   // and the window it found

  bool Fail(int line, const std::string &message) {
    error = message;
    errorLine = line;
    return false;
  }

  // Waits until a window captioned `caption` is open on the device root, or, with `open` false,
  // until it is closed: the window the last await found, when it had that caption, so that a
  // window of the same caption opening right after it does not hide its end; otherwise any.
  // Looks every 5 ms, for at most `milliseconds`.
  bool AwaitWindow(int line, const std::string &caption, bool open, int64_t milliseconds) {
    const std::u16string wanted = platform::ToUtf16(caption);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    auto present = [&] {
      if (!open && awaited == caption && awaitedWindow != nullptr) return IsWindow(awaitedWindow) != FALSE;
      HWND found = FindWindowW(nullptr, wanted.c_str());
      if (found != nullptr && open) {
        awaited = caption;
        awaitedWindow = found;
      }
      return found != nullptr;
    };
    while (present() != open) {
      if (std::chrono::steady_clock::now() >= deadline)
        return Fail(line, std::string(open ? "no window \"" : "the window \"") + caption +
                              (open ? "\" opened within " : "\" stayed open for more than ") +
                              std::to_string(milliseconds) + " ms");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  bool Touch(int64_t x, int64_t y) {
    Position(x, y);
    return Send(touchsim::EncodeReport(true, lastX, lastY));
  }

  bool Lift() {
    readings = 0;
    return Send(touchsim::EncodeReport(false, lastX, lastY));
  }

  bool Run(const std::vector<touchsim::Command> &commands) {
    using touchsim::Command;
    for (const Command &c : commands) {
      const auto &n = c.numbers;
      bool ok = true;
      switch (c.kind) {
        case Command::kTap:
          ok = Touch(n[0], n[1]) && Lift();
          break;
        case Command::kDrag:
          for (int64_t i = 0; ok && i < n[4]; ++i) {
            double t = n[4] == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n[4] - 1);
            ok = Touch(std::llround(n[0] + t * (n[2] - n[0])), std::llround(n[1] + t * (n[3] - n[1])));
          }
          break;
        case Command::kHold:
          for (int64_t i = 0; ok && i < n[2]; ++i) ok = Touch(n[0], n[1]);
          break;
        case Command::kLift:
          ok = Lift();
          break;
        case Command::kWait:
          line.Pause(static_cast<uint32_t>(n[0]));
          break;
        case Command::kRaw:
          ok = Send(std::string(c.bytes.begin(), c.bytes.end()));
          break;
        case Command::kNoise: {
          // A block at a time: the count may be as large as 2^31 - 1, which must not become one
          // string of that size before the first byte is sent.
          constexpr int64_t kBlock = 4096;
          std::string bytes;
          for (int64_t left = n[0]; ok && left > 0; left -= kBlock) {
            bytes.clear();
            for (int64_t i = 0; i < std::min(left, kBlock); ++i) bytes += static_cast<char>(random() & 0xFF);
            ok = Send(bytes);
          }
          break;
        }
        case Command::kRepeat:
          for (int64_t i = 0; ok && i < n[0]; ++i) ok = Run(c.body);
          break;
        case Command::kAwait:
        case Command::kGone:
          ok = AwaitWindow(c.line, c.caption, c.kind == Command::kAwait, n[0]);
          break;
      }
      if (!ok) {
        if (errorLine == 0) errorLine = c.line;
        return false;
      }
    }
    return true;
  }
};

// Puts the port's mapping back as touchsim found it, saying so when it cannot; false then.
bool RestorePort(touchsim::PortMapping &mapping, const std::string &port, const std::string &line) {
  const std::string root = platform::DeviceRoot();
  switch (mapping.Restore()) {
    case touchsim::PortMapping::Restored::kAsFound:
      return true;
    case touchsim::PortMapping::Restored::kLeft:
      std::fprintf(stderr,
                   "touchsim: %s in the registry of %s no longer names %s: it was changed while touchsim ran, so it "
                   "is left as it is\n",
                   port.c_str(), root.c_str(), line.c_str());
      return true;
    case touchsim::PortMapping::Restored::kFailed:
      break;
  }
  if (mapping.hadValue())
    std::fprintf(stderr,
                 "touchsim: cannot put %s back to %s in the registry of %s (see the registry error above): it "
                 "still names %s, which is gone; correct what the registry error names, then map the port again\n",
                 port.c_str(), mapping.foundText().c_str(), root.c_str(), line.c_str());
  else
    std::fprintf(stderr,
                 "touchsim: cannot remove %s from the registry of %s (see the registry error above): it still names "
                 "%s, which is gone; correct what the registry error names, then remove the value %s of "
                 "HKEY_LOCAL_MACHINE\\Platform\\Serial\n",
                 port.c_str(), root.c_str(), line.c_str(), port.c_str());
  return false;
}

bool IsPortName(const std::string &name) {
  return name.size() == 5 && strncasecmp(name.c_str(), "COM", 3) == 0 && name[3] >= '0' && name[3] <= '9' &&
         name[4] == ':';
}

}  // namespace

int main(int argc, char **argv) {
  std::string port, tty, panelModel, scriptPath = "-";
  uint32_t baud = 9600;
  uint32_t seed = 1;
  uint32_t drainMs = 10000;
  bool hold = false;
  bool rootGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "touchsim: %s needs a value\n%s", name, kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&](const char *name) -> uint32_t {
      const char *text = value(name);
      char *end = nullptr;
      unsigned long parsed = std::strtoul(text, &end, 10);
      if (*text == 0 || *end != 0 || parsed > 100000000UL) {
        std::fprintf(stderr, "touchsim: %s needs a number, not '%s'\n", name, text);
        std::exit(2);
      }
      return static_cast<uint32_t>(parsed);
    };
    if (arg == "--port") port = value("--port");
    else if (arg == "--tty") tty = value("--tty");
    else if (arg == "--baud") baud = number("--baud");
    else if (arg == "--panel") panelModel = value("--panel");
    else if (arg == "--seed") seed = number("--seed");
    else if (arg == "--drain-ms") drainMs = number("--drain-ms");
    else if (arg == "--hold") hold = true;
    else if (arg == "--root" || arg.rfind("--root=", 0) == 0) {
      // Taken out of the arguments, and made the device root, by InitDeviceRoot below.
      if (arg == "--root") value("--root");
      rootGiven = true;
    }
    else if (platform::IsHelpOption(arg.c_str())) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      std::fprintf(stderr, "touchsim: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else scriptPath = arg;
  }
  if (port.empty() == tty.empty()) {
    std::fprintf(stderr, "touchsim: give either --port COMn: or --tty PATH\n%s", kUsage);
    return 2;
  }
  if (!port.empty() && !IsPortName(port)) {
    std::fprintf(stderr, "touchsim: '%s' is not a port name such as COM1:\n", port.c_str());
    return 2;
  }
  // A --tty line needs no device root, but one given is the root await and gone look in.
  const bool rootChecked = !port.empty() || rootGiven;
  if (rootChecked && !platform::InitDeviceRoot(argc, argv, "touchsim")) return 2;

  touchsim::PanelModel model;
  std::string error;
  if (!panelModel.empty() && !touchsim::PanelModel::Parse(panelModel, &model, &error)) {
    std::fprintf(stderr, "touchsim: %s\n", error.c_str());
    return 2;
  }

  std::string text;
  if (scriptPath == "-") {
    std::stringstream buffer;
    buffer << std::cin.rdbuf();
    text = buffer.str();
  } else {
    std::ifstream in(scriptPath);
    if (!in) {
      std::fprintf(stderr, "touchsim: cannot read the script %s\n", scriptPath.c_str());
      return 2;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
  }
  std::vector<touchsim::Command> commands;
  touchsim::ScriptError scriptError;
  // The whole script is checked before anything is opened or mapped, so that a mistake anywhere
  // in it leaves the line and the registry untouched.
  if (!touchsim::ParseScript(text, &commands, &scriptError) ||
      !touchsim::CheckPositions(commands, !panelModel.empty(), &scriptError)) {
    std::fprintf(stderr, "touchsim: %s:%d: %s\n", scriptPath.c_str(), scriptError.line, scriptError.message.c_str());
    return 2;
  }
  if (const int windowLine = touchsim::FirstWindowCommandLine(commands); windowLine != 0 && !rootChecked) {
    if (platform::DeviceRoot().empty()) {
      std::fprintf(stderr,
                   "touchsim: %s:%d: 'await' and 'gone' look for windows on a device root: pass --root DIR or set "
                   "DEVICE_ROOT to the device's directory\n",
                   scriptPath.c_str(), windowLine);
      return 2;
    }
    if (!platform::InitDeviceRoot(argc, argv, "touchsim")) return 2;  // checks DEVICE_ROOT
  }

  // Blocked, and left pending on a descriptor that the sending loops look at before each write:
  // a stop that arrives while touchsim is frozen ends it before it writes another byte.
  const int stopSignals = platform::OpenStopSignalDescriptor();
  if (stopSignals < 0) {
    std::fprintf(stderr, "touchsim: cannot watch for signals: %s; raise the limit on open files\n",
                 std::strerror(errno));
    return 1;
  }
  touchsim::WatchStopSignals(stopSignals);
  std::signal(SIGPIPE, SIG_IGN);

  touchsim::SerialLine line;
  line.SetBaud(baud);
  bool notATty = false;
  if (!(port.empty() ? line.OpenTty(tty, baud, &error, &notATty) : line.OpenPseudoTerminal(&error))) {
    std::fprintf(stderr, "touchsim: %s\n", error.c_str());
    return notATty ? 2 : 1;
  }
  touchsim::PortMapping mapping(port);
  if (!port.empty()) {
    if (!mapping.Map(line.path())) {
      std::fprintf(stderr, "touchsim: cannot record %s in the registry of %s (see the registry error above)\n",
                   port.c_str(), platform::DeviceRoot().c_str());
      mapping.Restore();
      return 1;
    }
    std::fprintf(stderr, "touchsim: %s is %s\n", port.c_str(), line.path().c_str());
  }

  Player player{line, !panelModel.empty(), model, std::mt19937(seed), {}, 0, 0, 0, {}, 0, false, {}, nullptr};
  bool ok = player.Run(commands);
  int status = 0;
  if (!ok && !touchsim::StopRequested()) {
    std::fprintf(stderr, "touchsim: %s:%d: %s\n", scriptPath.c_str(), player.errorLine, player.error.c_str());
    status = player.lineFailed ? 1 : 2;
  }
  size_t unread = line.Drain(drainMs);
  std::printf("touchsim: sent %llu complete reports\n", static_cast<unsigned long long>(player.counter.complete()));
  std::fflush(stdout);
  if (unread > 0 && !touchsim::StopRequested()) {
    std::fprintf(stderr, "touchsim: %zu bytes were not read within %u ms: is the driver running on %s?\n", unread,
                 drainMs, port.empty() ? tty.c_str() : port.c_str());
    if (status == 0) status = 1;
  }
  while (hold && !touchsim::StopRequested()) line.Pause(100);
  if (!port.empty() && !RestorePort(mapping, port, line.path()) && status == 0) status = 1;
  return status;
}
