// Reads HKLM\Drivers\BuiltIn through the registry API, checks each driver key's values and sorts
// the keys into load order.
#include "host/builtin_drivers.h"

#include <algorithm>

#include "host/log.h"
#include "platform/device_root.h"
#include "platform/text.h"

namespace devmgr {
namespace {

constexpr const char16_t *kBuiltIn = u"Drivers\\BuiltIn";

struct Value {
  LONG status = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

Value Query(HKEY key, const char16_t *name) {
  Value value;
  DWORD size = 0;
  value.status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (value.status != ERROR_SUCCESS) return value;
  value.data.resize(size);
  if (size != 0) value.status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
  value.data.resize(size);
  return value;
}

// A REG_SZ value without its terminating NULs; false for another type or an odd byte count.
bool AsString(const Value &value, std::u16string *text) {
  if (value.type != REG_SZ || value.data.size() % 2 != 0) return false;
  text->assign(value.data.size() / 2, u'\0');
  std::copy(value.data.begin(), value.data.end(), reinterpret_cast<BYTE *>(text->data()));
  while (!text->empty() && text->back() == u'\0') text->pop_back();
  return true;
}

bool AsDword(const Value &value, DWORD *number) {
  if (value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) return false;
  std::copy(value.data.begin(), value.data.end(), reinterpret_cast<BYTE *>(number));
  return true;
}

bool IsPrefix(const std::u16string &text) {
  return text.size() == 3 && std::all_of(text.begin(), text.end(), [](char16_t c) {
           return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
         });
}

std::string Upper(std::string text) {
  for (char &c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

// The key's driver description, or nothing (after reporting why when the key meant to be one).
bool ReadDriverKey(HKEY key, const std::u16string &path, DriverKey *driver) {
  std::string where = platform::ToUtf8(path);
  Value dll = Query(key, u"Dll");
  Value prefix = Query(key, u"Prefix");
  bool hasDll = dll.status == ERROR_SUCCESS;
  bool hasPrefix = prefix.status == ERROR_SUCCESS;
  if (!hasDll && !hasPrefix) return false;
  std::u16string dllText;
  if (!hasDll) {
    LogError(where + ": has a \"Prefix\" but no \"Dll\" value: add \"Dll\"=\"lib<name>.so\" naming the driver "
                     "library, or remove \"Prefix\"");
    return false;
  }
  if (!AsString(dll, &dllText) || dllText.empty()) {
    LogError(where + ": \"Dll\" is not a non-empty string (REG_SZ): write it as \"Dll\"=\"lib<name>.so\"");
    return false;
  }
  driver->keyPath = path;
  driver->dll = platform::ToUtf8(dllText);
  where += " (" + driver->dll + ")";
  std::u16string prefixText;
  if (!hasPrefix) {
    LogError(where + ": no \"Prefix\" value: add \"Prefix\"=\"XXX\" with the three letters that begin the "
                     "driver's entry points (XXX_Init)");
    return false;
  }
  if (!AsString(prefix, &prefixText) || !IsPrefix(prefixText)) {
    LogError(where + ": \"Prefix\" must be a string of three letters, e.g. \"Prefix\"=\"NRV\"; fix the key");
    return false;
  }
  driver->prefix = Upper(platform::ToUtf8(prefixText));
  Value index = Query(key, u"Index");
  if (index.status == ERROR_SUCCESS &&
      (!AsDword(index, &driver->index) || driver->index < 1 || driver->index > 9)) {
    LogError(where + ": \"Index\" must be a dword from 1 to 9, e.g. \"Index\"=dword:00000001; fix the key");
    return false;
  }
  Value order = Query(key, u"Order");
  if (order.status == ERROR_SUCCESS && !AsDword(order, &driver->order)) {
    LogError(where + ": \"Order\" must be a dword, e.g. \"Order\"=dword:00000010; fix the key or remove \"Order\"");
    return false;
  }
  return true;
}

}  // namespace

std::string DriverKey::path() const { return platform::ToUtf8(keyPath); }

std::string DriverKey::deviceName() const { return prefix + std::to_string(index) + ":"; }

std::vector<DriverKey> ReadBuiltInDrivers() {
  std::vector<DriverKey> drivers;
  HKEY builtIn = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBuiltIn, 0, KEY_READ, &builtIn);
  if (status == ERROR_FILE_NOT_FOUND) {
    LogError("no key HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn in " + platform::RegistryPath() +
             ": no drivers to load; add each driver's key under it and restart devmgr");
    return drivers;
  }
  if (status != ERROR_SUCCESS) {
    LogError("cannot read HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn from " + platform::RegistryPath() + " (error " +
             std::to_string(status) + "): no drivers loaded; correct the hive and restart devmgr");
    return drivers;
  }
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD length = 256;
    status = RegEnumKeyExW(builtIn, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) {
      LogError("key " + std::to_string(i + 1) + " under HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn has a name longer than " +
               "255 characters and is not loaded; shorten its name");
      continue;
    }
    if (status != ERROR_SUCCESS) {
      LogError("cannot list the keys under HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn (error " + std::to_string(status) +
               "): the drivers after the " + std::to_string(i) + " listed are not loaded; check the hive");
      break;
    }
    std::u16string path = std::u16string(kBuiltIn) + u"\\" + std::u16string(name, length);
    HKEY key = nullptr;
    status = RegOpenKeyExW(builtIn, std::u16string(name, length).c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
      LogError(platform::ToUtf8(path) + ": cannot be opened (error " + std::to_string(status) +
               "): the driver is not loaded; check the hive");
      continue;
    }
    DriverKey driver;
    if (ReadDriverKey(key, path, &driver)) drivers.push_back(std::move(driver));
    RegCloseKey(key);
  }
  RegCloseKey(builtIn);
  std::stable_sort(drivers.begin(), drivers.end(), [](const DriverKey &a, const DriverKey &b) {
    if (a.order != b.order) return a.order < b.order;
    return platform::ToLowerAscii(a.keyPath) < platform::ToLowerAscii(b.keyPath);
  });
  return drivers;
}

}  // namespace devmgr
