// mouse_event and MessageBeep: each call goes to the test sink when one is set, otherwise to the
// process's pointer output, which the first call chooses from HKLM\Platform\Input ("Pointer",
// "PointerLog") and which is then kept. An output that cannot start is reported once and its
// calls are dropped; there is no silent fallback to another output.
#include "platform/pointer_output.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string>

#include "platform/text.h"
#include "pointer_backend.h"

namespace platform {
namespace {

struct PointerOutput {
  std::mutex mutex;  // one call at a time: keeps the sink's order and the outputs single-threaded
  PointerSink sink;
  bool chosen = false;
  std::unique_ptr<PointerBackend> backend;  // null once chosen: the output could not start
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
};

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
                ReadString(key, u"PointerLog", &settings->pointerLog, problem);
  settings->pointerGiven = settings->pointer != unset;
  if (!settings->pointerGiven) settings->pointer.clear();
  settings->pointerLogGiven = settings->pointerLog != unset;
  if (!settings->pointerLogGiven) settings->pointerLog.clear();
  RegCloseKey(key);
  return usable;
}

void Choose(PointerOutput &output) {
  output.chosen = true;
  PointerSettings settings;
  std::string problem;
  if (ReadSettings(&settings, &problem)) {
    if (!settings.pointerGiven) settings.pointer = DefaultPointer();
    if (EqualsIgnoreCase(settings.pointer, u"windows")) {
      output.backend = StartPointerWindows(ToUtf8(settings.pointerLog), settings.pointerLogGiven, &problem);
    } else if (EqualsIgnoreCase(settings.pointer, u"log")) {
      output.backend = StartPointerLog(ToUtf8(settings.pointerLog), &problem);
    } else if (EqualsIgnoreCase(settings.pointer, u"xtest")) {
      output.backend = StartPointerXTest(&problem);
    } else if (EqualsIgnoreCase(settings.pointer, u"uinput")) {
      output.backend = StartPointerUinput(&problem);
    } else if (EqualsIgnoreCase(settings.pointer, u"uinput-touch")) {
      output.backend = StartPointerUinputTouch(&problem);
    } else {
      problem = "Pointer is \"" + ToUtf8(settings.pointer) +
                "\", which names no pointer output: set HKLM\\Platform\\Input \"Pointer\" to \"windows\", \"log\", "
                "\"xtest\", \"uinput\" or \"uinput-touch\"";
    }
  }
  if (!output.backend) NKDbgPrintfW(u"gwes: %a; mouse_event and MessageBeep calls are dropped\n", problem.c_str());
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

void ResetPointerOutput() {
  PointerOutput &output = Output();
  std::lock_guard lock(output.mutex);
  output.backend.reset();
  output.chosen = false;
}

}  // namespace platform

extern "C" void WINAPI mouse_event(DWORD dwFlags, DWORD dx, DWORD dy, DWORD dwData, ULONG_PTR) {
  platform::PointerOutput &output = platform::Output();
  std::lock_guard lock(output.mutex);
  if (output.sink) {
    output.sink({platform::PointerEvent::Kind::MouseEvent, dwFlags, dx, dy, dwData, 0});
    return;
  }
  if (!output.chosen) platform::Choose(output);
  if (output.backend) output.backend->MouseEvent(dwFlags, dx, dy, dwData);
}

extern "C" BOOL WINAPI MessageBeep(UINT uType) {
  platform::PointerOutput &output = platform::Output();
  std::lock_guard lock(output.mutex);
  if (output.sink) {
    output.sink({platform::PointerEvent::Kind::Beep, 0, 0, 0, 0, uType});
    return TRUE;
  }
  if (!output.chosen) platform::Choose(output);
  if (!output.backend) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  return output.backend->Beep(uType);
}
