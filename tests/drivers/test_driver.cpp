// A small stream driver that the device manager's tests load (prefix TST): control codes that
// echo, fail on request, leave everything untouched, count, block and start a thread
// (test_driver.h), one open
// handle per device, and one line per lifecycle call in <device root>/test_driver.log.
//
// Open fails without a last error for GENERIC_EXECUTE access, and with ERROR_ACCESS_DENIED while
// the device's one handle is open. Write keeps up to 1024 bytes (more: -1, ERROR_INSUFFICIENT_
// BUFFER) that Read hands back. Init fails when the key has "FailInit"=dword:1; DllMain refuses to
// attach while TEST_DRIVER_REFUSE_ATTACH is set. The prefix TSM exports only Init, Deinit, Open
// and Close, for a device that lacks the other entry points.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <windows.h>

#include "platform/device_root.h"
#include "platform/text.h"
#include "test_driver.h"

DBGPARAM dpCurSettings = {
    u"TestDriver",
    {u"Init", u"Open", u"Control", u"Zone3", u"Zone4", u"Zone5", u"Zone6", u"Zone7", u"Zone8", u"Zone9",
     u"Zone10", u"Zone11", u"Zone12", u"Zone13", u"Zone14", u"Error"},
    0x0001};

namespace {

constexpr DWORD kDevices = 8;
constexpr size_t kStoreLimit = 1024;
constexpr DWORD kFailed = 0xFFFFFFFFu;

struct Device {
  bool initialised = false;
  bool open = false;
  std::string key;
  std::string stored;
  std::atomic<DWORD> controlCalls{0};
  HANDLE thread = nullptr;  // started by IOCTL_TST_START_THREAD, ended by Deinit
  HANDLE threadStop = nullptr;
  HANDLE threadRunning = nullptr;
  std::atomic<DWORD> threadId{0};
};

std::mutex devicesMutex;
Device devices[kDevices];
HANDLE wakeEvent = nullptr;

void Log(const std::string &line) {
  std::string path = platform::DeviceRoot() + "/test_driver.log";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t written = write(fd, text.data(), text.size());
  (void)written;
  close(fd);
}

// The device behind a device or open context (they are the same number), or null.
Device *DeviceFor(DWORD context) {
  if (context == 0 || context > kDevices || !devices[context - 1].initialised) return nullptr;
  return &devices[context - 1];
}

bool InitRefused(LPCWSTR key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  DWORD value = 0;
  DWORD size = sizeof(value);
  LONG status = RegQueryValueExW(handle, u"FailInit", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size);
  RegCloseKey(handle);
  return status == ERROR_SUCCESS && value == 1;
}

DWORD WINAPI RunUntilDeinit(LPVOID parameter) {
  auto *device = static_cast<Device *>(parameter);
  device->threadId = GetCurrentThreadId();
  SetEvent(device->threadRunning);
  WaitForSingleObject(device->threadStop, INFINITE);
  return 0;
}

BOOL StartThread(Device *device, PBYTE out, DWORD outLength, PDWORD returned) {
  if (out == nullptr || outLength < 2 * sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(devicesMutex);
  if (device->thread != nullptr) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  device->threadStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  device->threadRunning = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  device->thread = CreateThread(nullptr, 0, RunUntilDeinit, device, 0, nullptr);
  if (device->thread == nullptr) {
    CloseHandle(device->threadStop);
    CloseHandle(device->threadRunning);
    device->threadStop = device->threadRunning = nullptr;
    return FALSE;
  }
  WaitForSingleObject(device->threadRunning, INFINITE);
  DWORD ids[2] = {GetCurrentThreadId(), device->threadId.load()};
  std::memcpy(out, ids, sizeof(ids));
  if (returned != nullptr) *returned = sizeof(ids);
  return TRUE;
}

void EndThread(Device *device) {
  if (device->thread == nullptr) return;
  SetEvent(device->threadStop);
  WaitForSingleObject(device->thread, INFINITE);
  for (HANDLE *handle : {&device->thread, &device->threadStop, &device->threadRunning}) {
    CloseHandle(*handle);
    *handle = nullptr;
  }
}

bool InputDword(PBYTE in, DWORD length, DWORD *value) {
  if (in == nullptr || length < sizeof(DWORD)) return false;
  std::memcpy(value, in, sizeof(DWORD));
  return true;
}

}  // namespace

extern "C" BOOL DllMain(HANDLE hinstDLL, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    if (std::getenv("TEST_DRIVER_REFUSE_ATTACH") != nullptr) return FALSE;
    DisableThreadLibraryCalls(static_cast<HMODULE>(hinstDLL));
    wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Log("DllMain attach");
  } else if (reason == DLL_PROCESS_DETACH) {
    CloseHandle(wakeEvent);
    Log("DllMain detach");
  }
  return TRUE;
}

extern "C" DWORD TST_Init(LPCWSTR pContext, LPCVOID) {
  std::string key = platform::ToUtf8(pContext != nullptr ? pContext : u"");
  if (InitRefused(pContext)) {
    Log("Init " + key + " refused");
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  std::lock_guard lock(devicesMutex);
  for (DWORD i = 0; i < kDevices; ++i) {
    if (devices[i].initialised) continue;
    devices[i].initialised = true;
    devices[i].open = false;
    devices[i].key = key;
    devices[i].stored.clear();
    devices[i].controlCalls = 0;
    char zones[16];
    std::snprintf(zones, sizeof(zones), "0x%08x", dpCurSettings.ulZoneMask);
    Log("Init " + key + " zones=" + zones);
    return i + 1;
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

extern "C" BOOL TST_Deinit(DWORD hDeviceContext) {
  std::lock_guard lock(devicesMutex);
  Device *device = DeviceFor(hDeviceContext);
  if (device == nullptr) return FALSE;
  Log("Deinit " + device->key);
  EndThread(device);
  device->initialised = false;
  return TRUE;
}

extern "C" DWORD TST_Open(DWORD hDeviceContext, DWORD AccessCode, DWORD) {
  std::lock_guard lock(devicesMutex);
  Device *device = DeviceFor(hDeviceContext);
  if (device == nullptr || (AccessCode & GENERIC_EXECUTE) != 0) return 0;
  if (device->open) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  device->open = true;
  Log("Open " + device->key);
  return hDeviceContext;
}

extern "C" BOOL TST_Close(DWORD hOpenContext) {
  std::lock_guard lock(devicesMutex);
  Device *device = DeviceFor(hOpenContext);
  if (device == nullptr) return FALSE;
  device->open = false;
  Log("Close " + device->key);
  return TRUE;
}

extern "C" DWORD TST_Read(DWORD hOpenContext, LPVOID pBuffer, DWORD Count) {
  std::lock_guard lock(devicesMutex);
  Device *device = DeviceFor(hOpenContext);
  if (device == nullptr) return kFailed;
  size_t count = std::min<size_t>(Count, device->stored.size());
  std::memcpy(pBuffer, device->stored.data(), count);
  device->stored.erase(0, count);
  return static_cast<DWORD>(count);
}

extern "C" DWORD TST_Write(DWORD hOpenContext, LPCVOID pBuffer, DWORD Count) {
  std::lock_guard lock(devicesMutex);
  Device *device = DeviceFor(hOpenContext);
  if (device == nullptr) return kFailed;
  if (Count > kStoreLimit) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return kFailed;
  }
  device->stored.assign(static_cast<const char *>(pBuffer), Count);
  return Count;
}

extern "C" DWORD TST_Seek(DWORD, long, WORD) { return kFailed; }

extern "C" BOOL TST_IOControl(DWORD hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn, PBYTE pBufOut,
                              DWORD dwLenOut, PDWORD pdwActualOut) {
  Device *device = nullptr;
  {
    std::lock_guard lock(devicesMutex);
    device = DeviceFor(hOpenContext);
  }
  if (device == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD earlierCalls = device->controlCalls++;
  DWORD value = 0;
  switch (dwCode) {
    case IOCTL_TST_ECHO: {
      DWORD count = pBufIn != nullptr && pBufOut != nullptr ? std::min(dwLenIn, dwLenOut) : 0;
      if (count != 0) std::memcpy(pBufOut, pBufIn, count);
      if (pdwActualOut != nullptr) *pdwActualOut = count;
      return TRUE;
    }
    case IOCTL_TST_FAIL:
      SetLastError(InputDword(pBufIn, dwLenIn, &value) ? value : static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      return FALSE;
    case IOCTL_TST_WRITE_NOTHING:
      return TRUE;
    case IOCTL_TST_CALL_COUNT:
      if (pBufOut == nullptr || dwLenOut < sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      std::memcpy(pBufOut, &earlierCalls, sizeof(earlierCalls));
      if (pdwActualOut != nullptr) *pdwActualOut = sizeof(earlierCalls);
      return TRUE;
    case IOCTL_TST_DESCRIBE: {
      DWORD flags = (pBufIn != nullptr ? TST_DESCRIBE_IN : 0) | (pBufOut != nullptr ? TST_DESCRIBE_OUT : 0) |
                    (pdwActualOut != nullptr ? TST_DESCRIBE_BYTES_RETURNED : 0);
      if (pdwActualOut != nullptr) *pdwActualOut = flags;
      DWORD description[3] = {flags, dwLenIn, dwLenOut};
      if (pBufOut != nullptr && dwLenOut >= sizeof(description)) std::memcpy(pBufOut, description, sizeof(description));
      return TRUE;
    }
    case IOCTL_TST_WAIT:
      if (!InputDword(pBufIn, dwLenIn, &value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      if (WaitForSingleObject(wakeEvent, value) == WAIT_OBJECT_0) return TRUE;
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    case IOCTL_TST_SIGNAL:
      return SetEvent(wakeEvent);
    case IOCTL_TST_START_THREAD:
      return StartThread(device, pBufOut, dwLenOut, pdwActualOut);
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
  }
}

extern "C" void TST_PowerUp(DWORD) {}

extern "C" void TST_PowerDown(DWORD) {}

extern "C" DWORD TSM_Init(LPCWSTR pContext, LPCVOID lpvBusContext) { return TST_Init(pContext, lpvBusContext); }

extern "C" BOOL TSM_Deinit(DWORD hDeviceContext) { return TST_Deinit(hDeviceContext); }

extern "C" DWORD TSM_Open(DWORD hDeviceContext, DWORD AccessCode, DWORD ShareMode) {
  return TST_Open(hDeviceContext, AccessCode, ShareMode);
}

extern "C" BOOL TSM_Close(DWORD hOpenContext) { return TST_Close(hOpenContext); }
