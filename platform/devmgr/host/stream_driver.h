// The stream-interface driver as the device manager sees it: the library entry point and the
// ten entry points a driver exports as PREFIX_Init ... PREFIX_PowerDown, with the device's
// signatures. Any of them but Init and Deinit may be missing (null).
#pragma once

#include <windows.h>

namespace devmgr {

typedef BOOL (*PFN_DllMain)(HANDLE hinstDLL, DWORD reason, LPVOID reserved);

typedef DWORD (*PFN_Init)(LPCWSTR pContext, LPCVOID lpvBusContext);
typedef BOOL (*PFN_Deinit)(DWORD hDeviceContext);
typedef DWORD (*PFN_Open)(DWORD hDeviceContext, DWORD AccessCode, DWORD ShareMode);
typedef BOOL (*PFN_Close)(DWORD hOpenContext);
typedef DWORD (*PFN_Read)(DWORD hOpenContext, LPVOID pBuffer, DWORD Count);
typedef DWORD (*PFN_Write)(DWORD hOpenContext, LPCVOID pBuffer, DWORD Count);
typedef DWORD (*PFN_Seek)(DWORD hOpenContext, long Amount, WORD Type);
typedef BOOL (*PFN_IOControl)(DWORD hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn, PBYTE pBufOut,
                              DWORD dwLenOut, PDWORD pdwActualOut);
typedef void (*PFN_PowerUp)(DWORD hDeviceContext);
typedef void (*PFN_PowerDown)(DWORD hDeviceContext);

struct StreamEntryPoints {
  PFN_Init Init = nullptr;
  PFN_Deinit Deinit = nullptr;
  PFN_Open Open = nullptr;
  PFN_Close Close = nullptr;
  PFN_Read Read = nullptr;
  PFN_Write Write = nullptr;
  PFN_Seek Seek = nullptr;
  PFN_IOControl IOControl = nullptr;
  PFN_PowerUp PowerUp = nullptr;
  PFN_PowerDown PowerDown = nullptr;
};

}  // namespace devmgr
