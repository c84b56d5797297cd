// The drivers the device manager loads: the subkeys of HKLM\Drivers\BuiltIn that name a library
// ("Dll") and an entry-point prefix ("Prefix"), with their "Index" and "Order", in load order.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace devmgr {

struct DriverKey {
  std::u16string keyPath;  // u"Drivers\\BuiltIn\\Norvik", the context the driver's Init receives
  std::string dll;         // the "Dll" value as written
  std::string prefix;      // three upper-case letters
  DWORD index = 1;         // 1 to 9
  DWORD order = 0xFFFFFFFFu;

  std::string path() const;        // the key path in UTF-8, for messages
  std::string deviceName() const;  // "NRV1:"
};

// The well-formed driver keys in ascending "Order", ties by key name. A key with a "Dll" or a
// "Prefix" that cannot be used is reported on standard error and left out; a key with neither is
// not a driver key and is passed over quietly.
std::vector<DriverKey> ReadBuiltInDrivers();

}  // namespace devmgr
