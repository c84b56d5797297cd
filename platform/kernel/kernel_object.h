// Kernel objects behind HANDLE values: one process-wide table maps each handle to a shared
// object, so a call that is still using an object keeps it alive while another thread closes its
// handle. Handle values are never reused, so a stale or doubly closed handle fails with
// ERROR_INVALID_HANDLE instead of reaching another object.
#pragma once

#include <memory>
#include <string>

#include <windows.h>

namespace platform {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // The name that fault injection matches ("COM1:", "NRV1:"); empty for unnamed objects.
  virtual std::string Name() const { return {}; }
  // Called once when the handle is closed, before the table lets go of the object: wakes
  // threads blocked on it.
  virtual void OnClose() {}
  // WaitForSingleObject on this object. The default: not waitable.
  virtual DWORD Wait(DWORD milliseconds);
  // ReadFile and WriteFile on this object. The default: ERROR_INVALID_HANDLE.
  virtual BOOL Read(void *buffer, DWORD size, DWORD *done);
  virtual BOOL Write(const void *buffer, DWORD size, DWORD *done);
  // DeviceIoControl on this object, its pointers as the caller passed them. The default: not a
  // device (ERROR_NOT_SUPPORTED).
  virtual BOOL IoControl(DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, DWORD *returned);
};

using ObjectPtr = std::shared_ptr<KernelObject>;

HANDLE InsertHandle(ObjectPtr object);
// The object behind a handle, or null (with ERROR_INVALID_HANDLE set) when there is none.
ObjectPtr LookupHandle(HANDLE handle);
// Takes the handle out of the table; null (with ERROR_INVALID_HANDLE set) when there is none.
ObjectPtr RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  auto typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!typed) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}

// Number of open handles, for leak checks.
size_t OpenHandleCount();

}  // namespace platform
