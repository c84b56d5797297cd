// The process-wide handle table, CloseHandle, and the thread-local last error.
#include <mutex>
#include <unordered_map>

#include "kernel_object.h"

namespace platform {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, ObjectPtr> objects;
  uintptr_t next = 0x100;
};

HandleTable &Table() {
  static HandleTable *table = new HandleTable;  // outlives every static destructor that closes handles
  return *table;
}

thread_local DWORD lastError = 0;

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

BOOL KernelObject::Read(void *, DWORD, DWORD *) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL KernelObject::Write(const void *, DWORD, DWORD *) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL KernelObject::IoControl(DWORD, void *, DWORD, void *, DWORD, DWORD *) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

HANDLE InsertHandle(ObjectPtr object) {
  auto &table = Table();
  std::lock_guard lock(table.mutex);
  uintptr_t value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

ObjectPtr LookupHandle(HANDLE handle) {
  auto &table = Table();
  {
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != table.objects.end()) return it->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

ObjectPtr RemoveHandle(HANDLE handle) {
  auto &table = Table();
  {
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != table.objects.end()) {
      ObjectPtr object = std::move(it->second);
      table.objects.erase(it);
      return object;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

size_t OpenHandleCount() {
  auto &table = Table();
  std::lock_guard lock(table.mutex);
  return table.objects.size();
}

}  // namespace platform

extern "C" DWORD WINAPI GetLastError(void) { return platform::lastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { platform::lastError = dwErrCode; }

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  platform::ObjectPtr object = platform::RemoveHandle(hObject);
  if (!object) return FALSE;
  object->OnClose();
  return TRUE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  platform::ObjectPtr object = platform::LookupHandle(hFile);
  if (!object) return FALSE;
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  DWORD done = 0;
  BOOL ok = object->Read(lpBuffer, nNumberOfBytesToRead, &done);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
  return ok;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  platform::ObjectPtr object = platform::LookupHandle(hFile);
  if (!object) return FALSE;
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  DWORD done = 0;
  BOOL ok = object->Write(lpBuffer, nNumberOfBytesToWrite, &done);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return ok;
}
