// What programs draw on windows (GetDC, MoveToEx, LineTo, Ellipse), kept with each window in its
// client coordinates until InvalidateRect erases it or the window goes, for the renderings to show.
#pragma once

#include <windows.h>

#include <vector>

namespace platform::gwes {

struct Figure {
  enum class Kind { kLine, kEllipse } kind = Kind::kLine;
  RECT at{};  // a line from (left, top) to (right, bottom); an ellipse's bounding rectangle
};

// The window's figures, in the order they were drawn.
std::vector<Figure> FiguresOf(HWND hwnd);
// How many figures the window has had drawn since it was made; a rendering redraws when it grows
// or drops.
size_t DrawingGeneration(HWND hwnd);
// The window is gone; so is its drawing.
void ForgetDrawing(HWND hwnd);

}  // namespace platform::gwes
