// A stand-in for the touch driver's report counter, for the utility's measurement tests: a device
// with the prefix NRV (so it is "NRV1:") whose IOCTL_NRV_READ_REPORT_COUNT hands out, one read at
// a time, the counts listed in its key's "Counts" value ("100,10,11"), then 0. It admits one open
// handle, as the driver does; every other control code fails. A "Stall" value "N:MS" makes read N
// take MS milliseconds, a device call that keeps its caller waiting. Each read is logged on
// standard output when it answers: "counter: read N at T ms".
#include <atomic>
#include <cstdio>
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
size_t stalledRead = 0;  // 1-based; 0: none
DWORD stallMs = 0;
size_t reads = 0;
std::atomic<LONG> isOpen{0};

std::string ReadText(HKEY key, const char16_t *name) {
  WCHAR text[256] = {};
  DWORD size = sizeof text - sizeof(WCHAR);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size) != ERROR_SUCCESS) return "";
  return platform::ToUtf8(text);
}

void ReadStall(LPCWSTR key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return;
  std::string stall = ReadText(handle, u"Stall");
  RegCloseKey(handle);
  unsigned long read = 0, ms = 0;
  if (std::sscanf(stall.c_str(), "%lu:%lu", &read, &ms) == 2) {
    stalledRead = read;
    stallMs = static_cast<DWORD>(ms);
  }
}

std::vector<DWORD> ReadCounts(LPCWSTR key) {
  std::vector<DWORD> listed;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return listed;
  std::string digits = ReadText(handle, u"Counts");
  size_t at = 0;
  while (at < digits.size()) {
    size_t end = digits.find(',', at);
    if (end == std::string::npos) end = digits.size();
    listed.push_back(static_cast<DWORD>(std::stoul(digits.substr(at, end - at))));
    at = end + 1;
  }
  RegCloseKey(handle);
  return listed;
}

}  // namespace

extern "C" DWORD NRV_Init(LPCWSTR pContext, LPCVOID) {
  std::lock_guard lock(countsMutex);
  counts = ReadCounts(pContext);
  nextCount = 0;
  reads = 0;
  ReadStall(pContext);
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
  size_t read = ++reads;
  DWORD count = nextCount < counts.size() ? counts[nextCount++] : 0;
  if (read == stalledRead) Sleep(stallMs);
  *reinterpret_cast<DWORD *>(pBufOut) = count;
  std::printf("counter: read %zu at %u ms\n", read, GetTickCount());
  std::fflush(stdout);
  return TRUE;
}
