// Where the panel's size comes from: the registry, RandR, or a connector's EDID in sysfs.
#include "panel_size.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <dirent.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <windows.h>

#include "platform/device_root.h"
#include "screen_size.h"

namespace platform::gwes {
namespace {

constexpr int kLargestMillimetres = 5000;

// HKLM\Platform\Display "Size"; empty when there is none.
std::string SizeValue() {
  HKEY key = nullptr;
  if (DeviceRoot().empty() || RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\Display", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return {};
  WCHAR text[32] = {};
  DWORD type = 0, size = sizeof text - sizeof(WCHAR);
  const LONG result = RegQueryValueExW(key, u"Size", nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return result == ERROR_FILE_NOT_FOUND ? "" : "?";
  std::string narrow;
  for (const WCHAR *at = text; *at != 0; ++at) narrow += *at < 0x80 ? static_cast<char>(*at) : '?';
  return narrow;
}

bool FromRandR(const std::string &output, PanelSize *found) {
  const char *name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return false;
  Display *display = XOpenDisplay(name);
  if (display == nullptr) return false;
  int event = 0, error = 0;
  bool ok = false;
  if (XRRQueryExtension(display, &event, &error)) {
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    for (int i = 0; resources != nullptr && i < resources->noutput && !ok; ++i) {
      XRROutputInfo *info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
      if (info != nullptr && output == info->name && info->mm_width > 0 && info->mm_height > 0) {
        *found = {static_cast<int>(info->mm_width), static_cast<int>(info->mm_height),
                  "the monitor \"" + output + "\" of the X display " + name};
        ok = true;
      }
      if (info != nullptr) XRRFreeOutputInfo(info);
    }
    if (resources != nullptr) XRRFreeScreenResources(resources);
  }
  XCloseDisplay(display);
  return ok;
}

bool FromDrm(const std::string &output, PanelSize *found) {
  const std::string folder = "/sys/class/drm";
  DIR *drm = opendir(folder.c_str());
  if (drm == nullptr) return false;
  bool ok = false;
  while (dirent *entry = readdir(drm)) {
    const std::string card = entry->d_name;
    const size_t dash = card.find('-');
    if (ok || card.rfind("card", 0) != 0 || dash == std::string::npos) continue;
    if (!ConnectorIsOutput(std::string_view(card).substr(dash + 1), output)) continue;
    std::ifstream in(folder + "/" + card + "/edid", std::ios::binary);
    const std::string edid((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int width = 0, height = 0;
    if (SizeFromEdid(edid, &width, &height)) {
      *found = {width, height, "the EDID of " + folder + "/" + card};
      ok = true;
    }
  }
  closedir(drm);
  return ok;
}

}  // namespace

bool ParsePanelSize(std::string_view text, int *width, int *height) {
  const size_t x = text.find('x');
  if (x == std::string_view::npos) return false;
  auto side = [](std::string_view part, int *value) {
    const char *end = part.data() + part.size();
    auto [stop, error] = std::from_chars(part.data(), end, *value);
    return !part.empty() && error == std::errc() && stop == end && *value >= 1 && *value <= kLargestMillimetres;
  };
  return side(text.substr(0, x), width) && side(text.substr(x + 1), height);
}

bool SizeFromEdid(std::string_view edid, int *width, int *height) {
  static constexpr unsigned char kHeader[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  if (edid.size() < 128 || edid.compare(0, 8, std::string_view(reinterpret_cast<const char *>(kHeader), 8)) != 0)
    return false;
  auto byte = [&](size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(edid[at])); };
  // The first detailed timing (a preferred mode) has a pixel clock, and the image size in mm.
  if ((byte(54) | byte(55)) != 0) {
    const int w = static_cast<int>(byte(66) | ((byte(68) >> 4) << 8));
    const int h = static_cast<int>(byte(67) | ((byte(68) & 0x0F) << 8));
    if (w > 0 && h > 0 && w <= kLargestMillimetres && h <= kLargestMillimetres) {
      *width = w;
      *height = h;
      return true;
    }
  }
  if (byte(21) == 0 || byte(22) == 0) return false;  // a projector's, or an aspect ratio only
  *width = static_cast<int>(byte(21)) * 10;
  *height = static_cast<int>(byte(22)) * 10;
  return true;
}

bool ConnectorIsOutput(std::string_view connector, std::string_view output) {
  if (connector == output) return true;
  // The modesetting driver drops the HDMI connector's letter: HDMI-A-1 is HDMI-1 to X.
  for (std::string_view kind : {"HDMI-A-", "HDMI-B-"})
    if (connector.substr(0, kind.size()) == kind && output.substr(0, 5) == "HDMI-" &&
        connector.substr(kind.size()) == output.substr(5))
      return true;
  return false;
}

PanelSize FindPanelSize() {
  PanelSize found;
  const std::string given = SizeValue();
  if (!given.empty()) {
    if (ParsePanelSize(given, &found.width, &found.height)) {
      found.source = "HKLM\\Platform\\Display \"Size\"";
      return found;
    }
    found = {};
    found.source = "HKLM\\Platform\\Display \"Size\" is not WIDTHxHEIGHT in millimetres (1 to 5000 each)";
    return found;
  }
  const std::string output = DisplayOutputName();
  if (output.empty()) {
    found.source = "neither HKLM\\Platform\\Display \"Size\" nor an \"Output\" whose size could be read is set";
    return found;
  }
  if (FromRandR(output, &found) || FromDrm(output, &found)) return found;
  found.source = "the size of the monitor \"" + output + "\" cannot be read (no RandR output and no DRM connector "
                 "of that name with an EDID)";
  return found;
}

}  // namespace platform::gwes
