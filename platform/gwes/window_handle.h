// Window handle values: the owning process's id in the high 32 bits and a per-process window
// number (from a random start below 2^31, never reused while the process runs) in the low 32
// bits, so that any process of a device root can tell whose window a handle names without asking
// anyone.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>

#include <windows.h>

namespace platform::gwes {

static_assert(sizeof(uintptr_t) >= 8, "window handles carry a process id and a window number in 64 bits");

inline HWND MakeWindowHandle(pid_t process, uint32_t number) {
  return reinterpret_cast<HWND>((static_cast<uintptr_t>(static_cast<uint32_t>(process)) << 32) | number);
}

inline pid_t WindowProcess(HWND window) {
  return static_cast<pid_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window) >> 32));
}

inline uint32_t WindowNumber(HWND window) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window) & 0xFFFFFFFFu);
}

// True for a handle that names a window of another process.
inline bool IsOtherProcessWindow(HWND window) { return window != nullptr && WindowProcess(window) != getpid(); }

}  // namespace platform::gwes
