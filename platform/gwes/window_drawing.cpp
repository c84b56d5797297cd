// Drawing on windows. A device context is the window it was taken for; its current position,
// which MoveToEx sets and LineTo moves on, belongs to the window as well.
#include "window_drawing.h"

#include <map>
#include <mutex>

#include "window_table.h"

namespace platform::gwes {
namespace {

struct Drawing {
  std::vector<Figure> figures;
  POINT position{0, 0};
  size_t generation = 0;
};

struct Drawings {
  std::mutex mutex;
  std::map<HWND, Drawing> windows;
};

Drawings &All() {
  static auto *drawings = new Drawings;  // outlives static destructors that still destroy windows
  return *drawings;
}

HWND WindowOf(HDC hdc) { return reinterpret_cast<HWND>(hdc); }

// Adds to the drawing of a live window of this process; false for any other context.
template <typename Change>
bool Draw(HDC hdc, Change change) {
  HWND hwnd = WindowOf(hdc);
  if (hdc == nullptr || !IsLocalWindow(hwnd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  auto &all = All();
  std::lock_guard lock(all.mutex);
  Drawing &drawing = all.windows[hwnd];
  change(drawing);
  ++drawing.generation;
  return true;
}

}  // namespace

std::vector<Figure> FiguresOf(HWND hwnd) {
  auto &all = All();
  std::lock_guard lock(all.mutex);
  auto it = all.windows.find(hwnd);
  return it == all.windows.end() ? std::vector<Figure>{} : it->second.figures;
}

size_t DrawingGeneration(HWND hwnd) {
  auto &all = All();
  std::lock_guard lock(all.mutex);
  auto it = all.windows.find(hwnd);
  return it == all.windows.end() ? 0 : it->second.generation;
}

void ForgetDrawing(HWND hwnd) {
  auto &all = All();
  std::lock_guard lock(all.mutex);
  all.windows.erase(hwnd);
}

}  // namespace platform::gwes

using platform::gwes::Drawing;
using platform::gwes::Figure;

extern "C" HDC WINAPI GetDC(HWND hWnd) {
  if (!platform::gwes::IsLocalWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return reinterpret_cast<HDC>(hWnd);
}

extern "C" int WINAPI ReleaseDC(HWND hWnd, HDC hDC) { return hDC != nullptr && reinterpret_cast<HWND>(hDC) == hWnd; }

extern "C" BOOL WINAPI MoveToEx(HDC hdc, int x, int y, LPPOINT lppt) {
  return platform::gwes::Draw(hdc, [&](Drawing &drawing) {
           if (lppt != nullptr) *lppt = drawing.position;
           drawing.position = POINT{x, y};
         })
             ? TRUE
             : FALSE;
}

extern "C" BOOL WINAPI LineTo(HDC hdc, int x, int y) {
  return platform::gwes::Draw(hdc, [&](Drawing &drawing) {
           drawing.figures.push_back(Figure{Figure::Kind::kLine, RECT{drawing.position.x, drawing.position.y, x, y}});
           drawing.position = POINT{x, y};
         })
             ? TRUE
             : FALSE;
}

extern "C" BOOL WINAPI Ellipse(HDC hdc, int left, int top, int right, int bottom) {
  return platform::gwes::Draw(hdc, [&](Drawing &drawing) {
           drawing.figures.push_back(Figure{Figure::Kind::kEllipse, RECT{left, top, right, bottom}});
         })
             ? TRUE
             : FALSE;
}

// Only erasing the whole window is kept: what was drawn goes.
extern "C" BOOL WINAPI InvalidateRect(HWND hWnd, const RECT *, BOOL bErase) {
  if (!platform::gwes::IsLocalWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (bErase) {
    auto &all = platform::gwes::All();
    std::lock_guard lock(all.mutex);
    auto it = all.windows.find(hWnd);
    if (it != all.windows.end()) {
      it->second.figures.clear();
      ++it->second.generation;
    }
  }
  return TRUE;
}
