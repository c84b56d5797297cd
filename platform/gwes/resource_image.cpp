// Device-independent bitmaps into RGBA pixels, read defensively: a resource file is input like
// any other, so every size and offset is checked against the data before it is used.
#include "resource_image.h"

#include <cstdlib>
#include <limits>

namespace platform::gwes {
namespace {

constexpr size_t kInfoHeaderSize = 40;
constexpr uint32_t kBiRgb = 0;
// Larger images are not resources a dialog shows; the limit keeps the arithmetic far from overflow.
constexpr int64_t kMaxSide = 4096;

uint32_t Get16(const uint8_t *p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | (Get16(p + 2) << 16); }

// Bytes per row: rows are padded to whole 32-bit words.
size_t Stride(int64_t width, uint32_t bitCount) { return static_cast<size_t>(((width * bitCount + 31) / 32) * 4); }

}  // namespace

std::optional<RgbaImage> DecodeDib(const uint8_t *data, size_t size, bool iconImage) {
  if (data == nullptr || size < kInfoHeaderSize) return std::nullopt;
  const uint32_t headerSize = Get32(data);
  const auto width = static_cast<int32_t>(Get32(data + 4));
  auto height = static_cast<int32_t>(Get32(data + 8));
  const uint32_t bitCount = Get16(data + 14);
  const uint32_t compression = Get32(data + 16);
  uint32_t colours = Get32(data + 32);
  if (headerSize < kInfoHeaderSize || headerSize > size || compression != kBiRgb) return std::nullopt;
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32) return std::nullopt;
  const bool topDown = height < 0;
  int64_t rows = std::llabs(static_cast<int64_t>(height));
  if (iconImage) {
    if (topDown || rows % 2 != 0) return std::nullopt;
    rows /= 2;
  }
  if (width <= 0 || width > kMaxSide || rows <= 0 || rows > kMaxSide) return std::nullopt;

  if (bitCount <= 8) {
    if (colours == 0 || colours > (1u << bitCount)) colours = 1u << bitCount;
  } else {
    colours = 0;
  }
  const size_t paletteAt = headerSize;
  const size_t colourAt = paletteAt + static_cast<size_t>(colours) * 4;
  const size_t colourStride = Stride(width, bitCount);
  const size_t maskAt = colourAt + colourStride * static_cast<size_t>(rows);
  const size_t maskStride = Stride(width, 1);
  const size_t end = iconImage ? maskAt + maskStride * static_cast<size_t>(rows) : maskAt;
  if (end > size) return std::nullopt;

  RgbaImage image;
  image.width = width;
  image.height = static_cast<int>(rows);
  image.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(rows) * 4);
  for (int64_t y = 0; y < rows; ++y) {
    // Stored rows run bottom-up unless the height was negative.
    const int64_t stored = topDown ? y : rows - 1 - y;
    const uint8_t *row = data + colourAt + colourStride * static_cast<size_t>(stored);
    const uint8_t *maskRow = data + maskAt + maskStride * static_cast<size_t>(stored);
    for (int64_t x = 0; x < width; ++x) {
      uint8_t *out = &image.pixels[static_cast<size_t>((y * width + x) * 4)];
      if (bitCount <= 8) {
        const size_t bit = static_cast<size_t>(x) * bitCount;
        const uint32_t shift = 8 - bitCount - static_cast<uint32_t>(bit % 8);
        const uint32_t index = (row[bit / 8] >> shift) & ((1u << bitCount) - 1);
        // An index beyond a short palette shows black rather than reading past it.
        if (index < colours) {
          const uint8_t *entry = data + paletteAt + static_cast<size_t>(index) * 4;
          out[0] = entry[2];
          out[1] = entry[1];
          out[2] = entry[0];
        }
      } else {
        const uint8_t *pixel = row + static_cast<size_t>(x) * (bitCount / 8);
        out[0] = pixel[2];
        out[1] = pixel[1];
        out[2] = pixel[0];
      }
      const bool transparent = iconImage && ((maskRow[x / 8] >> (7 - x % 8)) & 1) != 0;
      out[3] = transparent ? 0 : 255;
    }
  }
  return image;
}

namespace {

std::optional<std::vector<uint8_t>> ResourceBytes(HINSTANCE module, WORD ordinal, LPCWSTR type) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(ordinal), type);
  if (found == nullptr) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, found);
  const auto *bytes = loaded != nullptr ? static_cast<const uint8_t *>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr) return std::nullopt;
  return std::vector<uint8_t>(bytes, bytes + SizeofResource(module, found));
}

}  // namespace

std::optional<RgbaImage> LoadBitmapResource(HINSTANCE module, WORD ordinal) {
  auto bytes = ResourceBytes(module, ordinal, RT_BITMAP);
  return bytes ? DecodeDib(bytes->data(), bytes->size(), false) : std::nullopt;
}

std::optional<RgbaImage> LoadIconResource(HINSTANCE module, WORD ordinal, int wantedSize) {
  // The group: reserved, type, count, then 14-byte entries whose last word names the RT_ICON image.
  auto group = ResourceBytes(module, ordinal, RT_GROUP_ICON);
  if (!group || group->size() < 6) return std::nullopt;
  const size_t count = Get16(group->data() + 4);
  std::optional<WORD> best;
  int bestDistance = std::numeric_limits<int>::max();
  for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= group->size(); ++i) {
    const uint8_t *entry = group->data() + 6 + i * 14;
    const int width = entry[0] == 0 ? 256 : entry[0];
    const int distance = std::abs(width - wantedSize);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = static_cast<WORD>(Get16(entry + 12));
    }
  }
  if (!best) return std::nullopt;
  auto image = ResourceBytes(module, *best, RT_ICON);
  return image ? DecodeDib(image->data(), image->size(), true) : std::nullopt;
}

}  // namespace platform::gwes
