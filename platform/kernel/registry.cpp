// The registry calls over the hive file of the device root. An open key is a handle to a snapshot
// of its key, read when it was opened, plus the changes made through it; the changes reach the
// file together when the key is flushed or closed, applied to the hive as it is at that moment.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "kernel_object.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "registry_file.h"

namespace platform {
namespace {

// One value's change made through an open key and not yet in the file; a removal carries only
// the name.
struct PendingChange {
  bool remove = false;
  RegistryValue value;
};

class OpenKey : public KernelObject {
 public:
  OpenKey(RegistryKey snapshot, std::vector<std::u16string> subkeys, bool created)
      : path_(snapshot.path), subkeys_(std::move(subkeys)), view_(std::move(snapshot)), createPending_(created) {}

  std::string Name() const override { return ToUtf8(path_); }
  const std::u16string &path() const { return path_; }

  bool Find(std::u16string_view name, RegistryValue *value) {
    std::lock_guard lock(mutex_);
    const RegistryValue *found = view_.FindValue(name);
    if (found != nullptr) *value = *found;
    return found != nullptr;
  }

  void Set(RegistryValue value) {
    std::lock_guard lock(mutex_);
    view_.SetValue(value);
    Record({false, std::move(value)});
  }

  bool Delete(std::u16string_view name) {
    std::lock_guard lock(mutex_);
    if (!view_.DeleteValue(name)) return false;
    Record({true, {std::u16string(name), REG_NONE, {}}});
    return true;
  }

  bool Subkey(DWORD index, std::u16string *name) const {
    if (index >= subkeys_.size()) return false;
    *name = subkeys_[index];
    return true;
  }

  // What RegQueryInfoKeyW reports: counts, and the longest names (in characters) and data (in
  // bytes).
  struct Info {
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestValueName = 0, longestData = 0;
  };
  Info Describe() {
    std::lock_guard lock(mutex_);
    Info info;
    info.subkeys = static_cast<DWORD>(subkeys_.size());
    for (const auto &name : subkeys_) info.longestSubkey = std::max(info.longestSubkey, static_cast<DWORD>(name.size()));
    info.values = static_cast<DWORD>(view_.values.size());
    for (const auto &value : view_.values) {
      info.longestValueName = std::max(info.longestValueName, static_cast<DWORD>(value.name.size()));
      info.longestData = std::max(info.longestData, static_cast<DWORD>(value.data.size()));
    }
    return info;
  }

  // Writes this key's pending changes (and its creation) to the hive in one replacement; they
  // stay pending when that fails, so that a later flush can retry them.
  LONG Flush() {
    std::lock_guard lock(mutex_);
    if (!createPending_ && pending_.empty()) return ERROR_SUCCESS;
    if (DWORD fault = CheckFault("RegFlushKey", ToUtf8(path_))) return static_cast<LONG>(fault);
    std::string file;
    if (LONG result = HiveFilePath(&file)) return result;
    LONG result = UpdateHiveFile(file, [this](RegistryHive &hive) {
      Apply(hive);
      return static_cast<LONG>(ERROR_SUCCESS);
    });
    if (result == ERROR_SUCCESS) {
      pending_.clear();
      createPending_ = false;
    }
    return result;
  }

 private:
  // Keeps one change per value name: only the last one matters, at the place of the first.
  void Record(PendingChange change) {
    for (auto &earlier : pending_) {
      if (EqualsIgnoreCase(earlier.value.name, change.value.name)) {
        change.value.name = std::move(earlier.value.name);
        earlier = std::move(change);
        return;
      }
    }
    pending_.push_back(std::move(change));
  }

  void Apply(RegistryHive &hive) const {
    bool setsValue = false;
    for (const auto &change : pending_) setsValue = setsValue || !change.remove;
    RegistryKey *key = createPending_ || setsValue ? &hive.CreateKey(path_) : hive.FindKey(path_);
    if (key == nullptr) return;  // only removals, from a key that is no longer written
    for (const auto &change : pending_) {
      if (change.remove) key->DeleteValue(change.value.name);
      else key->SetValue(change.value);
    }
  }

  const std::u16string path_;
  const std::vector<std::u16string> subkeys_;  // as they were when the key was opened
  std::mutex mutex_;
  RegistryKey view_;                   // the snapshot with this key's own changes applied
  std::vector<PendingChange> pending_;  // in the order the values were first changed
  bool createPending_;
};

std::u16string_view WideView(LPCWSTR text) { return {text != nullptr ? text : u"", WideLength(text)}; }

// The path below HKEY_LOCAL_MACHINE of hKey's sub key.
LONG SubKeyPath(HKEY hKey, LPCWSTR subKey, std::u16string *path) {
  if (hKey == HKEY_LOCAL_MACHINE) {
    path->clear();
  } else {
    auto parent = LookupHandleAs<OpenKey>(hKey);
    if (!parent) return ERROR_INVALID_HANDLE;
    *path = parent->path();
  }
  std::u16string_view rest = WideView(subKey);
  if (rest.size() > 1 && rest.back() == u'\\') rest.remove_suffix(1);
  while (!rest.empty()) {
    size_t slash = rest.find(u'\\');
    std::u16string_view name = rest.substr(0, slash);
    if (name.empty() || !IsStorableName(name)) return ERROR_INVALID_PARAMETER;
    if (!path->empty()) *path += u'\\';
    *path += name;
    if (slash == std::u16string_view::npos) break;
    rest.remove_prefix(slash + 1);
    if (rest.empty()) return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

// Reads the hive afresh and takes a snapshot of the key at path; a missing key is created (in
// the snapshot, and in the file at the first flush) when create is set.
LONG LoadKey(const std::u16string &path, bool create, std::shared_ptr<OpenKey> *key, DWORD *disposition) {
  std::string file;
  if (LONG result = HiveFilePath(&file)) return result;
  RegistryHive hive;
  if (LONG result = ReadHiveFile(file, &hive)) return result;
  bool exists = hive.KeyExists(path);
  if (!exists && !create) return ERROR_FILE_NOT_FOUND;
  RegistryKey snapshot;
  if (const RegistryKey *written = hive.FindKey(path)) snapshot = *written;
  else snapshot.path = hive.Spelling(path);
  *key = std::make_shared<OpenKey>(std::move(snapshot), hive.SubkeyNames(path), !exists);
  if (disposition != nullptr) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

// The key a call works on. HKEY_LOCAL_MACHINE itself has no open key: it gets a snapshot read
// now, and *immediate tells the caller to flush what it changes at once.
LONG KeyOf(HKEY hKey, std::shared_ptr<OpenKey> *key, bool *immediate) {
  *immediate = hKey == HKEY_LOCAL_MACHINE;
  if (*immediate) return LoadKey(std::u16string(), false, key, nullptr);
  *key = LookupHandleAs<OpenKey>(hKey);
  return *key ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult, DWORD *disposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::u16string path;
  if (LONG result = SubKeyPath(hKey, lpSubKey, &path)) return result;
  if (!create) {
    if (DWORD fault = CheckFault("RegOpenKeyExW", ToUtf8(path))) return static_cast<LONG>(fault);
  }
  std::shared_ptr<OpenKey> key;
  if (LONG result = LoadKey(path, create, &key, disposition)) return result;
  *phkResult = reinterpret_cast<HKEY>(InsertHandle(std::move(key)));
  return ERROR_SUCCESS;
}

// True when path is below, or is, the key at top (paths compare in any letter case).
bool IsAtOrBelow(const std::u16string &path, const std::u16string &top) {
  if (path.size() < top.size() || !EqualsIgnoreCase(std::u16string_view(path).substr(0, top.size()), top)) return false;
  return path.size() == top.size() || path[top.size()] == u'\\';
}

}  // namespace
}  // namespace platform

using platform::OpenKey;

extern "C" LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  return platform::OpenOrCreate(hKey, lpSubKey, false, phkResult, nullptr);
}

extern "C" LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                       LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return platform::OpenOrCreate(hKey, lpSubKey, true, phkResult, lpdwDisposition);
}

extern "C" LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> key;
  bool immediate = false;
  if (LONG result = platform::KeyOf(hKey, &key, &immediate)) return result;
  platform::RegistryValue value;
  if (!key->Find(platform::WideView(lpValueName), &value)) return ERROR_FILE_NOT_FOUND;
  if (lpType != nullptr) *lpType = value.type;
  auto size = static_cast<DWORD>(value.data.size());
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                                      DWORD cbData) {
  std::u16string_view name = platform::WideView(lpValueName);
  if ((lpData == nullptr && cbData > 0) || !platform::IsStorableName(name)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> key;
  bool immediate = false;
  if (LONG result = platform::KeyOf(hKey, &key, &immediate)) return result;
  std::vector<BYTE> data;
  if (cbData > 0) data.assign(lpData, lpData + cbData);
  key->Set({std::u16string(name), dwType, std::move(data)});
  return immediate ? key->Flush() : ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  std::shared_ptr<OpenKey> key;
  bool immediate = false;
  if (LONG result = platform::KeyOf(hKey, &key, &immediate)) return result;
  if (!key->Delete(platform::WideView(lpValueName))) return ERROR_FILE_NOT_FOUND;
  return immediate ? key->Flush() : ERROR_SUCCESS;
}

// As on Windows CE: the key goes with its values and every key below it, in one replacement of
// the hive, so that no reader sees half of it gone.
extern "C" LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr || *lpSubKey == 0) return ERROR_INVALID_PARAMETER;
  std::u16string path;
  if (LONG result = platform::SubKeyPath(hKey, lpSubKey, &path)) return result;
  std::string file;
  if (LONG result = platform::HiveFilePath(&file)) return result;
  return platform::UpdateHiveFile(file, [&](platform::RegistryHive &hive) {
    if (!hive.KeyExists(path)) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    platform::RegistryHive kept;
    for (const platform::RegistryKey &key : hive.keys())
      if (!platform::IsAtOrBelow(key.path, path)) kept.CreateKey(key.path).values = key.values;
    hive = std::move(kept);
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

extern "C" LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                        LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor, void *lpftLastWriteTime) {
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> key;
  bool immediate = false;
  if (LONG result = platform::KeyOf(hKey, &key, &immediate)) return result;
  const OpenKey::Info info = key->Describe();
  // Keys have no class, no security descriptor and no recorded write time: all read as empty.
  if (lpClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpcSubKeys != nullptr) *lpcSubKeys = info.subkeys;
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = info.longestSubkey;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
  if (lpcValues != nullptr) *lpcValues = info.values;
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = info.longestValueName;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = info.longestData;
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime != nullptr) std::memset(lpftLastWriteTime, 0, 2 * sizeof(DWORD));
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD,
                                     LPWSTR lpClass, LPDWORD lpcchClass, void *lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> key;
  bool immediate = false;
  if (LONG result = platform::KeyOf(hKey, &key, &immediate)) return result;
  std::u16string name;
  if (!key->Subkey(dwIndex, &name)) return ERROR_NO_MORE_ITEMS;
  if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *lpcchName = static_cast<DWORD>(name.size());
  // Keys have no class and no recorded write time: both read as empty.
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpftLastWriteTime != nullptr) std::memset(lpftLastWriteTime, 0, 2 * sizeof(DWORD));
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegFlushKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto key = platform::LookupHandleAs<OpenKey>(hKey);
  return key ? key->Flush() : ERROR_INVALID_HANDLE;
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto key = platform::LookupHandleAs<OpenKey>(hKey);
  if (!key || !platform::RemoveHandle(hKey)) return ERROR_INVALID_HANDLE;
  // The handle is gone whatever the write gives: a caller cannot retry a close.
  return key->Flush();
}
