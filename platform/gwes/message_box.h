// Message boxes as the window model lays them out: the rectangle a box takes on the screen, the
// same whether a display shows it or a headless script answers it.
#pragma once

#include <windows.h>

#include <string_view>

namespace platform::gwes {

// The styles of a box's window: a caption with the close box, and no OK box.
constexpr DWORD kMessageBoxStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

// The screen rectangle of the box MessageBoxW shows for this caption, text and type: its caption
// with a close box, its text, and its row of buttons, centred on the screen.
RECT MessageBoxRect(std::u16string_view caption, std::u16string_view text, UINT type);

}  // namespace platform::gwes
