// The predefined "STATIC" class: text, or the image of an SS_BITMAP or SS_ICON static, which a
// dialog template names by resource ordinal and a program may replace with STM_SETIMAGE.
#pragma once

#include <windows.h>

#include <optional>

namespace platform::gwes {

// The resource ordinal of the image a static was created with, if it was created with one.
std::optional<WORD> StaticImageOrdinal(HWND control);
// The module whose resources hold that image: the instance the static was created with.
HINSTANCE StaticImageModule(HWND control);

}  // namespace platform::gwes
