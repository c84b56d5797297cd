// LoadIconW: an icon handle names the icon group resource it was loaded from; the resource stays
// loaded for the life of the program, so the handle stays valid.
#include <windows.h>

extern "C" HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
  HMODULE module = reinterpret_cast<HMODULE>(hInstance);
  HRSRC found = FindResourceW(module, lpIconName, RT_GROUP_ICON);
  if (found == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  return loaded != nullptr ? reinterpret_cast<HICON>(LockResource(loaded)) : nullptr;
}
