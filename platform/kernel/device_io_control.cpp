// DeviceIoControl: one control call on any handle, carried out by the object behind it. A serial
// port answers the serial driver's control codes (every comm call is one of them), a device that
// another process publishes hands the call to its driver there; anything else is no device.
#include "kernel_object.h"

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
  platform::ObjectPtr object = platform::LookupHandle(hDevice);
  if (!object) return FALSE;
  // Only blocking calls exist here; an overlapped one would never be completed.
  if (lpOverlapped != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return object->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned);
}
