// Serial port names to tty paths, through the registry.
#include "serial_tty_path.h"

#include <algorithm>

#include "platform/text.h"

namespace platform {
namespace {

constexpr char16_t kSerialKey[] = u"Platform\\Serial";

// Reads a value as text; *type tells whether it is a REG_SZ.
LONG QueryValue(HKEY key, const std::u16string &valueName, DWORD *type, std::u16string *value) {
  LONG result = ERROR_MORE_DATA;
  // The value can grow between the size query and the read when another process edits it.
  for (int attempt = 0; attempt < 3 && result == ERROR_MORE_DATA; ++attempt) {
    DWORD bytes = 0;
    result = RegQueryValueExW(key, valueName.c_str(), nullptr, type, nullptr, &bytes);
    if (result != ERROR_SUCCESS) return result;
    std::u16string data(bytes / sizeof(char16_t) + 1, u'\0');
    bytes = static_cast<DWORD>(data.size() * sizeof(char16_t));
    result = RegQueryValueExW(key, valueName.c_str(), nullptr, type, reinterpret_cast<BYTE *>(data.data()), &bytes);
    if (result == ERROR_SUCCESS) {
      data.resize(std::min(data.size(), WideLength(data.c_str())));
      *value = std::move(data);
    }
  }
  return result;
}

}  // namespace

DWORD SerialTtyPath(std::u16string_view portName, std::string *path) {
  const char16_t digit = portName[3];
  const std::u16string valueName = std::u16string(u"COM") + digit + u":";
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialKey, 0, KEY_QUERY_VALUE, &key);
  if (result == ERROR_SUCCESS) {
    DWORD type = REG_NONE;
    std::u16string value;
    result = QueryValue(key, valueName, &type, &value);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS) {
      // A value that is there but names no tty is a mistake to report, not a reason to guess.
      if (type != REG_SZ || value.empty()) return ERROR_FILE_NOT_FOUND;
      *path = ToUtf8(value);
      return 0;
    }
  }
  if (result != ERROR_FILE_NOT_FOUND) return static_cast<DWORD>(result);
  if (digit == u'0') return ERROR_FILE_NOT_FOUND;
  *path = "/dev/ttyS" + std::to_string(digit - u'1');
  return 0;
}

}  // namespace platform
