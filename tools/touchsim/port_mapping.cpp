// The port's mapping and its restoring. Every change goes through the registry calls, which apply
// it to the hive file under the lock every program of the device root takes, so that a devmgr
// storing the driver's settings meanwhile loses nothing and nothing else in the key is touched.
#include "port_mapping.h"

#include <cstring>

#include "platform/text.h"

namespace touchsim {
namespace {

constexpr WCHAR kSerialKey[] = TEXT("Platform\\Serial");

// The value's type and bytes; false when the key or the value is missing or cannot be read.
bool ReadValue(HKEY key, const std::u16string &name, DWORD *type, std::vector<BYTE> *data) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
  data->assign(size, 0);
  return RegQueryValueExW(key, name.c_str(), nullptr, type, data->data(), &size) == ERROR_SUCCESS &&
         size == data->size();
}

std::vector<BYTE> StringBytes(const std::u16string &text) {
  const BYTE *bytes = reinterpret_cast<const BYTE *>(text.c_str());
  return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(char16_t));
}

}  // namespace

bool PortMapping::Map(const std::string &path) {
  const std::u16string name = platform::ToUtf16(port_);
  HKEY key = nullptr;
  keyExisted_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
  if (keyExisted_) {
    hadValue_ = ReadValue(key, name, &foundType_, &found_);
    RegCloseKey(key);
  }
  attempted_ = true;
  mapped_ = platform::ToUtf16(path);
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const std::vector<BYTE> bytes = StringBytes(mapped_);
  const LONG result = RegSetValueExW(key, name.c_str(), 0, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
  return RegCloseKey(key) == ERROR_SUCCESS && result == ERROR_SUCCESS;
}

PortMapping::Restored PortMapping::Restore() {
  if (!attempted_) return Restored::kAsFound;
  attempted_ = false;
  const std::u16string name = platform::ToUtf16(port_);
  HKEY key = nullptr;
  if (const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialKey, 0, KEY_ALL_ACCESS, &key);
      opened != ERROR_SUCCESS) {
    if (opened != ERROR_FILE_NOT_FOUND) return Restored::kFailed;
    return hadValue_ ? Restored::kLeft : Restored::kAsFound;  // the key went meanwhile
  }
  // Only a value that still names this line is touchsim's to undo; one changed meanwhile (by
  // nrvctl init, say) is someone else's and stays.
  DWORD type = REG_NONE;
  std::vector<BYTE> now;
  const bool present = ReadValue(key, name, &type, &now);
  if (present ? type != REG_SZ || now != StringBytes(mapped_) : hadValue_) {
    RegCloseKey(key);
    return Restored::kLeft;
  }
  LONG result = ERROR_SUCCESS;
  if (hadValue_) {
    result = RegSetValueExW(key, name.c_str(), 0, foundType_, found_.data(), static_cast<DWORD>(found_.size()));
  } else if (present) {
    result = RegDeleteValueW(key, name.c_str());
  }
  DWORD subkeys = 1, values = 1;
  const LONG described = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                          nullptr, nullptr, nullptr, nullptr);
  if (RegCloseKey(key) != ERROR_SUCCESS || result != ERROR_SUCCESS) return Restored::kFailed;
  // A key touchsim made goes again once nothing else is in it; one it found stays, empty or not.
  // Should that removal fail, the mapping is as it was all the same: an empty key maps nothing.
  if (!keyExisted_ && described == ERROR_SUCCESS && subkeys == 0 && values == 0)
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialKey);
  return Restored::kAsFound;
}

std::string PortMapping::foundText() const {
  if ((foundType_ != REG_SZ && foundType_ != REG_EXPAND_SZ) || found_.size() % sizeof(char16_t) != 0)
    return "a value of type " + std::to_string(foundType_);
  std::u16string text(found_.size() / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), found_.data(), found_.size());
  while (!text.empty() && text.back() == 0) text.pop_back();
  return "\"" + platform::ToUtf8(text) + "\"";
}

}  // namespace touchsim
