// nrvctl's start-time values: the driver's (Filter, LongPress) and the pointer output's
// (WakeGuard, under HKLM\Platform\Input, read when devmgr starts). The hive of a shared device root
// is written only by root and the service's account (members change the settings record through
// the driver), so whoever may not write it is told so before the registry is asked to.
#include "start_value_command.h"

#include <strings.h>
#include <unistd.h>

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "norvik_registry.h"
#include "platform/device_root.h"
#include "platform/input_identity.h"
#include "platform/pointer_outputs.h"
#include "platform/text.h"
#include "touch_filter_setting.h"

namespace {

// The value's type in the hive: Filter is text, LongPress a dword.
DWORD TypeOf(const NorvikValue &value) {
  return std::strcmp(value.text, "Filter") == 0 ? REG_SZ : REG_DWORD;
}

const NorvikValue *Find(const std::string &name) {
  for (const NorvikValue &value : kNorvikValues)
    if (value.kind == NorvikValueKind::kStart && strcasecmp(name.c_str(), value.text) == 0) return &value;
  return nullptr;
}

// A decimal whole number from 0 to `highest`; nullptr when taken, else why not (`tooLarge` for
// one above `highest`).
const char *ParseWhole(const std::string &text, unsigned long highest, const char *tooLarge, DWORD *value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return "not a whole number";
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > highest) return tooLarge;
  *value = static_cast<DWORD>(parsed);
  return nullptr;
}

// LongPress: milliseconds, 0 to NORVIK_LONG_PRESS_MAX.
const char *ParseLongPress(const std::string &text, DWORD *milliseconds) {
  return ParseWhole(text, NORVIK_LONG_PRESS_MAX, "more than 5000 ms", milliseconds);
}

// The pointer output's wake guard: seconds, 0 (off) to a day.
constexpr char kWakeGuard[] = "WakeGuard";
constexpr unsigned long kLongestWakeGuard = 86400;

bool IsWakeGuard(const std::string &name) { return strcasecmp(name.c_str(), kWakeGuard) == 0; }

const char *ParseWakeGuard(const std::string &text, DWORD *seconds) {
  return ParseWhole(text, kLongestWakeGuard, "more than a day", seconds);
}

bool MayWriteHive(const char *name) {
  // The registry replaces the hive by renaming a new file into the device root.
  const std::string root = platform::DeviceRoot();
  if (access(root.c_str(), W_OK) == 0) return true;
  std::fprintf(stderr,
               "nrvctl: %s was not stored: this user may not change the hive of %s, which it is read from; run the "
               "same command as root (sudo nrvctl ...)\n",
               name, root.c_str());
  return false;
}

// A REG_SZ value of a key of HKLM; empty when it is missing or not text.
std::string StringValue(const char16_t *key, const char16_t *name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
  WCHAR text[64] = {};
  DWORD type = 0, size = sizeof text - sizeof(WCHAR);
  const bool read = RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) ==
                        ERROR_SUCCESS && type == REG_SZ;
  RegCloseKey(opened);
  return read ? platform::ToUtf8(text) : std::string();
}

int StoreWakeGuard(const std::string &text) {
  if (!MayWriteHive(kWakeGuard)) return 1;
  DWORD seconds = 0;
  ParseWakeGuard(text, &seconds);
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Input", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
  // The registry has said why the hive cannot be changed.
  if (status != ERROR_SUCCESS) return 1;
  status = RegSetValueExW(key, u"WakeGuard", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seconds), sizeof seconds);
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return 1;
  std::printf("WakeGuard=%u stored; the pointer output takes it at devmgr's next start (a restart of the service)\n",
              static_cast<unsigned>(seconds));
  return 0;
}

}  // namespace

bool IsStartValueName(const std::string &name) { return Find(name) != nullptr || IsWakeGuard(name); }

bool CheckStartValue(const std::string &name, const std::string &text) {
  if (IsWakeGuard(name)) {
    DWORD seconds = 0;
    const char *reason = ParseWakeGuard(text, &seconds);
    if (reason == nullptr) return true;
    std::fprintf(stderr,
                 "nrvctl: '%s' is not a WakeGuard value (%s): use 0 (off) to 86400 seconds; nothing was stored\n",
                 text.c_str(), reason);
    return false;
  }
  const NorvikValue &value = *Find(name);
  if (TypeOf(value) == REG_DWORD) {
    DWORD milliseconds = 0;
    const char *reason = ParseLongPress(text, &milliseconds);
    if (reason == nullptr) return true;
    std::fprintf(stderr,
                 "nrvctl: '%s' is not a LongPress value (%s): use 0 (off) to 5000 milliseconds; nothing was stored\n",
                 text.c_str(), reason);
    return false;
  }
  const std::u16string wide = platform::ToUtf16(text);
  TouchFilterSetting setting;
  const char *reason = ParseTouchFilterSetting(reinterpret_cast<const WCHAR *>(wide.c_str()), wide.size(), &setting);
  if (reason == nullptr) return true;
  std::fprintf(stderr, "nrvctl: '%s' is not a Filter value (%s): use %s; nothing was stored\n", text.c_str(), reason,
               NORVIK_FILTER_VALUES);
  return false;
}

int StoreStartValue(const std::string &name, const std::string &text) {
  if (IsWakeGuard(name)) return StoreWakeGuard(text);
  const NorvikValue &value = *Find(name);
  if (!MayWriteHive(value.text)) return 1;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr,
                 "nrvctl: %s was not stored: the device root has no driver key (error %ld); make it with nrvctl "
                 "init or install the driver's key first\n",
                 value.text, static_cast<long>(status));
    return 1;
  }
  if (TypeOf(value) == REG_DWORD) {
    DWORD milliseconds = 0;
    ParseLongPress(text, &milliseconds);
    status = RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&milliseconds),
                            sizeof milliseconds);
  } else {
    const std::u16string wide = platform::ToUtf16(text);
    status = RegSetValueExW(key, value.name, 0, REG_SZ, reinterpret_cast<const BYTE *>(wide.c_str()),
                            static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t)));
  }
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  // The registry has printed why the hive could not be written.
  if (status != ERROR_SUCCESS) return 1;
  std::printf("%s=%s stored; the driver takes it at its next start (nrvctl start, or a restart of the service)\n",
              value.text, text.c_str());
  return 0;
}

void PrintStartValues() {
  HKEY key = nullptr;
  const bool open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS;
  for (const NorvikValue &value : kNorvikValues) {
    if (value.kind != NorvikValueKind::kStart) continue;
    BYTE data[2 * (kFilterTextChars + 1)] = {};
    DWORD type = 0;
    DWORD size = sizeof data - sizeof(WCHAR);  // a string stays terminated
    const bool read = open && RegQueryValueExW(key, value.name, nullptr, &type, data, &size) == ERROR_SUCCESS;
    if (TypeOf(value) == REG_DWORD) {
      DWORD word = 0;
      const bool taken = read && type == REG_DWORD && size == sizeof word;
      if (taken) std::memcpy(&word, data, sizeof word);
      std::printf("%s=%u%s\n", value.text, word, read && !taken ? " (the stored value is not a dword: the driver ignores it)" : "");
    } else {
      const bool taken = read && type == REG_SZ;
      const std::string text = taken ? platform::Printable(platform::ToUtf8(reinterpret_cast<const char16_t *>(data)))
                                     : std::string("off");
      std::printf("%s=%s%s\n", value.text, text.c_str(), read && !taken ? " (the stored value is not a string: the driver ignores it)" : "");
    }
  }
  if (open) RegCloseKey(key);
  DWORD seconds = 0, type = 0, size = sizeof seconds;
  HKEY input = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Input", 0, KEY_READ, &input) == ERROR_SUCCESS) {
    if (RegQueryValueExW(input, u"WakeGuard", nullptr, &type, reinterpret_cast<BYTE *>(&seconds), &size) !=
            ERROR_SUCCESS || type != REG_DWORD)
      seconds = 0;
    RegCloseKey(input);
  }
  std::printf("WakeGuard=%u\n", static_cast<unsigned>(seconds));
  // Who the uinput devices are to the desktops, in the forms each desktop's setting takes.
  const platform::PointerOutputEntry *output = platform::FindPointerOutput(StringValue(u"Platform\\Input", u"Pointer"));
  if (output == nullptr ||
      (output->kind != platform::PointerOutputKind::kUinput && output->kind != platform::PointerOutputKind::kUinputTouch))
    return;
  const char *device = output->kind == platform::PointerOutputKind::kUinput ? "Norvik touch screen pointer"
                                                                            : "Norvik touch screen";
  const platform::InputIdentity identity = platform::InputIdentityOf(platform::DeviceRoot());
  std::string underscored = device;
  for (char &c : underscored) c = c == ' ' ? '_' : c;
  std::printf("Device=\"%s\" vendor 0x%04x product 0x%04x phys %s: GNOME %04x:%04x, KWin [%u][%u][%s], sway "
              "%u:%u:%s\n",
              device, identity.vendor, identity.product, identity.phys.c_str(), identity.vendor, identity.product,
              identity.vendor, identity.product, device, identity.vendor, identity.product, underscored.c_str());
  const std::string panel = StringValue(u"Platform\\Display", u"Size");
  const std::string monitor = StringValue(u"Platform\\Display", u"Output");
  std::printf("Size=%s\n",
              !panel.empty()   ? platform::Printable(panel).c_str()
              : !monitor.empty() ? ("that of the monitor " + platform::Printable(monitor) +
                                    " where it can be read (devmgr's start says)").c_str()
                                 : "unknown (nrvctl init --force --size WIDTHxHEIGHT)");
}
