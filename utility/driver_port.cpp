// Reading the port name from the driver's key.
#include "driver_port.h"

#include <cstring>

namespace {

const WCHAR kDefaultPort[] = TEXT("COM1:");

}  // namespace

void ReadDriverPort(WCHAR (&port)[NORVIK_PORT_NAME_CHARS]) {
  std::memcpy(port, kDefaultPort, sizeof kDefaultPort);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  WCHAR name[NORVIK_PORT_NAME_CHARS] = {};
  DWORD size = sizeof name;
  DWORD type = 0;
  if (RegQueryValueExW(key, NORVIK_VALUE_COMM, nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    bool terminated = false;
    for (WCHAR c : name) terminated = terminated || c == 0;
    if (terminated) std::memcpy(port, name, sizeof name);
  }
  RegCloseKey(key);
}
