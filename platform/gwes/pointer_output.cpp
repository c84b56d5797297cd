// mouse_event and MessageBeep: each call goes to the test sink when one is set, otherwise to the
// process's pointer output, chosen from HKLM\Platform\Input ("Pointer", "PointerLog") by
// StartPointerOutput or the first call, and then kept. An output that cannot start is reported,
// its calls are dropped and it is tried again now and then; there is no silent fallback to
// another output.
#include "platform/pointer_output.h"
#include "platform/pointer_outputs.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string>

#include "platform/text.h"
#include "pointer_backend.h"

namespace platform {
namespace {

// How long a call that finds no output waits before it tries to start one again: a missing
// /dev/uinput or X display is often there a moment later (udev's rules, a display manager), and
// reading the registry at every touch would cost the read thread for nothing.
constexpr std::chrono::seconds kRetryInterval{2};
// The longest wake guard: a day.
constexpr DWORD kLongestWakeGuard = 86400;

struct PointerOutput {
  std::mutex mutex;  // one call at a time: keeps the sink's order and the outputs single-threaded
  PointerSink sink;
  bool chosen = false;
  std::unique_ptr<PointerBackend> backend;  // null once chosen: the output could not start
  std::chrono::steady_clock::time_point lastTry;
  std::string reported;  // the last failure said, so that a retry that fails alike is quiet
};

// Never destroyed: a driver's thread may still call mouse_event while the process exits.
PointerOutput &Output() {
  static auto *output = new PointerOutput;
  return *output;
}

struct PointerSettings {
  std::u16string pointer;
  bool pointerGiven = false;  // false: missing, so the default
  std::u16string pointerLog;  // empty: standard output
  bool pointerLogGiven = false;
  DWORD touchOnly = 0;  // uinput-touch without its buttons device
  DWORD wakeGuard = 0;  // seconds; 0: off
};

// A REG_DWORD value of key within [0, highest]; false, with *problem set, when it exists but is
// not one. A missing value leaves *value as it was.
bool ReadDword(HKEY key, const char16_t *name, DWORD highest, DWORD *value, std::string *problem) {
  DWORD type = REG_NONE, data = 0, size = sizeof data;
  const LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&data), &size);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data || data > highest) {
    *problem = "HKLM\\Platform\\Input \"" + ToUtf8(name) + "\" is not a dword from 0 to " + std::to_string(highest) +
               ": set it with nrvctl (nrvctl set " + ToUtf8(name) + "=N, or nrvctl init --force)";
    return false;
  }
  *value = data;
  return true;
}

// Without a display the device's own windows are where a touch goes; with one, the log, unless
// the registry chooses xtest, through which X delivers to the windows on it.
std::u16string DefaultPointer() {
  const char *display = std::getenv("DISPLAY");
  return display == nullptr || *display == '\0' ? u"windows" : u"log";
}

// A REG_SZ value of key; false, with *problem set, when it exists but cannot be used. A missing
// value leaves *text as it was.
bool ReadString(HKEY key, const char16_t *name, std::u16string *text, std::string *problem) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  std::u16string data((size + 1) / 2, u'\0');
  if (result == ERROR_SUCCESS && type == REG_SZ) {
    result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size);
  }
  std::string where = "HKLM\\Platform\\Input \"" + ToUtf8(name) + "\"";
  if (result != ERROR_SUCCESS) {
    *problem = where + " cannot be read (error " + std::to_string(result) + ")";
    return false;
  }
  if (type != REG_SZ) {
    *problem = where + " is not a string: make it a REG_SZ value";
    return false;
  }
  data.resize(size / 2);
  while (!data.empty() && data.back() == u'\0') data.pop_back();
  *text = std::move(data);
  return true;
}

// The settings, or false with *problem set. A missing key or value means its default; a hive
// that cannot be read at all (no device root, a malformed file) also means the defaults, said
// once, since the registry layer has already explained what is wrong with it.
bool ReadSettings(PointerSettings *settings, std::string *problem) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Input", 0, KEY_QUERY_VALUE, &key);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS) {
    NKDbgPrintfW(u"gwes: HKLM\\Platform\\Input cannot be read (error %d); pointer events go to standard output\n",
                 static_cast<int>(result));
    return true;
  }
  // A value left as this was missing from the key.
  const std::u16string unset = u"\x01";
  settings->pointer = unset;
  settings->pointerLog = unset;
  bool usable = ReadString(key, u"Pointer", &settings->pointer, problem) &&
                ReadString(key, u"PointerLog", &settings->pointerLog, problem) &&
                ReadDword(key, u"TouchOnly", 1, &settings->touchOnly, problem) &&
                ReadDword(key, u"WakeGuard", kLongestWakeGuard, &settings->wakeGuard, problem);
  settings->pointerGiven = settings->pointer != unset;
  if (!settings->pointerGiven) settings->pointer.clear();
  settings->pointerLogGiven = settings->pointerLog != unset;
  if (!settings->pointerLogGiven) settings->pointerLog.clear();
  RegCloseKey(key);
  return usable;
}

void Choose(PointerOutput &output) {
  output.chosen = true;
  output.lastTry = std::chrono::steady_clock::now();
  PointerSettings settings;
  std::string problem;
  if (ReadSettings(&settings, &problem)) {
    if (!settings.pointerGiven) settings.pointer = DefaultPointer();
    const PointerOutputEntry *entry = FindPointerOutput(ToUtf8(settings.pointer));
    if (entry == nullptr) {
      problem = "Pointer is \"" + ToUtf8(settings.pointer) +
                "\", which names no pointer output: set HKLM\\Platform\\Input \"Pointer\" to " + PointerOutputNames();
    } else {
      switch (entry->kind) {
        case PointerOutputKind::kWindows:
          output.backend = StartPointerWindows(ToUtf8(settings.pointerLog), settings.pointerLogGiven, &problem);
          break;
        case PointerOutputKind::kLog:
          output.backend = StartPointerLog(ToUtf8(settings.pointerLog), &problem);
          break;
        case PointerOutputKind::kXTest:
          output.backend = StartPointerXTest(&problem);
          break;
        case PointerOutputKind::kUinput:
          output.backend = StartPointerUinput(&problem);
          break;
        case PointerOutputKind::kUinputTouch:
          output.backend = StartPointerUinputTouch(settings.touchOnly != 0, &problem);
          break;
      }
      // A touch screen's touch is what wakes the desktop there, and a touch without its press
      // would be no touch at all: the guard is for the pointer outputs.
      if (settings.wakeGuard != 0 && entry->kind == PointerOutputKind::kUinputTouch)
        NKDbgPrintfW(u"gwes: HKLM\\Platform\\Input \"WakeGuard\" is %u s, but the touch screen output (uinput-touch) "
                     u"passes every touch on: a desktop wakes on the touch itself; the guard is for the pointer "
                     u"outputs\n",
                     static_cast<unsigned>(settings.wakeGuard));
      else
        output.backend = GuardWaking(std::move(output.backend), settings.wakeGuard);
    }
  }
  if (!output.backend) {
    if (problem != output.reported)
      NKDbgPrintfW(u"gwes: %a; mouse_event and MessageBeep calls are dropped until it starts (tried again every "
                   u"%d s)\n",
                   problem.c_str(), static_cast<int>(kRetryInterval.count()));
    output.reported = problem;
  } else if (!output.reported.empty()) {
    NKDbgPrintfW(u"gwes: the pointer output \"%a\" started on a later try; mouse_event and MessageBeep calls go "
                 u"to it\n",
                 ToUtf8(settings.pointer).c_str());
    output.reported.clear();
  }
}

// Chooses the output at a call when none is chosen yet, or tries again when it could not start
// and the interval has passed; true when there is one to take the call.
bool Ready(PointerOutput &output) {
  if (!output.chosen || (!output.backend && std::chrono::steady_clock::now() - output.lastTry >= kRetryInterval))
    Choose(output);
  return output.backend != nullptr;
}

}  // namespace

std::ostream &operator<<(std::ostream &out, const PointerEvent &event) {
  char text[96];
  if (event.kind == PointerEvent::Kind::Beep) {
    std::snprintf(text, sizeof text, "MessageBeep type=%u", event.beepType);
  } else {
    std::snprintf(text, sizeof text, "mouse_event flags=0x%04x dx=%u dy=%u data=%u", event.flags, event.dx, event.dy,
                  event.data);
  }
  return out << text;
}

void SetPointerSink(PointerSink sink) {
  PointerOutput &output = Output();
  std::lock_guard lock(output.mutex);
  output.sink = std::move(sink);
}

bool StartPointerOutput() {
  PointerOutput &output = Output();
  std::lock_guard lock(output.mutex);
  if (output.sink) return true;
  if (!output.backend) Choose(output);
  return output.backend != nullptr;
}

void ResetPointerOutput() {
  PointerOutput &output = Output();
  std::lock_guard lock(output.mutex);
  output.backend.reset();
  output.chosen = false;
  output.reported.clear();
}

}  // namespace platform

extern "C" void WINAPI mouse_event(DWORD dwFlags, DWORD dx, DWORD dy, DWORD dwData, ULONG_PTR) {
  platform::PointerOutput &output = platform::Output();
  std::lock_guard lock(output.mutex);
  if (output.sink) {
    output.sink({platform::PointerEvent::Kind::MouseEvent, dwFlags, dx, dy, dwData, 0});
    return;
  }
  if (platform::Ready(output)) output.backend->MouseEvent(dwFlags, dx, dy, dwData);
}

extern "C" BOOL WINAPI MessageBeep(UINT uType) {
  platform::PointerOutput &output = platform::Output();
  std::lock_guard lock(output.mutex);
  if (output.sink) {
    output.sink({platform::PointerEvent::Kind::Beep, 0, 0, 0, 0, uType});
    return TRUE;
  }
  if (!platform::Ready(output)) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  return output.backend->Beep(uType);
}
