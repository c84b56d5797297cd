// The comm calls: each is the serial driver's control code with its structure, on whatever handle
// it is given, as on the device. A port of this process's own answers it itself; a port that
// devmgr lends hands it to devmgr, which answers the codes a lent port serves.
#include <windows.h>

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL Control(HANDLE port, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize) {
  DWORD returned = 0;
  return DeviceIoControl(port, code, const_cast<void *>(in), inSize, out, outSize, &returned, nullptr);
}

}  // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_GET_DCB, nullptr, 0, lpDCB, sizeof(DCB));
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_SET_DCB, lpDCB, sizeof(DCB), nullptr, 0);
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS), nullptr, 0);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  if (lpEvtMask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof(DWORD), nullptr, 0);
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  // Only blocking waits exist here; an overlapped one would never be completed.
  if (lpOverlapped != nullptr || lpEvtMask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return Control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof(DWORD), nullptr, 0);
}
