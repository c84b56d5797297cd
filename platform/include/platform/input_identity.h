// Who the uinput devices of a device root are to the desktops: GNOME keys a touch screen's monitor
// on vendor:product, KWin on vendor, product and name, sway on vendor:product:name, so every
// device root's devices carry ids of their own. They come from the root's folder name alone, and
// so stay the same across restarts and reboots: vendor 0 (no maker's id is claimed), product a
// 16-bit hash of the name (1 to 65535), phys "norvik/NAME" in letters, digits and ._- only (for
// udev rules; uinput gives the kernel no uniq).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

struct InputIdentity {
  uint16_t vendor = 0;
  uint16_t product = 1;
  std::string phys;
};

inline InputIdentity InputIdentityOf(const std::string &deviceRoot) {
  std::filesystem::path root = std::filesystem::path(deviceRoot).lexically_normal();
  if (root.filename().empty()) root = root.parent_path();  // a root given with a trailing slash
  const std::string name = root.filename().string();
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  InputIdentity identity;
  identity.product = static_cast<uint16_t>((hash >> 16) ^ (hash & 0xFFFFu));
  if (identity.product == 0) identity.product = 1;
  identity.phys = "norvik/";
  for (char c : name)
    identity.phys += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '_' || c == '-'
                         ? c
                         : '_';
  return identity;
}

}  // namespace platform
