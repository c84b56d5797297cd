// What the device's SDK declares and the desktop Windows headers lack, for building the driver
// with MinGW-w64: the debug-zone block and its macros, and NKDbgPrintfW, which formats with the
// CRT's wide printf and hands the text to the debugger. Force-included ahead of every source.
#pragma once

// The device's API is Unicode only: TEXT() and the unsuffixed names are the wide ones.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>

#include <cstdarg>
#include <cwchar>

// The desktop headers compute CTL_CODE in int, so a code of a device type above 0x7FFF (the
// range left to drivers' own devices) comes out negative and cannot be a case label of a switch
// on a DWORD. Computed as a DWORD, every code keeps its value and type.
#undef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  ((DWORD)(((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method)))

// A module defines one DBGPARAM named dpCurSettings; a message tied to zone n prints only while
// bit n of its mask is set. The messages stay compiled in every build, as on Linux, so that the
// zone mask alone decides what is printed.
typedef struct _DBGPARAM {
  WCHAR lpszName[32];
  WCHAR rglpszZones[16][32];
  ULONG ulZoneMask;
} DBGPARAM, *LPDBGPARAM;

#define DEBUGZONE(n) (dpCurSettings.ulZoneMask & (0x00000001u << (n)))
#define DEBUGMSG(cond, printf_exp) ((void)((cond) ? (NKDbgPrintfW printf_exp), 1 : 0))
#define RETAILMSG(cond, printf_exp) ((void)((cond) ? (NKDbgPrintfW printf_exp), 1 : 0))
#define ERRORMSG(cond, printf_exp) ((void)((cond) ? (NKDbgPrintfW printf_exp), 1 : 0))
#define DEBUGREGISTER(hMod) ((void)(hMod))

// The kernel's conversions differ from the CRT's in the strings only: its %s is a wide string and
// %a or %S an 8-bit one. They are rewritten as %ls and %hs, which mean exactly that to the CRT's
// own _vsnwprintf whatever the compiler's printf dialect; the other conversions pass unchanged.
// A format too long for the buffer is cut before the first conversion that does not fit whole.
extern "C" inline void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  if (lpszFmt == nullptr) return;
  WCHAR format[512];
  const size_t formatLast = sizeof format / sizeof format[0] - 1;
  size_t length = 0;
  bool full = false;
  auto put = [&](WCHAR c) {
    if (length < formatLast) format[length++] = c;
    else full = true;
  };
  for (const WCHAR *p = lpszFmt; *p != 0; ++p) {
    const size_t start = length;
    put(*p);
    if (*p == L'%') {
      bool sized = false;
      while (p[1] != 0 && std::wcschr(L"-+ #0123456789.*hlwI", p[1]) != nullptr) {
        sized = sized || p[1] == L'h' || p[1] == L'l' || p[1] == L'w';
        put(*++p);
      }
      if (p[1] == 0) {
        length = start;
        break;
      }
      const WCHAR conversion = *++p;
      if (conversion == L'a' || conversion == L'S') {
        put(L'h');
        put(L's');
      } else {
        if (conversion == L's' && !sized) put(L'l');
        put(conversion);
      }
    }
    if (full) {
      length = start;
      break;
    }
  }
  format[length] = 0;

  WCHAR message[1024];
  const size_t messageLast = sizeof message / sizeof message[0] - 1;
  va_list args;
  va_start(args, lpszFmt);
  _vsnwprintf(message, messageLast, format, args);
  va_end(args);
  // A message that did not fit is cut, and then left unterminated by _vsnwprintf.
  message[messageLast] = 0;
  OutputDebugStringW(message);
}
