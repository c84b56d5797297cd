// A stand-in for the touch driver's report counter, for the utility's measurement tests: a device
// with the prefix NRV (so it is "NRV1:") whose IOCTL_NRV_READ_REPORT_COUNT hands out, one read at
// a time, the counts listed in its key's "Counts" value ("100,10,11"), then 0. It admits one open
// handle, as the driver does; every other control code fails.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "norvik_device.h"
#include "platform/text.h"

namespace {

std::mutex countsMutex;
std::vector<DWORD> counts;
size_t nextCount = 0;
std::atomic<LONG> isOpen{0};

std::vector<DWORD> ReadCounts(LPCWSTR key) {
  std::vector<DWORD> listed;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return listed;
  WCHAR text[256] = {};
  DWORD size = sizeof text - sizeof(WCHAR);
  if (RegQueryValueExW(handle, u"Counts", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size) == ERROR_SUCCESS) {
    std::string digits = platform::ToUtf8(text);
    size_t at = 0;
    while (at < digits.size()) {
      size_t end = digits.find(',', at);
      if (end == std::string::npos) end = digits.size();
      listed.push_back(static_cast<DWORD>(std::stoul(digits.substr(at, end - at))));
      at = end + 1;
    }
  }
  RegCloseKey(handle);
  return listed;
}

}  // namespace

extern "C" DWORD NRV_Init(LPCWSTR pContext, LPCVOID) {
  std::lock_guard lock(countsMutex);
  counts = ReadCounts(pContext);
  nextCount = 0;
  return 1;
}

extern "C" BOOL NRV_Deinit(DWORD) { return TRUE; }

extern "C" DWORD NRV_Open(DWORD, DWORD, DWORD) {
  LONG closed = 0;
  return isOpen.compare_exchange_strong(closed, 1) ? 1 : 0;
}

extern "C" BOOL NRV_Close(DWORD) {
  isOpen = 0;
  return TRUE;
}

extern "C" BOOL NRV_IOControl(DWORD, DWORD dwCode, PBYTE, DWORD, PBYTE pBufOut, DWORD dwLenOut, PDWORD) {
  if (dwCode == IOCTL_NRV_RESET_REPORT_COUNT) return TRUE;
  if (dwCode != IOCTL_NRV_READ_REPORT_COUNT || pBufOut == nullptr || dwLenOut < sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(countsMutex);
  DWORD count = nextCount < counts.size() ? counts[nextCount++] : 0;
  *reinterpret_cast<DWORD *>(pBufOut) = count;
  return TRUE;
}
