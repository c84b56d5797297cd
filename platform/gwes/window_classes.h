// The window classes registered in this process (RegisterClassW): a class name, compared without
// regard to ASCII letter case, names the window procedure and the style of the windows made from
// it. A class is also known by the atom RegisterClassW returned for it.
#pragma once

#include <optional>
#include <string>

#include <windows.h>

namespace platform::gwes {

struct WindowClass {
  ATOM atom = 0;
  std::u16string name;  // as registered
  UINT style = 0;
  WNDPROC procedure = nullptr;
  HINSTANCE instance = nullptr;
};

// True when a class-name argument is an atom (MAKEINTATOM) rather than a pointer to a string.
inline bool IsClassAtom(LPCWSTR className) { return reinterpret_cast<uintptr_t>(className) < 0x10000; }

// The class a class-name argument names (a string or an atom), or nothing when none is registered
// by that name or atom.
std::optional<WindowClass> FindWindowClass(LPCWSTR className);

}  // namespace platform::gwes
