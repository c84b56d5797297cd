// The images of "STATIC" controls: a device-independent bitmap (as an RT_BITMAP resource or one
// image of an icon) decoded into RGBA pixels, and the lookup of a bitmap or icon resource by
// ordinal, choosing the icon image nearest the size it will be shown at.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::gwes {

struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height * 4 bytes, rows top-down, R G B A
};

// Decodes a BITMAPINFOHEADER, its palette and its uncompressed rows (1, 4, 8, 24 or 32 bits per
// pixel, bottom-up or top-down). An icon image holds twice its height: the colour rows, then a
// one-bit mask whose set bits are transparent. Nothing when the data is short, compressed or of
// a depth or size this cannot show.
std::optional<RgbaImage> DecodeDib(const uint8_t *data, size_t size, bool iconImage);

// Bitmap `ordinal`, or of icon group `ordinal` the image whose width is nearest `wantedSize`,
// from `module`'s resources.
std::optional<RgbaImage> LoadBitmapResource(HINSTANCE module, WORD ordinal);
std::optional<RgbaImage> LoadIconResource(HINSTANCE module, WORD ordinal, int wantedSize);

}  // namespace platform::gwes
