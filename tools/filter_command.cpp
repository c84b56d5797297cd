// nrvctl's Filter setting. The hive of a shared device root is written only by root and the
// service's account (members change the settings record through the driver), so whoever may not
// write it is told so before the registry is asked to.
#include "filter_command.h"

#include <strings.h>
#include <unistd.h>

#include <windows.h>

#include <cstdio>

#include "norvik_registry.h"
#include "platform/device_root.h"
#include "platform/text.h"
#include "touch_filter_setting.h"

bool IsFilterName(const std::string &name) { return strcasecmp(name.c_str(), "Filter") == 0; }

bool CheckFilterValue(const std::string &value) {
  const std::u16string wide = platform::ToUtf16(value);
  TouchFilterSetting setting;
  const char *reason = ParseTouchFilterSetting(reinterpret_cast<const WCHAR *>(wide.c_str()), wide.size(), &setting);
  if (reason == nullptr) return true;
  std::fprintf(stderr, "nrvctl: '%s' is not a Filter value (%s): use %s; nothing was stored\n", value.c_str(), reason,
               NORVIK_FILTER_VALUES);
  return false;
}

int StoreFilterValue(const std::string &value) {
  // The registry replaces the hive by renaming a new file into the device root.
  const std::string root = platform::DeviceRoot();
  if (access(root.c_str(), W_OK) != 0) {
    std::fprintf(stderr,
                 "nrvctl: Filter was not stored: this user may not change the hive of %s, which the driver reads it "
                 "from; run the same command as root (sudo nrvctl ...)\n",
                 root.c_str());
    return 1;
  }
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr,
                 "nrvctl: Filter was not stored: the device root has no driver key (error %ld); make it with nrvctl "
                 "init or install the driver's key first\n",
                 static_cast<long>(status));
    return 1;
  }
  const std::u16string wide = platform::ToUtf16(value);
  status = RegSetValueExW(key, NORVIK_VALUE_FILTER, 0, REG_SZ, reinterpret_cast<const BYTE *>(wide.c_str()),
                          static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t)));
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  // The registry has printed why the hive could not be written.
  if (status != ERROR_SUCCESS) return 1;
  std::printf("Filter=%s stored; the driver takes it at its next start (nrvctl start, or a restart of the service)\n",
              value.c_str());
  return 0;
}
