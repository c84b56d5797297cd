// The in-memory dialog template of the library's full-screen windows: no items, no caption bar,
// the 12-point system font. The window sizes itself to the screen and makes its controls when it
// opens.
#pragma once

#include <vector>

#include <windows.h>

std::vector<WORD> ScreenTemplate(const char16_t *caption);
