// The driver's exported entry points, with the device manager's stream-interface signatures.
#pragma once

#include <windows.h>

extern "C" {
BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);
DWORD NRV_Init(LPCWSTR pContext, LPCVOID lpvBusContext);
BOOL NRV_Deinit(DWORD hDeviceContext);
DWORD NRV_Open(DWORD hDeviceContext, DWORD AccessCode, DWORD ShareMode);
BOOL NRV_Close(DWORD hOpenContext);
DWORD NRV_Read(DWORD hOpenContext, LPVOID pBuffer, DWORD Count);
DWORD NRV_Write(DWORD hOpenContext, LPCVOID pBuffer, DWORD Count);
DWORD NRV_Seek(DWORD hOpenContext, long Amount, WORD Type);
BOOL NRV_IOControl(DWORD hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn, PBYTE pBufOut, DWORD dwLenOut,
                   PDWORD pdwActualOut);
void NRV_PowerUp(DWORD hDeviceContext);
void NRV_PowerDown(DWORD hDeviceContext);
}
