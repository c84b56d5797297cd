// The physical size of the panel the touch lies on, in millimetres, which the uinput devices
// announce as their size: desktops match a touch screen to the monitor of that size (GNOME within
// 5 %, KWin to the whole millimetre). HKLM\Platform\Display "Size" ("WIDTHxHEIGHT", as nrvctl init
// --size stores it) first; else the monitor "Output" names: from RandR where an X display is at
// hand, else from the EDID of the DRM connector of that name under /sys/class/drm (the service has
// no X display).
#pragma once

#include <string>
#include <string_view>

namespace platform::gwes {

struct PanelSize {
  int width = 0;  // 0: unknown
  int height = 0;
  std::string source;  // where it came from, for the line that says it; or why none was found
};

PanelSize FindPanelSize();

// "344x194" as the Size value holds it: both from 1 to 5000; false for anything else.
bool ParsePanelSize(std::string_view text, int *width, int *height);
// The image size an EDID gives: its first detailed timing's, in millimetres, else its basic
// block's, in centimetres; false when it gives none or is no EDID.
bool SizeFromEdid(std::string_view edid, int *width, int *height);
// Whether the DRM connector `connector` ("HDMI-A-1") is the monitor X names `output` ("HDMI-1",
// as the modesetting driver names it, or the connector's own name).
bool ConnectorIsOutput(std::string_view connector, std::string_view output);

}  // namespace platform::gwes
